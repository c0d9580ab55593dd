// The MIDI layer: input ports that call back with each short message, output ports that take
// one short message. Backends: RtMidi (ALSA or JACK), in-memory (tests), none.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tandem {

// The length of a short message from its status byte: 2 for program change and channel pressure
// (and the two-byte system messages), 1 for single-byte system messages, 3 otherwise.
size_t ShortMessageLength(uint8_t status);

class MidiOutPort {
 public:
  virtual ~MidiOutPort() = default;
  // Sends `length` bytes of one short message; false when the device refused it.
  virtual bool Send(const uint8_t* bytes, size_t length) = 0;
  // The same, to sound at `dueUs` on ClockUs's monotonic clock rather than now. A port that can
  // place an event within its audio period takes it up to LeadUs() early and holds it until its
  // moment; one that cannot sends at once.
  virtual bool SendAt(const uint8_t* bytes, size_t length, int64_t /*dueUs*/) {
    return Send(bytes, length);
  }
  // How long before its moment SendAt wants an event; 0 for a port that sends at once.
  virtual int64_t LeadUs() const { return 0; }
  // Silences everything this port left sounding (all-notes-off), before it closes.
  virtual void Silence() {}
  // The level of a synthesizer behind the port, in percent of its usual level (0..kMaxVolume).
  // A port to another device leaves the level to that device.
  virtual void SetVolume(int /*percent*/) {}
  // Why the port stopped working underneath us (its server went away); empty while it works.
  virtual std::string Failure() const { return {}; }
};

// "Volume", in percent: 100 is the synthesizer's usual level, 200 twice its amplitude.
constexpr int kDefaultVolume = 100;
constexpr int kMaxVolume = 200;

// Called on the MIDI system's own thread with one short message; it must only copy it out.
// `atUs` is the moment it was played on ClockUs's monotonic clock when the system knows it
// (JACK: from its frame), else 0 and the receiver stamps it on arrival.
using MidiInCallback = std::function<void(const uint8_t* bytes, size_t length, int64_t atUs)>;

class MidiInPort {
 public:
  virtual ~MidiInPort() = default;  // closes the port; no callback runs after it returns
  // Why the port stopped delivering (its server went away); empty while it works.
  virtual std::string Failure() const { return {}; }
  // When the port stamps events with their moment: how long after it an event is sure to have
  // been delivered. 0 when it does not stamp them.
  virtual int64_t DeliveredWithinUs() const { return 0; }
};

// What a front end asks for: a port by name substring or index, a port of our own, or nothing.
struct PortChoice {
  enum class Kind { Default, Named, Virtual, None, Synth } kind = Kind::Default;
  std::string name;  // Named: a substring of the port name, or its index as decimal text
  static PortChoice Parse(const std::string& text);  // "virtual", "none", "synth", else Named
};

class MidiSystem {
 public:
  virtual ~MidiSystem() = default;
  virtual std::string Name() const = 0;  // "alsa", "jack", "memory", "none"
  virtual std::vector<std::string> InputPorts() = 0;
  virtual std::vector<std::string> OutputPorts() = 0;
  // Opens an input; on failure returns nullptr and says why in `error`.
  virtual std::unique_ptr<MidiInPort> OpenInput(const PortChoice& choice, MidiInCallback callback,
                                                std::string& error) = 0;
  virtual std::unique_ptr<MidiOutPort> OpenOutput(const PortChoice& choice, std::string& error) = 0;
};

// Makes output ports on demand ("Audition").
using MidiOutFactory = std::function<std::unique_ptr<MidiOutPort>(std::string& error)>;

// The window's MIDI output handle. Opening, closing and sending take one lock, so a send never
// uses a device that is being closed or has been released.
class GuardedMidiOut {
 public:
  void SetFactory(MidiOutFactory factory);
  // Opens a new device (closing any open one). False, with `error` set, when none could be opened.
  bool Open(std::string* error = nullptr);
  void Close();
  bool IsOpen() const;
  // Sends the packed word (status in bits 0-7, data 1 in 8-15, data 2 in 16-23) with the length
  // its status calls for. False when no device is open or the device refused it.
  bool ShortMsg(uint32_t word);
  // The same, to sound at `dueUs` (ClockUs) on a port that can place it there.
  bool ShortMsgAt(uint32_t word, int64_t dueUs);
  // How long before its moment the open port wants an event (0 without one).
  int64_t LeadUs() const;
  // Why the open port stopped working, empty while it works or when none is open.
  std::string Failure() const;
  // Sets the level of the open port and of every port opened later.
  void SetVolume(int percent);

 private:
  mutable std::mutex mutex_;
  MidiOutFactory factory_;
  std::unique_ptr<MidiOutPort> port_;
  int volume_ = kDefaultVolume;
  // The open port's lead, readable without the lock by the playback thread's due tests.
  std::atomic<int64_t> lead_{0};
};

}  // namespace tandem

namespace tandem {

// No MIDI system at all: every open fails with a clear reason, the rest of the program runs.
class NullMidiSystem : public MidiSystem {
 public:
  explicit NullMidiSystem(std::string why = "no MIDI system available") : why_(std::move(why)) {}
  std::string Name() const override { return "none"; }
  std::vector<std::string> InputPorts() override { return {}; }
  std::vector<std::string> OutputPorts() override { return {}; }
  std::unique_ptr<MidiInPort> OpenInput(const PortChoice&, MidiInCallback,
                                        std::string& error) override {
    error = why_;
    return nullptr;
  }
  std::unique_ptr<MidiOutPort> OpenOutput(const PortChoice&, std::string& error) override {
    error = why_;
    return nullptr;
  }

 private:
  std::string why_;
};

}  // namespace tandem
