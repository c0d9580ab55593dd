// An in-memory MIDI system for tests and benchmarks: inputs are fed by the test, outputs record
// every message with the time it was sent.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/Midi.h"

namespace tandem {

struct RecordedMessage {
  std::vector<uint8_t> bytes;
  std::chrono::steady_clock::time_point when;
};

// What one output port received; shared with the test so it outlives the port.
class MidiRecorder {
 public:
  void Record(const uint8_t* bytes, size_t length);
  std::vector<RecordedMessage> Messages() const;
  size_t Count() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedMessage> messages_;
};

class MemoryMidiOut : public MidiOutPort {
 public:
  explicit MemoryMidiOut(std::shared_ptr<MidiRecorder> recorder) : recorder_(std::move(recorder)) {}
  bool Send(const uint8_t* bytes, size_t length) override;

 private:
  std::shared_ptr<MidiRecorder> recorder_;
};

class MemoryMidiSystem : public MidiSystem {
 public:
  MemoryMidiSystem();
  std::string Name() const override { return "memory"; }
  std::vector<std::string> InputPorts() override { return {"memory-in"}; }
  std::vector<std::string> OutputPorts() override { return {"memory-out"}; }
  std::unique_ptr<MidiInPort> OpenInput(const PortChoice& choice, MidiInCallback callback,
                                        std::string& error) override;
  std::unique_ptr<MidiOutPort> OpenOutput(const PortChoice& choice, std::string& error) override;

  // Delivers a message to the open input, as a keyboard would. False when no input is open.
  bool Play(const std::vector<uint8_t>& bytes);
  // Everything every output of this system was sent.
  std::shared_ptr<MidiRecorder> Output() const { return output_; }
  // Makes the next OpenInput fail (a busy device).
  void FailNextInput(std::string reason);

 private:
  struct Shared {
    std::mutex mutex;
    MidiInCallback callback;
  };
  std::shared_ptr<Shared> input_;
  std::shared_ptr<MidiRecorder> output_;
  std::string failInput_;
};

}  // namespace tandem
