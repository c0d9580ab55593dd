// The running program: the window's state model, its permanent worker threads and the threads
// its commands start, wired together and shut down in order. Both front ends build one of these.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/Synth.h"
#include "midi/Midi.h"
#include "model/FormCtrl.h"
#include "net/Discovery.h"

namespace tandem {

class ThreadPrepareSend;
class ThreadPrepareRec;
class ThreadMidiRead;
class MidiRTP;
class MidiGenerator;

// How much of the local network's DNS-SD the program takes part in.
enum class NearbyMode {
  kOff,       // nothing (tests that need no daemon)
  kAnnounce,  // our session is announced while it listens
  kBrowse,    // that, and the sessions of others are listed in the model's Nearby list
};

struct AppConfig {
  std::shared_ptr<MidiSystem> midi;  // null: no MIDI system
  PortChoice midiIn;
  // Default and Synth: the built-in synthesizer, which needs no MIDI system. None: no output.
  PortChoice midiOut;
  SynthOptions synth;
  uint32_t seed = 0;  // 0: seed the generators from the system's entropy
  std::chrono::milliseconds generatorInterval{200};  // between a generator's notes
  // Above 0, each generated note ends after this long and generators play until stopped (the
  // demo); 0 keeps "MIDI Gen" as it is: note-ons only, 100 of them.
  std::chrono::milliseconds generatorNoteLength{0};
  size_t receiveQueueCapacity = 4096;
  NearbyMode nearby = NearbyMode::kOff;
};

class Application : public FormServices {
 public:
  explicit Application(AppConfig config);
  ~Application() override;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  TFormCtl& Form() { return *form_; }
  MidiSystem& Midi() { return *config_.midi; }
  const AppConfig& Config() const { return config_; }
  // Changes the ports used by the next "Read MIDI" or "Audition" change.
  void SetPorts(PortChoice in, PortChoice out);
  // The ports SetPorts chose last (or the configuration's).
  std::pair<PortChoice, PortChoice> Ports();

  // Stops every thread, closes the MIDI ports and frees every queued record. Idempotent.
  void Shutdown();

  // Announces the session while it listens on the typed ports, withdraws it when it ends, and
  // copies what the discovery found into the model. The front ends call it on their timers;
  // it never waits for the daemon.
  void PollNearby();
  // Whether the Nearby list is as complete as the network answered yet (true without a daemon,
  // or when not browsing): a name asked for and not listed by then is not on the network.
  bool NearbySettled() const;
  // Whether the daemon was asked for yet (the status says "unavailable" or how the search
  // stands); true when not taking part.
  bool NearbyKnown() const { return !discovery_ || discovery_->View().tried; }

  // FormServices
  void StartMidiRead() override;
  bool MidiReadAlive() override;
  void StartRtp() override;
  void StopRtp() override;
  bool RtpAlive() override;
  void StartGenerator() override;

 private:
  void Reap();

  // What the session started last listens as, for its announcement.
  struct Listening {
    ServiceKind kind = ServiceKind::kTandem;
    std::string name;
    uint16_t port = 0;
    bool operator==(const Listening&) const = default;
  };

  AppConfig config_;
  std::mutex portsMutex_;
  std::unique_ptr<TFormCtl> form_;
  std::unique_ptr<ThreadPrepareSend> prepareSend_;
  std::unique_ptr<ThreadPrepareRec> prepareRec_;
  std::vector<std::unique_ptr<ThreadMidiRead>> midiReads_;  // last one is the current
  std::vector<std::unique_ptr<MidiRTP>> rtps_;              // last one is the current
  std::vector<std::unique_ptr<MidiGenerator>> generators_;
  uint32_t nextSeed_;
  bool shutDown_ = false;
  std::unique_ptr<Discovery> discovery_;
  uint64_t discoverySeen_ = 0;
  std::optional<Listening> listening_;  // set by StartRtp while it is not on a connection path
  std::optional<Listening> announced_;
};

}  // namespace tandem
