// The machine's MIDI system: the ALSA sequencer through RtMidi, or a JACK server through our own
// client (midi/JackMidiSystem).
#include "midi/RtMidiSystem.h"

#include <alsa/asoundlib.h>
#include <rtmidi/RtMidi.h>

#include <cstdlib>
#include <mutex>

#include "midi/JackMidiSystem.h"
#include "midi/PortMatch.h"
#include "midi/SoundingNotes.h"

namespace tandem {

namespace {

const char kInPortName[] = "midi_in";
const char kOutPortName[] = "midi_out";

// RtMidi reports errors to this instead of printing them and throwing. It may be called from
// RtMidi's own threads, so it only records.
class ErrorSink {
 public:
  static void Callback(RtMidiError::Type type, const std::string& text, void* user) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
    auto* self = static_cast<ErrorSink*>(user);
    std::lock_guard lock(self->mutex_);
    self->last_ = text;
    ++self->count_;
  }
  uint64_t Count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::string Last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  mutable std::mutex mutex_;
  std::string last_;
  uint64_t count_ = 0;
};

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Whether the ALSA sequencer can be opened, without alsa-lib printing why not.
bool AlsaSequencerOpens() {
  snd_lib_error_set_handler(&SilentAlsaError);
  snd_seq_t* seq = nullptr;
  bool ok = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) >= 0;
  if (ok) snd_seq_close(seq);
  snd_lib_error_set_handler(nullptr);
  return ok;
}

// RtMidi falls back to another API (and prints) when ALSA is not compiled in, and its
// constructors throw when the sequencer cannot be reached.
template <typename T>
std::unique_ptr<T> MakeRt(const std::string& clientName, std::string& error) {
  constexpr RtMidi::Api api = RtMidi::LINUX_ALSA;
  try {
    auto midi = std::make_unique<T>(api, clientName);
    if (midi->getCurrentApi() != api) {
      error = "this build of RtMidi lacks " + RtMidi::getApiDisplayName(api);
      return nullptr;
    }
    return midi;
  } catch (const RtMidiError& e) {
    error = e.getMessage();
    return nullptr;
  }
}

template <typename T>
std::vector<std::string> ListPorts(T& midi) {
  std::vector<std::string> names;
  unsigned count = midi.getPortCount();
  for (unsigned i = 0; i < count; ++i) names.push_back(midi.getPortName(i));
  return names;
}

class RtInPort : public MidiInPort {
 public:
  explicit RtInPort(MidiInCallback callback) { gate_.callback = std::move(callback); }
  ~RtInPort() override {
    {
      std::lock_guard lock(gate_.mutex);
      gate_.open = false;
    }
    midi_.reset();  // closes the port and ends RtMidi's input thread
  }

  // Runs on RtMidi's thread; the gate makes sure no callback runs once the port is closing.
  static void OnMessage(double, std::vector<unsigned char>* message, void* user) {
    auto* gate = static_cast<Gate*>(user);
    std::lock_guard lock(gate->mutex);
    if (gate->open && message != nullptr && !message->empty()) {
      gate->callback(message->data(), message->size(), 0);
    }
  }

  struct Gate {
    std::mutex mutex;
    bool open = true;
    MidiInCallback callback;
  };
  Gate gate_;
  ErrorSink errors_;
  std::unique_ptr<RtMidiIn> midi_;
};

class RtOutPort : public MidiOutPort {
 public:
  bool Send(const uint8_t* bytes, size_t length) override {
    if (bytes == nullptr || length == 0) return false;
    uint64_t before = errors_.Count();
    if (!SendRaw(bytes, length)) return false;
    if (errors_.Count() != before) return false;
    sounding_.Track(bytes, length);
    return true;
  }

  void Silence() override {
    for (const auto& m : sounding_.SilenceMessages()) SendRaw(m.data(), m.size());
    sounding_.Clear();
  }

  ErrorSink errors_;
  std::unique_ptr<RtMidiOut> midi_;

 private:
  bool SendRaw(const uint8_t* bytes, size_t length) {
    try {
      midi_->sendMessage(bytes, length);
    } catch (const RtMidiError&) {
      return false;
    }
    return true;
  }

  SoundingNotes sounding_;
};

// Opens the port a pick names on an RtMidi object whose error callback is `errors`.
template <typename T>
bool OpenPicked(T& midi, const PortPick& pick, const char* portName, const ErrorSink& errors,
                const std::vector<std::string>& ports, std::string& error) {
  uint64_t before = errors.Count();
  try {
    if (pick.kind == PortPick::Kind::Virtual) {
      midi.openVirtualPort(portName);
    } else {
      midi.openPort(pick.index, portName);
    }
  } catch (const RtMidiError& e) {
    error = e.getMessage();
    return false;
  }
  // RtMidi's isPortOpen() says nothing of virtual ports: a recorded error is the sign.
  bool failed =
      errors.Count() != before || (pick.kind == PortPick::Kind::Port && !midi.isPortOpen());
  if (failed) {
    error = errors.Count() != before ? errors.Last() : "cannot open " + ports[pick.index];
    return false;
  }
  return true;
}

