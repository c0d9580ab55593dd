// The running program: the window's state model, its permanent worker threads and the threads
// its commands start, wired together and shut down in order. Both front ends build one of these.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "audio/Synth.h"
#include "midi/Midi.h"
#include "model/FormCtrl.h"

namespace tandem {

class ThreadPrepareSend;
class ThreadPrepareRec;
class ThreadMidiRead;
class MidiRTP;
class MidiGenerator;

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

  // FormServices
  void StartMidiRead() override;
  bool MidiReadAlive() override;
  void StartRtp() override;
  void StopRtp() override;
  bool RtpAlive() override;
  void StartGenerator() override;

 private:
  void Reap();

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
};

}  // namespace tandem
