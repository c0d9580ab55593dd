// The demo: a partner peer inside this process plays generated notes into the program's own peer
// over the crossed ports, so that a first run shows every part moving: the reception keyboard,
// the counters, the reception buffer and the sound of the built-in synthesizer.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "app/Application.h"

namespace tandem {

struct DemoPorts {
  int32_t listen = 2000;  // the program's own peer listens here; the partner sends here
  int32_t send = 3000;    // and the partner listens here
};

class DemoPartner {
 public:
  // Each generated note lasts this long, a little less than the time between notes, so that no
  // key is left sounding at the receiver and the demo can play for as long as it runs.
  static constexpr std::chrono::milliseconds kNoteLength{150};

  // Builds the partner (no MIDI system, no output, "Auto" buffer so its announced buffer moves).
  DemoPartner(DemoPorts ports, uint32_t seed = 0);
  ~DemoPartner();

  // Starts the partner's session and its generator, which plays until Shutdown.
  void Start();
  // Stops every thread of the partner. Idempotent.
  void Shutdown();
  Application& App() { return *app_; }

 private:
  std::unique_ptr<Application> app_;
};

// Points the program's own peer at the partner (loopback, the demo's ports) and starts its session.
void StartDemoPeer(TFormCtl& form, DemoPorts ports);

}  // namespace tandem
