#include <gtest/gtest.h>

#include <array>
#include <future>
#include <map>

#include "relay/StuckNotes.h"

namespace tandem::stuck {
namespace {

NoteEvent On(int64_t at, uint8_t key, uint8_t velocity = 100) {
  return {at, 0x90, key, velocity};
}
NoteEvent Off(int64_t at, uint8_t key) {
  return {at, 0x80, key, 64};
}

TEST(Performance, IsAPlayableRandomPerformance) {
  PerformanceOptions options;
  options.notes = 1000;
  options.seed = 7;
  const std::vector<NoteEvent> events = MakePerformance(options);
  ASSERT_EQ(events.size(), 2000u);
  EXPECT_EQ(events.front().atMs, 0);

  std::array<bool, 128> held{};
  std::array<int64_t, 128> pressedAt{};
  std::map<int64_t, int> onsAt;
  int64_t longest = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const NoteEvent& e = events[i];
    if (i > 0) {
      ASSERT_LE(events[i - 1].atMs, e.atMs);
    }
    ASSERT_LT(e.note, 128);
    if (e.status == 0x90) {
      ASSERT_FALSE(held[e.note]) << "key " << int(e.note) << " struck while held, event " << i;
      ASSERT_GT(e.velocity, 0);
      held[e.note] = true;
      pressedAt[e.note] = e.atMs;
      ++onsAt[e.atMs];
    } else {
      ASSERT_EQ(e.status, 0x80);
      ASSERT_TRUE(held[e.note]) << "release of a key not held, event " << i;
      held[e.note] = false;
      longest = std::max(longest, e.atMs - pressedAt[e.note]);
    }
  }
  for (bool h : held) EXPECT_FALSE(h);  // the player ends holding nothing

  size_t chords = 0;
  for (auto& [at, count] : onsAt) chords += count >= 2;
  EXPECT_GT(chords, 50u);
  EXPECT_GE(longest, 1500);  // some notes are sustained
  const double seconds = static_cast<double>(events.back().atMs) / 1000.0;
  EXPECT_NEAR(1000 / seconds, 10.0, 2.0);

