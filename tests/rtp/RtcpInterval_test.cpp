#include "rtp/RtcpInterval.h"

#include <gtest/gtest.h>

namespace tandem::rtp {
namespace {

TEST(RtcpInterval, SmallSessionsWaitTheFiveSecondMinimum) {
  RtcpIntervalInput in;
  in.members = 2;
  in.senders = 1;
  EXPECT_DOUBLE_EQ(DeterministicRtcpInterval(in), 5.0);
  in.initial = true;  // the first report waits half of it
  EXPECT_DOUBLE_EQ(DeterministicRtcpInterval(in), 2.5);
  // Below the minimum, the bandwidth share decides: 100 bytes * 2 members / 500 B/s.
  in.minimumSeconds = 0.2;
  EXPECT_DOUBLE_EQ(DeterministicRtcpInterval(in), 0.4);
}

TEST(RtcpInterval, LargeSessionsShareTheReportBandwidth) {
  RtcpIntervalInput in;
  in.members = 1000;
  in.senders = 0;
  in.rtcpBandwidth = 500;
  in.averageRtcpSize = 100;
  // Receivers get three quarters of the bandwidth: 100 * 1000 / 375.
  EXPECT_NEAR(DeterministicRtcpInterval(in), 266.667, 0.001);
  // Ten senders among them: receivers are 990 sharing 375 B/s.
  in.senders = 10;
  EXPECT_NEAR(DeterministicRtcpInterval(in), 264.0, 0.001);
  // A sender shares a quarter with the nine others: 100 * 10 / 125 = 8 s.
  in.weSent = true;
  EXPECT_NEAR(DeterministicRtcpInterval(in), 8.0, 0.001);
  // Once senders exceed a quarter of the members, everyone shares the whole bandwidth.
  in.senders = 400;
  EXPECT_NEAR(DeterministicRtcpInterval(in), 200.0, 0.001);
}

TEST(RtcpInterval, RandomisationSpansHalfToOneAndAHalf) {
  RtcpIntervalInput in;
  EXPECT_DOUBLE_EQ(RandomisedRtcpInterval(in, 0.0), 2.5);
  EXPECT_DOUBLE_EQ(RandomisedRtcpInterval(in, 0.5), 5.0);
  EXPECT_NEAR(RandomisedRtcpInterval(in, 0.999999), 7.5, 1e-5);
  // A bad random value cannot leave the range.
  EXPECT_DOUBLE_EQ(RandomisedRtcpInterval(in, 7.0), 7.5);
  EXPECT_DOUBLE_EQ(RandomisedRtcpInterval(in, -1.0), 2.5);
}

TEST(RtcpInterval, NonsenseInputsStillGiveTheMinimum) {
  RtcpIntervalInput in;
  in.members = 0;
  in.senders = 5;
  in.rtcpBandwidth = 0;
  in.averageRtcpSize = -10;
  EXPECT_DOUBLE_EQ(DeterministicRtcpInterval(in), 5.0);
}

}  // namespace
}  // namespace tandem::rtp
