#include "sources/MidiGen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "TestTiming.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::WaitFor;

std::vector<int> DrainNotes(ThreadMidiList& queue) {
  std::vector<int> notes;
  while (RecordPtr r = queue.DeleteFirst()) {
    EXPECT_EQ(r->kind, EventMidi);
    EXPECT_EQ(r->status, 144);
    EXPECT_EQ(r->velocity, 80);
    EXPECT_GE(r->note, 36);
    EXPECT_LE(r->note, 95);
    EXPECT_EQ(r->time, 0) << "no other field is set";
    EXPECT_EQ(r->channel, 0);
    EXPECT_EQ(r->text[0], '\0');
    notes.push_back(r->note);
  }
  return notes;
}

// What a generator with this seed produces.
std::vector<int> Expected(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::vector<int> notes;
  for (int i = 0; i < count; ++i) notes.push_back(MidiGenerator::MakeNote(rng)->note);
  return notes;
}

TEST(MidiGenerator, MakesOneHundredNoteOns) {
  ThreadMidiList queue;
  MidiGenerator gen(queue, 7, MidiGenerator::kNotes, 1ms);
  gen.Start();
  ASSERT_TRUE(WaitFor([&] { return !gen.Alive(); }));
  EXPECT_EQ(gen.Produced(), 100);
  EXPECT_EQ(DrainNotes(queue), Expected(7, 100));
}

TEST(MidiGenerator, NotesCoverExactlyTheRange) {
  std::mt19937 rng(1);
  int lowest = 127, highest = 0;
  for (int i = 0; i < 20000; ++i) {
    int note = MidiGenerator::MakeNote(rng)->note;
    lowest = std::min(lowest, note);
    highest = std::max(highest, note);
  }
  EXPECT_EQ(lowest, 36);
  EXPECT_EQ(highest, 95);
}

TEST(MidiGenerator, KeepsItsPace) {
  ThreadMidiList queue;
  MidiGenerator gen(queue, 3, 5, 40ms);
  auto start = Clock::now();
  gen.Start();
  ASSERT_TRUE(WaitFor([&] { return !gen.Alive(); }));
  // Five notes, each followed by its sleep: never faster than the interval says.
  EXPECT_GE(Clock::now() - start, 5 * 40ms);
  EXPECT_EQ(queue.Count(), 5);
}

TEST(MidiGenerator, StopRequestEndsItPromptly) {
  ThreadMidiList queue;
  MidiGenerator gen(queue, 1, MidiGenerator::kNotes, 10s);
  gen.Start();
  ASSERT_TRUE(WaitFor([&] { return gen.Produced() >= 1; }));
  auto start = Clock::now();
  gen.Stop();
  EXPECT_LT(Clock::now() - start, 5s) << "a stop must cut the sleep short";
  EXPECT_FALSE(gen.Alive());
  EXPECT_EQ(queue.Count(), 1);
}

// Is `merged` some interleaving of `a` and `b`, each in its own order?
bool IsInterleaving(const std::vector<int>& a, const std::vector<int>& b,
                    const std::vector<int>& merged) {
  if (a.size() + b.size() != merged.size()) return false;
  // ok[j]: a[0..i) and b[0..j) can make merged[0..i+j).
  std::vector<bool> ok(b.size() + 1, false);
  for (size_t i = 0; i <= a.size(); ++i) {
    for (size_t j = 0; j <= b.size(); ++j) {
      if (i == 0 && j == 0) {
        ok[0] = true;
        continue;
      }
      bool fromA = i > 0 && ok[j] && a[i - 1] == merged[i + j - 1];
      bool fromB = j > 0 && ok[j - 1] && b[j - 1] == merged[i + j - 1];
      ok[j] = fromA || fromB;
    }
  }
  return ok[b.size()];
}

TEST(MidiGenerator, TwoGeneratorsRunSideBySide) {
  ThreadMidiList queue;
  MidiGenerator first(queue, 11, MidiGenerator::kNotes, 5ms);
  MidiGenerator second(queue, 22, MidiGenerator::kNotes, 5ms);
  first.Start();
  second.Start();
  // Both are under way before either has finished.
  ASSERT_TRUE(WaitFor([&] { return first.Produced() > 0 && second.Produced() > 0; }));
  EXPECT_TRUE(first.Produced() < 100 || second.Produced() < 100);
  ASSERT_TRUE(WaitFor([&] { return !first.Alive() && !second.Alive(); }));

  std::vector<int> notes = DrainNotes(queue);
  ASSERT_EQ(notes.size(), 200u);
  EXPECT_TRUE(IsInterleaving(Expected(11, 100), Expected(22, 100), notes))
      << "each generator's notes must arrive whole and in its own order";
}

TEST(MidiGenerator, NotesWithALengthEndBeforeTheNextAndRepeatUntilStopped) {
  ThreadMidiList queue;
  MidiGenerator gen(queue, 5, 3, 20ms, 5ms, /*repeat=*/true);
  gen.Start();
  // Past the first round of three: a repeating generator goes on.
  ASSERT_TRUE(WaitFor([&] { return gen.Produced() >= 5; }));
  gen.Stop();

  std::vector<int> ons;
  int held = -1;
  while (RecordPtr r = queue.DeleteFirst()) {
    ASSERT_EQ(r->kind, EventMidi);
    if (r->status == 144) {
      EXPECT_EQ(held, -1) << "a note starts only once the one before has ended";
      EXPECT_EQ(r->velocity, 80);
      held = r->note;
      ons.push_back(r->note);
    } else {
      ASSERT_EQ(r->status, 128);
      EXPECT_EQ(r->note, held) << "each note-off ends the note just played";
      held = -1;
    }
  }
  ASSERT_GE(ons.size(), 5u);
  EXPECT_EQ(ons, Expected(5, static_cast<int>(ons.size())));
}

TEST(MidiGenerator, ALastNoteWithALengthIsEndedToo) {
  ThreadMidiList queue;
  MidiGenerator gen(queue, 9, 2, 1ms, 30ms);
  gen.Start();
  ASSERT_TRUE(WaitFor([&] { return !gen.Alive(); }));
  ASSERT_EQ(queue.Count(), 4);
  // The notes overlap: both start before the first ends, and they end in the order they began.
  std::vector<std::pair<int, int>> events;
  while (RecordPtr r = queue.DeleteFirst()) events.emplace_back(r->status, r->note);
  auto notes = Expected(9, 2);
  EXPECT_EQ(events, (std::vector<std::pair<int, int>>{
                        {144, notes[0]}, {144, notes[1]}, {128, notes[0]}, {128, notes[1]}}));
}

}  // namespace
}  // namespace tandem
