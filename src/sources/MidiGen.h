// The test note generator: random note-ons into the outgoing queue, as a keyboard would play.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

#include "events/Listmidi.h"
#include "platform/Worker.h"

namespace tandem {

class MidiGenerator : public Worker {
 public:
  static constexpr int kNotes = 100;
  static constexpr std::chrono::milliseconds kInterval{200};

  MidiGenerator(ThreadMidiList& out, uint32_t seed, int notes = kNotes,
                std::chrono::milliseconds interval = kInterval);
  ~MidiGenerator() override { Stop(); }

  // One generated record: a note-on, velocity 80, key 36..95.
  static RecordPtr MakeNote(std::mt19937& rng);
  // How many notes this generator has queued so far.
  int Produced() const { return produced_.load(); }

 protected:
  void Run() override;

 private:
  ThreadMidiList& out_;
  std::mt19937 rng_;
  int notes_;
  std::chrono::milliseconds interval_;
  std::atomic<int> produced_{0};
};

}  // namespace tandem
