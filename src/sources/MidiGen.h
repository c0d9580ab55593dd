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

  // With `noteLength` above 0 each note-on is followed by its note-off that much later, and with
  // `repeat` the generator starts over after its notes until it is stopped. The defaults are
  // "MIDI Gen": note-ons only, which leave every key sounding at the receiver.
  MidiGenerator(ThreadMidiList& out, uint32_t seed, int notes = kNotes,
                std::chrono::milliseconds interval = kInterval,
                std::chrono::milliseconds noteLength = std::chrono::milliseconds(0),
                bool repeat = false);
  ~MidiGenerator() override { Stop(); }

  // One generated record: a note-on, velocity 80, key 36..95.
  static RecordPtr MakeNote(std::mt19937& rng);
  // How many note-ons this generator has queued so far.
  int Produced() const { return produced_.load(); }

 protected:
  void Run() override;

 private:
  ThreadMidiList& out_;
  std::mt19937 rng_;
  int notes_;
  std::chrono::milliseconds interval_;
  std::chrono::milliseconds noteLength_;
  bool repeat_;
  std::atomic<int> produced_{0};
};

}  // namespace tandem
