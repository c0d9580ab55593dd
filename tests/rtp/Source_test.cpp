#include "rtp/Source.h"

#include <gtest/gtest.h>

namespace tandem::rtp {
namespace {

using Verdict = SequenceTracker::Verdict;

uint32_t Accept(SequenceTracker& t, uint16_t seq) {
  uint32_t ext = 0xDEADBEEF;
  EXPECT_EQ(t.Update(seq, ext), Verdict::kAccepted) << seq;
  return ext;
}

TEST(SequenceTracker, FirstPacketIsAcceptedAtOnce) {
  SequenceTracker t;
  EXPECT_FALSE(t.Initialised());
  EXPECT_EQ(Accept(t, 40000), 40000u);
  EXPECT_EQ(t.Received(), 1u);
  EXPECT_EQ(t.Expected(), 1);
}

TEST(SequenceTracker, ExtendsAcrossTheSixteenBitWrap) {
  SequenceTracker t;
  EXPECT_EQ(Accept(t, 65534), 65534u);
  EXPECT_EQ(Accept(t, 65535), 65535u);
  EXPECT_EQ(Accept(t, 0), 65536u);
  EXPECT_EQ(Accept(t, 1), 65537u);
  EXPECT_EQ(t.ExtendedMax(), 65537u);
  // A late packet from before the wrap keeps its old cycle and does not move the maximum.
  EXPECT_EQ(Accept(t, 65533), 65533u);
  EXPECT_EQ(t.ExtendedMax(), 65537u);
  // A gap across the wrap still counts one cycle.
  EXPECT_EQ(Accept(t, 1000), 66536u);
  EXPECT_EQ(t.Received(), 6u);
  EXPECT_EQ(t.Expected(), 66536 - 65534 + 1);
}

TEST(SequenceTracker, CountsLossesAndDuplicates) {
  SequenceTracker t;
  Accept(t, 10);
  Accept(t, 11);
  Accept(t, 14);  // 12 and 13 lost
  EXPECT_EQ(t.CumulativeLost(), 2);
  EXPECT_EQ(t.TakeFractionLost(), 2 * 256 / 5);
  EXPECT_EQ(t.TakeFractionLost(), 0);  // nothing new since
  Accept(t, 14);
  Accept(t, 14);  // duplicates make the loss negative
  EXPECT_EQ(t.CumulativeLost(), 0);
  Accept(t, 15);
  Accept(t, 15);
  EXPECT_EQ(t.CumulativeLost(), -1);
  EXPECT_EQ(t.TakeFractionLost(), 0);
}

TEST(SequenceTracker, BigJumpNeedsAFollowerAndKeepsNumbersIncreasing) {
  SequenceTracker t;
  Accept(t, 100);
  Accept(t, 101);
  uint32_t ext = 0;
  EXPECT_EQ(t.Update(30000, ext), Verdict::kJumpHeld);
  EXPECT_EQ(Accept(t, 102), 102u);  // the stream goes on; the stray is forgotten
  EXPECT_EQ(t.Update(50000, ext), Verdict::kJumpHeld);
  ASSERT_EQ(t.Update(50001, ext), Verdict::kRestarted);
  // The held packet becomes ext - 1, and both come after everything delivered before.
  EXPECT_EQ(ext, 50001u);
  EXPECT_EQ(Accept(t, 50002), 50002u);
  EXPECT_EQ(t.Received(), 3u);
  EXPECT_EQ(t.CumulativeLost(), 0);

  // A restart numbered below the old maximum lands in the next cycle.
  EXPECT_EQ(t.Update(10, ext), Verdict::kJumpHeld);
  ASSERT_EQ(t.Update(11, ext), Verdict::kRestarted);
  EXPECT_EQ(ext, 65536u + 11);
  EXPECT_EQ(Accept(t, 12), 65536u + 12);
}

TEST(SequenceTracker, RestartWhoseHeldPacketIsTheLastBeforeTheWrap) {
  SequenceTracker t;
  Accept(t, 20000);
  uint32_t ext = 0;
  EXPECT_EQ(t.Update(65535, ext), Verdict::kJumpHeld);
  ASSERT_EQ(t.Update(0, ext), Verdict::kRestarted);
  EXPECT_EQ(ext, 65536u);  // the held 65535 is 65535, after 20000
  EXPECT_EQ(Accept(t, 1), 65537u);
}

TEST(JitterEstimator, FollowsRfcFormulaInTimestampUnits) {
  JitterEstimator j;
  // Millisecond timestamps: sent 20 ms apart, the third arrives 10 ms late.
  j.OnPacket(1000, 5000);
  EXPECT_DOUBLE_EQ(j.Jitter(), 0.0);
  j.OnPacket(1020, 5020);
  EXPECT_DOUBLE_EQ(j.Jitter(), 0.0);
  j.OnPacket(1040, 5050);
  EXPECT_DOUBLE_EQ(j.Jitter(), 10.0 / 16);
  j.OnPacket(1060, 5060);  // back on time: transit changes by 10 again
  EXPECT_DOUBLE_EQ(j.Jitter(), 10.0 / 16 + (10 - 10.0 / 16) / 16);
}

TEST(JitterEstimator, SurvivesTimestampWrap) {
  JitterEstimator j;
  j.OnPacket(0xFFFFFFF0u, 100);
  j.OnPacket(0x00000000u, 116);  // both advanced by 16
  EXPECT_DOUBLE_EQ(j.Jitter(), 0.0);
}

}  // namespace
}  // namespace tandem::rtp