  EXPECT_EQ(MakePerformance(options).size(), events.size());
  EXPECT_EQ(MakePerformance(options)[500].atMs, events[500].atMs);
  options.seed = 8;
  EXPECT_NE(MakePerformance(options)[500].atMs, events[500].atMs);
}

TEST(Compare, CountsStuckMissedAndExtraNotes) {
  const std::vector<NoteEvent> sent = {On(0, 60),   On(0, 64),    Off(200, 60), Off(210, 64),
                                       On(300, 60), Off(400, 60), On(500, 67),  Off(900, 67)};
  // A faithful copy, 15 ms later.
  std::vector<NoteEvent> copy = sent;
  for (auto& e : copy) e.atMs += 15;
  Outcome perfect = Compare(sent, copy);
  EXPECT_EQ(perfect.notes, 4u);
  EXPECT_EQ(perfect.played, 4u);
  EXPECT_EQ(perfect.stuck + perfect.missed + perfect.extra, 0u);
  EXPECT_EQ(perfect.worstReleaseMs, 15);

  // The last release of key 67 never came: stuck. The second note of key 60 never started: its
  // release alone is nothing. A note nobody played on key 70: extra.
  const std::vector<NoteEvent> faulty = {On(10, 60),   On(10, 64),  Off(210, 60), Off(220, 64),
                                         Off(410, 60), On(510, 67), On(600, 70),  Off(700, 70)};
  Outcome bad = Compare(sent, faulty);
  EXPECT_EQ(bad.played, 4u);
  EXPECT_EQ(bad.stuck, 1u);
  EXPECT_EQ(bad.missed, 1u);
  EXPECT_EQ(bad.extra, 1u);
}

TEST(Compare, LateRepairsCountAsPlayedWithinTheSlack) {
  const std::vector<NoteEvent> sent = {On(0, 60), Off(100, 60), On(2000, 60), Off(2100, 60)};
  // The first note-on was lost and restored by a snapshot after 50 ms; the second note started
  // only after the player let go, but within the slack; its release came 900 ms late.
  const std::vector<NoteEvent> late = {On(50, 60), Off(110, 60), On(2500, 60), Off(3000, 60)};
  Outcome o = Compare(sent, late, 1000);
  EXPECT_EQ(o.missed, 0u);
  EXPECT_EQ(o.extra, 0u);
  EXPECT_EQ(o.worstReleaseMs, 900);
  // Past the slack the same note no longer answers the player's.
  Outcome strict = Compare(sent, late, 100);
  EXPECT_EQ(strict.missed, 1u);
  EXPECT_EQ(strict.extra, 1u);
}

TEST(Compare, OutputIsHeardAsASynthesizerWouldHearIt) {
  const std::vector<NoteEvent> sent = {On(0, 60), Off(100, 60)};
  // A note-on with velocity 0 ends a note; other channels count as well.
  Outcome zero = Compare(sent, {On(5, 60), NoteEvent{105, 0x93, 60, 0}});
  EXPECT_EQ(zero.stuck, 0u);
  EXPECT_EQ(zero.extra, 0u);
  // A second note-on on a sounding key strikes it again: one note too many.
  Outcome twice = Compare(sent, {On(5, 60), On(6, 60), Off(105, 60)});
  EXPECT_EQ(twice.played, 2u);
  EXPECT_EQ(twice.extra, 1u);
  EXPECT_EQ(twice.stuck, 0u);
}

// The whole road through a bad network: with snapshots sent at a constant or growing rate, a lost
// note-off is always repaired and nothing is left hanging.
TEST(StuckNotes, RateRetransmissionLeavesNothingHangingAtTwentyPercentLoss) {
  auto run = [](Retransmission mode, uint64_t relaySeed) {
    CaseOptions options;
    options.mode = mode;
    options.performance.notes = 200;
    options.performance.seed = 3;
    options.link = relay::Impairments{.loss = 0.2,
                                      .duplicate = 0.05,
                                      .reorder = 0.1,
                                      .delayMs = 5,
                                      .jitterMs = 5,
                                      .seed = relaySeed};
    return RunCase(options);
  };
  auto constant = std::async(std::launch::async, run, RetransConstant, 21);
  auto variable = std::async(std::launch::async, run, RetransVariable, 22);
  for (auto* result : {&constant, &variable}) {
    const Outcome o = result->get();
    SCOPED_TRACE(result == &constant ? "Constant Rate" : "Variable Rate");
    EXPECT_EQ(o.notes, 200u);
    EXPECT_GT(o.datagramsLost, 40u);  // the link really was bad
    EXPECT_EQ(o.aHolds, 0u);
    EXPECT_EQ(o.stuck, 0u);
    EXPECT_GE(o.played, 180u);
  }
}

// RTP-MIDI between two of us, reordered and lossy: every packet's journal alone brings back lost
// note-ons while they are recent and lost note-offs whenever, with no snapshot on this wire, and
// a short note whose strike and release were both lost is played short.
TEST(StuckNotes, RtpMidiJournalAloneLeavesNothingStuckAtTwentyPercentLoss) {
  CaseOptions options;
  options.protocol = ProtocolRtpMidi;
  options.performance.notes = 200;
  options.performance.seed = 5;
  options.link = relay::Impairments{
      .loss = 0.2, .duplicate = 0.05, .reorder = 0.1, .delayMs = 5, .jitterMs = 5, .seed = 23};
  const Outcome o = RunCase(options);
  EXPECT_EQ(o.notes, 200u);
  EXPECT_GT(o.datagramsLost, 40u);  // the link really was bad
  EXPECT_EQ(o.stuck, 0u);
  EXPECT_EQ(o.missed, 0u);
  EXPECT_EQ(o.played, 200u);
  EXPECT_EQ(o.aHolds, 0u);
}

}  // namespace
}  // namespace tandem::stuck
