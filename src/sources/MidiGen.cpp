#include "sources/MidiGen.h"

namespace tandem {

MidiGenerator::MidiGenerator(ThreadMidiList& out, uint32_t seed, int notes,
                             std::chrono::milliseconds interval)
    : Worker("MidiGenerator"), out_(out), rng_(seed), notes_(notes), interval_(interval) {}

RecordPtr MidiGenerator::MakeNote(std::mt19937& rng) {
  auto r = MakeRecord(EventMidi);
  r->note = std::uniform_int_distribution<int>(36, 95)(rng);
  r->status = 144;
  r->velocity = 80;
  return r;
}

void MidiGenerator::Run() {
  for (int i = 0; i < notes_; ++i) {
    out_.Add(MakeNote(rng_));
    produced_.fetch_add(1);
    // Sleep is cut short by a stop request, so shut-down never waits 200 ms per generator.
    if (!Sleep(interval_)) return;
  }
}

}  // namespace tandem
