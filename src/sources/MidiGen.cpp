#include "sources/MidiGen.h"

#include <deque>
#include <utility>

namespace tandem {

MidiGenerator::MidiGenerator(ThreadMidiList& out, uint32_t seed, int notes,
                             std::chrono::milliseconds interval,
                             std::chrono::milliseconds noteLength, bool repeat)
    : Worker("MidiGenerator"),
      out_(out),
      rng_(seed),
      notes_(notes),
      interval_(interval),
      noteLength_(noteLength),
      repeat_(repeat) {}

RecordPtr MidiGenerator::MakeNote(std::mt19937& rng) {
  auto r = MakeRecord(EventMidi);
  r->note = std::uniform_int_distribution<int>(36, 95)(rng);
  r->status = 144;
  r->velocity = 80;
  return r;
}

void MidiGenerator::Run() {
  if (noteLength_.count() <= 0) {
    for (int i = 0; repeat_ || i < notes_; i += repeat_ ? 0 : 1) {
      out_.Add(MakeNote(rng_));
      produced_.fetch_add(1);
      // Sleep is cut short by a stop request, so shut-down never waits 200 ms per generator.
      if (!Sleep(interval_)) return;
    }
    return;
  }

  // Notes with an end: the note-offs due are kept in the order they fall due, which is the order
  // of their note-ons since every note lasts as long.
  using SteadyClock = std::chrono::steady_clock;
  std::deque<std::pair<SteadyClock::time_point, int32_t>> offs;
  auto nextOn = SteadyClock::now();
  int made = 0;
  while (!StopRequested()) {
    bool moreOns = repeat_ || made < notes_;
    if (!moreOns && offs.empty()) return;
    bool offFirst = !offs.empty() && (!moreOns || offs.front().first <= nextOn);
    auto due = offFirst ? offs.front().first : nextOn;
    auto now = SteadyClock::now();
    if (due > now && !Sleep(std::chrono::duration_cast<std::chrono::microseconds>(due - now)))
      return;
    if (SteadyClock::now() < due) continue;  // woken early
    if (offFirst) {
      auto off = MakeRecord(EventMidi);
      off->note = offs.front().second;
      off->status = 128;
      off->velocity = 0;
      offs.pop_front();
      out_.Add(std::move(off));
    } else {
      RecordPtr on = MakeNote(rng_);
      offs.emplace_back(nextOn + noteLength_, on->note);
      out_.Add(std::move(on));
      produced_.fetch_add(1);
      ++made;
      nextOn += interval_;
    }
  }
}

}  // namespace tandem