// The ALSA sequencer through RtMidi.
class RtMidiSystem : public MidiSystem {
 public:
  explicit RtMidiSystem(std::string clientName) : clientName_(std::move(clientName)) {}

  std::string Name() const override { return "alsa"; }

  std::vector<std::string> InputPorts() override { return Query<RtMidiIn>(); }
  std::vector<std::string> OutputPorts() override { return Query<RtMidiOut>(); }

  std::unique_ptr<MidiInPort> OpenInput(const PortChoice& choice, MidiInCallback callback,
                                        std::string& error) override {
    if (choice.kind == PortChoice::Kind::None) {
      error = "no MIDI input chosen";
      return nullptr;
    }
    auto port = std::make_unique<RtInPort>(std::move(callback));
    port->midi_ = MakeRt<RtMidiIn>(clientName_ + "-in", error);
    if (!port->midi_) return nullptr;
    RtMidiIn& midi = *port->midi_;
    midi.setErrorCallback(&ErrorSink::Callback, &port->errors_);
    midi.ignoreTypes(true, true, true);  // system exclusive, clock and active sensing
    midi.setCallback(&RtInPort::OnMessage, &port->gate_);
    auto ports = ListPorts(midi);
    PortPick pick = ChoosePort(ports, choice, PortDirection::Input, clientName_);
    if (pick.kind == PortPick::Kind::Error) {
      error = pick.error;
      return nullptr;
    }
    if (!OpenPicked(midi, pick, kInPortName, port->errors_, ports, error)) return nullptr;
    return port;
  }

  std::unique_ptr<MidiOutPort> OpenOutput(const PortChoice& choice, std::string& error) override {
    if (choice.kind == PortChoice::Kind::None) {
      error = "no MIDI output chosen";
      return nullptr;
    }
    auto port = std::make_unique<RtOutPort>();
    port->midi_ = MakeRt<RtMidiOut>(clientName_ + "-out", error);
    if (!port->midi_) return nullptr;
    RtMidiOut& midi = *port->midi_;
    midi.setErrorCallback(&ErrorSink::Callback, &port->errors_);
    auto ports = ListPorts(midi);
    PortPick pick = ChoosePort(ports, choice, PortDirection::Output, clientName_);
    if (pick.kind == PortPick::Kind::Error) {
      error = pick.error;
      return nullptr;
    }
    if (!OpenPicked(midi, pick, kOutPortName, port->errors_, ports, error)) return nullptr;
    return port;
  }

 private:
  template <typename T>
  std::vector<std::string> Query() {
    std::string error;
    ErrorSink errors;  // outlives the RtMidi object that reports to it
    auto midi = MakeRt<T>(clientName_ + "-query", error);
    if (!midi) return {};
    midi->setErrorCallback(&ErrorSink::Callback, &errors);
    return ListPorts(*midi);
  }

  std::string clientName_;
};

constexpr char kNetworkStillWorks[] = "; the network side still works";

}  // namespace

std::shared_ptr<MidiSystem> MakeMidiSystem(const std::string& api, const std::string& clientName,
                                           std::string& message) {
  // A client must never start a JACK server of its own.
  setenv("JACK_NO_START_SERVER", "1", 0);
  const std::string client = clientName.empty() ? "tandem" : clientName;

  if (api == "none") {
    message = std::string("MIDI: no MIDI system (none chosen)") + kNetworkStillWorks;
    return std::make_shared<NullMidiSystem>("no MIDI system chosen");
  }
  const bool tryAlsa = api == "auto" || api == "alsa";
  const bool tryJack = api == "auto" || api == "jack";
  if (!tryAlsa && !tryJack) {
    message =
        "MIDI: unknown MIDI system '" + api + "' (auto, alsa, jack or none)" + kNetworkStillWorks;
    return std::make_shared<NullMidiSystem>("no MIDI system");
  }
  if (tryAlsa && AlsaSequencerOpens()) {
    message = "MIDI: using ALSA sequencer";
    return std::make_shared<RtMidiSystem>(client);
  }
  if (tryJack && JackServerRuns(client)) {
    // Our own client rather than RtMidi's: it keeps each event's frame, in and out.
    message = "MIDI: using JACK";
    return MakeJackMidiSystem(client);
  }
  std::string why = tryAlsa && tryJack ? "no MIDI system (no ALSA sequencer, no JACK server)"
                    : tryAlsa          ? "no ALSA sequencer"
                                       : "no JACK server running";
  message = "MIDI: " + why + kNetworkStillWorks;
  return std::make_shared<NullMidiSystem>(why);
}

}  // namespace tandem
