#include "midi/MemoryMidi.h"

namespace tandem {

void MidiRecorder::Record(const uint8_t* bytes, size_t length) {
  std::lock_guard lock(mutex_);
  messages_.push_back(
      {std::vector<uint8_t>(bytes, bytes + length), std::chrono::steady_clock::now()});
}

std::vector<RecordedMessage> MidiRecorder::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

size_t MidiRecorder::Count() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

void MidiRecorder::Clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

bool MemoryMidiOut::Send(const uint8_t* bytes, size_t length) {
  recorder_->Record(bytes, length);
  return true;
}

MemoryMidiSystem::MemoryMidiSystem()
    : input_(std::make_shared<Shared>()), output_(std::make_shared<MidiRecorder>()) {}

namespace {
class MemoryMidiIn : public MidiInPort {
 public:
  explicit MemoryMidiIn(std::function<void()> onClose) : onClose_(std::move(onClose)) {}
  ~MemoryMidiIn() override { onClose_(); }

 private:
  std::function<void()> onClose_;
};
}  // namespace

std::unique_ptr<MidiInPort> MemoryMidiSystem::OpenInput(const PortChoice& choice,
                                                        MidiInCallback callback,
                                                        std::string& error) {
  if (choice.kind == PortChoice::Kind::None) {
    error = "no MIDI input chosen";
    return nullptr;
  }
  std::lock_guard lock(input_->mutex);
  if (!failInput_.empty()) {
    error = failInput_;
    failInput_.clear();
    return nullptr;
  }
  if (input_->callback) {
    error = "memory-in is already open";
    return nullptr;
  }
  input_->callback = std::move(callback);
  auto shared = input_;
  return std::make_unique<MemoryMidiIn>([shared] {
    std::lock_guard l(shared->mutex);
    shared->callback = nullptr;
  });
}

std::unique_ptr<MidiOutPort> MemoryMidiSystem::OpenOutput(const PortChoice& choice,
                                                          std::string& error) {
  if (choice.kind == PortChoice::Kind::None) {
    error = "no MIDI output chosen";
    return nullptr;
  }
  return std::make_unique<MemoryMidiOut>(output_);
}

bool MemoryMidiSystem::Play(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(input_->mutex);
  if (!input_->callback) return false;
  input_->callback(bytes.data(), bytes.size(), 0);
  return true;
}

void MemoryMidiSystem::FailNextInput(std::string reason) {
  // Under the input's lock: the test sets it while a capture thread may be opening.
  std::lock_guard lock(input_->mutex);
  failInput_ = std::move(reason);
}

}  // namespace tandem
