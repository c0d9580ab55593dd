#include "rtp/SessionCore.h"

#include <gtest/gtest.h>

#include <vector>

#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"

namespace tandem::rtp {
namespace {

constexpr Micros kMs = 1000;
constexpr Micros kSecond = 1'000'000;
constexpr uint32_t kLoopback = 0x7F000001;

CoreConfig Config(uint32_t ssrc, uint64_t seed = 1) {
  CoreConfig c;
  c.ssrc = ssrc;
  c.firstSequence = 1000;
  c.firstTimestamp = 5000;
  c.seed = seed;
  c.cname = "peer" + std::to_string(ssrc);
  return c;
}

std::vector<uint8_t> Data(uint32_t ssrc, uint16_t seq, uint32_t ts, uint8_t pt = 77,
                          std::vector<uint8_t> payload = {1, 2, 3, 4}) {
  std::vector<uint8_t> out;
  BuildRtp({false, pt, seq, ts, ssrc}, payload, out);
  return out;
}

std::vector<std::unique_ptr<Packet>> TakeAll(SessionCore& core) {
  std::vector<std::unique_ptr<Packet>> out;
  for (bool more = core.GotoFirstSourceWithData(); more; more = core.GotoNextSourceWithData()) {
    while (auto p = core.TakeNextPacket()) out.push_back(std::move(p));
  }
  return out;
}

// Sends a data packet from a to b through bytes, as the facade would through sockets.
void Send(SessionCore& from, SessionCore& to, std::vector<uint8_t> payload, Micros now,
          uint8_t pt = 77) {
  std::vector<uint8_t> bytes;
  ASSERT_EQ(from.BuildData(payload, pt, false, bytes), kOk);
  from.CommitSent(payload.size(), 0, now);
  to.OnData(bytes, now);
}

TEST(SessionCore, SendsNumberedPacketsOnItsTimeline) {
  SessionCore core(Config(0xAAAA), 0);
  std::vector<uint8_t> bytes;
  EXPECT_EQ(core.BuildData(std::vector<uint8_t>{1}, 77, false, bytes), kErrNoDestination);
  ASSERT_EQ(core.AddDestination(kLoopback, 3000), kOk);
  ASSERT_EQ(core.BuildData(std::vector<uint8_t>{1}, 77, false, bytes), kOk);
  RtpView v;
  ASSERT_EQ(ParseRtp(bytes, v), RtpParseError::kOk);
  EXPECT_EQ(v.sequence, 1000);
  EXPECT_EQ(v.timestamp, 5000u);
  EXPECT_EQ(v.ssrc, 0xAAAAu);
  // Until the send is committed, a rebuild carries the same number (a failed send is retried).
  ASSERT_EQ(core.BuildData(std::vector<uint8_t>{1}, 77, false, bytes), kOk);
  core.CommitSent(1, 7, 0);
  core.IncrementTimestamp(250);
  ASSERT_EQ(core.BuildData(std::vector<uint8_t>{1}, 66, false, bytes), kOk);
  ASSERT_EQ(ParseRtp(bytes, v), RtpParseError::kOk);
  EXPECT_EQ(v.sequence, 1001);
  EXPECT_EQ(v.timestamp, 5257u);

  EXPECT_EQ(core.BuildData(std::vector<uint8_t>(kMaxRtpPayload + 1), 77, false, bytes), kErrTooBig);
  EXPECT_EQ(core.BuildData(std::vector<uint8_t>{1}, 128, false, bytes), kErrBadArgument);
}

TEST(SessionCore, RejectsUnusableDestinationsAndUnits) {
  SessionCore core(Config(1), 0);
  EXPECT_EQ(core.AddDestination(0, 3000), kErrBadDestination);
  EXPECT_EQ(core.AddDestination(0xFFFFFFFF, 3000), kErrBadDestination);
  EXPECT_EQ(core.AddDestination(kLoopback, 0), kErrBadDestination);
  EXPECT_EQ(core.AddDestination(kLoopback, 65535), kErrBadDestination);
  EXPECT_EQ(core.AddDestination(kLoopback, 3000), kOk);
  EXPECT_EQ(core.AddDestination(kLoopback, 3000), kOk);  // no duplicate
  EXPECT_EQ(core.AddDestination(kLoopback + 1, 3000), kOk);
  EXPECT_EQ(core.Destinations().size(), 2u);
  EXPECT_EQ(core.SetTimestampUnit(0), kErrBadTimestampUnit);
  EXPECT_EQ(core.SetTimestampUnit(-0.001), kErrBadTimestampUnit);
  EXPECT_EQ(core.SetTimestampUnit(std::numeric_limits<double>::quiet_NaN()), kErrBadTimestampUnit);
  EXPECT_EQ(core.SetTimestampUnit(1e-300), kErrBadTimestampUnit);
  EXPECT_EQ(core.SetTimestampUnit(0.001), kOk);
}

TEST(SessionCore, DeliversFirstPacketOfNewSourceAtOnceInArrivalOrder) {
  SessionCore core(Config(1), 0);
  EXPECT_EQ(core.OnData(Data(7, 65535, 10, 88), 0), Input::kAccepted);
  auto first = TakeAll(core);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0]->payloadType, 88);
  EXPECT_EQ(first[0]->ssrc, 7u);
  EXPECT_EQ(first[0]->extendedSequence, 65535u);
  EXPECT_EQ(first[0]->payload, (std::vector<uint8_t>{1, 2, 3, 4}));

  // Out-of-order arrivals come out as they arrived, with their own extended numbers.
  core.OnData(Data(7, 1, 30), 1 * kMs);
  core.OnData(Data(7, 0, 20), 2 * kMs);
  auto next = TakeAll(core);
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[0]->extendedSequence, 65537u);
  EXPECT_EQ(next[1]->extendedSequence, 65536u);
  EXPECT_TRUE(TakeAll(core).empty());
}

TEST(SessionCore, IteratesSourcesInTheOrderFirstHeard) {
  SessionCore core(Config(1), 0);
  core.OnData(Data(30, 1, 0), 0);
  core.OnData(Data(20, 1, 0), 0);
  core.OnData(Data(30, 2, 0), 0);
  EXPECT_EQ(core.SetCurrentSourceTimestampUnit(0.001), kErrNoSource);
  ASSERT_TRUE(core.GotoFirstSourceWithData());
  EXPECT_EQ(core.SetCurrentSourceTimestampUnit(0.001), kOk);
  EXPECT_EQ(core.TakeNextPacket()->ssrc, 30u);
  EXPECT_EQ(core.TakeNextPacket()->sequence, 2);
  EXPECT_EQ(core.TakeNextPacket(), nullptr);
  ASSERT_TRUE(core.GotoNextSourceWithData());
  EXPECT_EQ(core.TakeNextPacket()->ssrc, 20u);
  EXPECT_FALSE(core.GotoNextSourceWithData());
  EXPECT_EQ(core.TakeNextPacket(), nullptr);
  EXPECT_FALSE(core.GotoFirstSourceWithData());
}

TEST(SessionCore, CountsAndDropsWhatItCannotUse) {
  SessionCore core(Config(0x1234), 0);
  EXPECT_EQ(core.OnData(std::vector<uint8_t>{0x80, 77, 0}, 0), Input::kMalformed);
  EXPECT_EQ(core.OnData(Data(0x1234, 1, 0), 0), Input::kOwnSsrc);
  EXPECT_EQ(core.OnControl(std::vector<uint8_t>{0x80, 201, 0, 7, 0, 0, 0, 1}, 0),
            Input::kMalformed);
  std::vector<uint8_t> own;
  AppendRr(own, 0x1234, {});
  EXPECT_EQ(core.OnControl(own, 0), Input::kOwnSsrc);
  EXPECT_EQ(core.Stats().malformedDropped, 2u);
  EXPECT_EQ(core.Stats().ownSsrcDropped, 2u);
  EXPECT_EQ(core.Stats().rtpReceived, 0u);
  EXPECT_TRUE(core.Sources().empty());
}

TEST(SessionCore, BoundsSourcesAndWaitingPackets) {
  SessionCore core(Config(1), 0);
  for (uint16_t i = 0; i < kMaxWaitingPerSource + 5; ++i) core.OnData(Data(9, i, i), 0);
  for (uint32_t s = 100; s < 100 + kMaxSources + 5; ++s) core.OnData(Data(s, 1, 0), 0);
  EXPECT_EQ(core.Sources().size(), kMaxSources);
  EXPECT_EQ(core.Stats().limitDropped, 5u + 6u);
  EXPECT_EQ(TakeAll(core).size(), kMaxWaitingPerSource + kMaxSources - 1);
}

TEST(SessionCore, HeldPacketAfterJumpIsDeliveredOnceConfirmed) {
  SessionCore core(Config(1), 0);
  core.OnData(Data(5, 10, 0), 0);
  EXPECT_EQ(core.OnData(Data(5, 40000, 0), 0), Input::kHeld);
  EXPECT_EQ(core.OnData(Data(5, 40001, 0), 0), Input::kAccepted);
  auto got = TakeAll(core);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1]->sequence, 40000);
  EXPECT_EQ(got[1]->extendedSequence, 40000u);
  EXPECT_EQ(got[2]->extendedSequence, 40001u);
  // A stray that nothing follows is counted and dropped.
  core.OnData(Data(5, 9000, 0), 0);
  core.OnData(Data(5, 40002, 0), 0);
  EXPECT_EQ(core.Stats().sequenceDropped, 1u);
  EXPECT_EQ(TakeAll(core).size(), 1u);
}

TEST(SessionCore, JitterUsesTheTimestampUnit) {
  SessionCore core(Config(1), 0);
  ASSERT_EQ(core.SetTimestampUnit(0.001), kOk);
  // Millisecond timestamps 20 apart; the third packet is 10 ms late.
  core.OnData(Data(5, 1, 100), 1000 * kMs);
  core.OnData(Data(5, 2, 120), 1020 * kMs);
  core.OnData(Data(5, 3, 140), 1050 * kMs);
  EXPECT_DOUBLE_EQ(core.Sources()[0].jitter, 10.0 / 16);

  // An 8 kHz source, set through the per-source unit: 10 ms is 80 units.
  core.OnData(Data(6, 1, 0), 2000 * kMs);
  ASSERT_TRUE(core.GotoFirstSourceWithData());
  ASSERT_TRUE(core.GotoNextSourceWithData());
  ASSERT_EQ(core.SetCurrentSourceTimestampUnit(1.0 / 8000), kOk);
  core.OnData(Data(6, 2, 160), 2020 * kMs);
  core.OnData(Data(6, 3, 320), 2050 * kMs);
  EXPECT_DOUBLE_EQ(core.Sources()[1].jitter, 80.0 / 16);
}

TEST(SessionCore, FirstReportComesAtHalfTheIntervalThenEveryInterval) {
  // Over many seeds: the first report within [1.25, 3.75] s, the next within [2.5, 7.5] s.
  double firstMin = 1e9, firstMax = 0, nextMin = 1e9, nextMax = 0;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    const Micros start = 50 * kSecond;
    SessionCore core(Config(1, seed), start);
    const double first = static_cast<double>(core.NextReportTime() - start) / kSecond;
    firstMin = std::min(firstMin, first);
    firstMax = std::max(firstMax, first);
    EXPECT_FALSE(core.ReportDue(core.NextReportTime() - 1));
    EXPECT_TRUE(core.ReportDue(core.NextReportTime()));
    const Micros t = core.NextReportTime();
    core.MakeReport(t);
    const double next = static_cast<double>(core.NextReportTime() - t) / kSecond;
    nextMin = std::min(nextMin, next);
    nextMax = std::max(nextMax, next);
  }
  EXPECT_GE(firstMin, 1.25);
  EXPECT_LE(firstMax, 3.75);
  EXPECT_LT(firstMin, 1.6);  // randomised, not fixed
  EXPECT_GT(firstMax, 3.4);
  EXPECT_GE(nextMin, 2.5);
  EXPECT_LE(nextMax, 7.5);
  EXPECT_LT(nextMin, 3.2);
  EXPECT_GT(nextMax, 6.8);
}

TEST(SessionCore, SendsSenderReportOnlyWhileItSends) {
  SessionCore a(Config(0xA), 0), b(Config(0xB), 0);
  a.AddDestination(kLoopback, 3000);
  auto kind = [](const std::vector<uint8_t>& bytes) {
    RtcpCompound c;
    EXPECT_EQ(ParseRtcp(bytes, c), RtcpParseError::kOk);
    EXPECT_EQ(c.sdes.size(), 1u);
    return c.reports.at(0).isSender;
  };
  EXPECT_FALSE(kind(a.MakeReport(1 * kSecond)));
  Send(a, b, {1, 2, 3}, 2 * kSecond);
  Send(a, b, {4, 5}, 3 * kSecond);
  const auto sr = a.MakeReport(6 * kSecond);
  EXPECT_TRUE(kind(sr));
  RtcpCompound c;
  ParseRtcp(sr, c);
  EXPECT_EQ(c.reports[0].sender.packetCount, 2u);
  EXPECT_EQ(c.reports[0].sender.octetCount, 5u);
  EXPECT_EQ(c.sdes[0].cname, a.Cname());
  // Data sent before the last report still counts for one more report, then RR again.
  EXPECT_TRUE(kind(a.MakeReport(11 * kSecond)));
  EXPECT_FALSE(kind(a.MakeReport(16 * kSecond)));
}

TEST(SessionCore, ReceptionBlocksDescribeTheSenders) {
  SessionCore a(Config(0xA), 0), b(Config(0xB), 0);
  a.AddDestination(kLoopback, 3000);
  a.SetTimestampUnit(0.001);
  b.SetTimestampUnit(0.001);
  Send(a, b, {1}, 1 * kSecond);
  b.OnControl(a.MakeReport(2 * kSecond), 2 * kSecond);  // an SR, for LSR/DLSR
  Send(a, b, {1}, 3 * kSecond);
  std::vector<uint8_t> bytes;
  a.BuildData(std::vector<uint8_t>{1}, 77, false, bytes);
  a.CommitSent(1, 0, 4 * kSecond);  // this one is lost on the way
  Send(a, b, {1}, 5 * kSecond);

  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(b.MakeReport(6 * kSecond), c), RtcpParseError::kOk);
  EXPECT_FALSE(c.reports[0].isSender);
  ASSERT_EQ(c.reports[0].blocks.size(), 1u);
  const ReportBlock& block = c.reports[0].blocks[0];
  EXPECT_EQ(block.ssrc, 0xAu);
  EXPECT_EQ(block.highestSequence, 1003u);
  EXPECT_EQ(block.cumulativeLost, 1);
  EXPECT_EQ(block.fractionLost, 256 / 4);
  EXPECT_NE(block.lastSr, 0u);
  EXPECT_EQ(block.delaySinceSr, 4u * 65536);
  EXPECT_EQ(b.Sources()[0].cname, a.Cname());
  // Nothing new arrived since: no block in the next report.
  ASSERT_EQ(ParseRtcp(b.MakeReport(11 * kSecond), c), RtcpParseError::kOk);
  EXPECT_TRUE(c.reports[0].blocks.empty());
}

TEST(SessionCore, ByeOnlyAfterSendingAndNamesOurselves) {
  SessionCore a(Config(0xA), 0);
  a.AddDestination(kLoopback, 3000);
  EXPECT_TRUE(a.MakeBye(0).empty());  // never sent anything: leave silently
  SessionCore b(Config(0xB), 0);
  Send(a, b, {1}, 1 * kSecond);
  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(a.MakeBye(2 * kSecond), c), RtcpParseError::kOk);
  EXPECT_EQ(c.reports.at(0).ssrc, 0xAu);
  ASSERT_EQ(c.byes.size(), 1u);
  EXPECT_EQ(c.byes[0].ssrcs, std::vector<uint32_t>{0xA});
}

TEST(SessionCore, ForgetsSourcesAfterByeOrSilenceButNotBeforeTheirPacketsAreTaken) {
  SessionCore a(Config(0xA), 0), b(Config(0xB), 0), c(Config(0xC), 0);
  a.AddDestination(kLoopback, 3000);
  c.AddDestination(kLoopback, 3000);
  Send(a, b, {1}, 0);
  Send(c, b, {1}, 0);
  b.OnControl(a.MakeBye(1 * kSecond), 1 * kSecond);
  ASSERT_EQ(b.Sources().size(), 2u);
  EXPECT_TRUE(b.Sources()[0].byeReceived);

  // Packets still waiting keep both sources past the BYE grace and the silence timeout.
  b.MakeReport(60 * kSecond);
  EXPECT_EQ(b.Sources().size(), 2u);
  EXPECT_EQ(TakeAll(b).size(), 2u);
  // Silence: five deterministic intervals of 5 s.
  b.OnData(Data(0xC, 1001, 0), 60 * kSecond);
  TakeAll(b);
  b.MakeReport(61 * kSecond);
  ASSERT_EQ(b.Sources().size(), 1u);  // the BYE source is gone
  EXPECT_EQ(b.Sources()[0].ssrc, 0xCu);
  b.MakeReport(60 * kSecond + 24 * kSecond);
  EXPECT_EQ(b.Sources().size(), 1u);
  b.MakeReport(60 * kSecond + 26 * kSecond);
  EXPECT_TRUE(b.Sources().empty());
}

// A report from 0xB about 0xA, as a partner that may lie would write it.
std::vector<uint8_t> ReportAbout(uint32_t about, ReportBlock block) {
  block.ssrc = about;
  std::vector<uint8_t> out;
  AppendRr(out, 0xB, std::span(&block, 1));
  return out;
}

// The SR a made at `at`, as the LSR field of a report names it.
uint32_t MiddleOfSr(const std::vector<uint8_t>& sr) {
  RtcpCompound c;
  EXPECT_EQ(ParseRtcp(sr, c), RtcpParseError::kOk);
  EXPECT_TRUE(c.reports.at(0).isSender);
  return static_cast<uint32_t>(c.reports.at(0).sender.ntp >> 16);
}

TEST(SessionCore, LinkFiguresComeFromThePartnersReportsAndOurOwnCounts) {
  SessionCore a(Config(0xA), 0), b(Config(0xB), 0);
  a.AddDestination(kLoopback, 3000);
  b.AddDestination(kLoopback, 3000);
  a.SetTimestampUnit(0.001);
  b.SetTimestampUnit(0.001);
  EXPECT_FALSE(a.Link().haveReport);
  EXPECT_FALSE(a.Link().haveReceived);

  // Twenty ms each way: a's packets, one in four lost, its SR, b's packets and b's report.
  const Micros oneWay = 20 * kMs;
  Micros t = 1 * kSecond;
  for (int i = 0; i < 8; ++i, t += 100 * kMs) {
    std::vector<uint8_t> bytes;
    ASSERT_EQ(a.BuildData(std::vector<uint8_t>{1}, 77, false, bytes), kOk);
    a.CommitSent(1, 0, t);
    a.IncrementTimestamp(100);
    if (i % 4 != 1) b.OnData(bytes, t + oneWay);
    Send(b, a, {2}, t + 50 * kMs);
  }
  const Micros srAt = 2 * kSecond;
  b.OnControl(a.MakeReport(srAt), srAt + oneWay);
  const Micros rrAt = 3 * kSecond + 123 * kMs;
  a.OnControl(b.MakeReport(rrAt), rrAt + oneWay);

  LinkFigures f = a.Link();
  EXPECT_TRUE(f.haveReport);
  ASSERT_TRUE(f.haveRtt);
  // DLSR is cut to 1/65536 s, so the round trip may read up to 16 us long.
  EXPECT_NEAR(f.rttMs, 40.0, 0.02);
  EXPECT_DOUBLE_EQ(f.sentFractionLost, 0.25);
  EXPECT_EQ(f.sentCumulativeLost, 2);
  EXPECT_NEAR(f.sentJitterMs, b.Sources()[0].jitter, 1.0);  // b's jitter is in ms, cut to whole
  EXPECT_EQ(f.reportBlocks, 1u);
  EXPECT_TRUE(f.haveReceived);  // b's data reached a, none lost
  EXPECT_EQ(f.receivedCumulativeLost, 0);
  EXPECT_EQ(a.Stats().reportFiguresRefused, 0u);

  // b's own view of a's packets: its report's fraction, its count, its jitter.
  f = b.Link();
  EXPECT_TRUE(f.haveReport);  // a's SR carried a block about b's packets, all arrived
  EXPECT_FALSE(f.haveRtt);    // b had sent no SR for it to name
  EXPECT_EQ(f.sentCumulativeLost, 0);
  ASSERT_TRUE(f.haveReceived);
  EXPECT_DOUBLE_EQ(f.receivedFractionLost, 0.25);
  EXPECT_EQ(f.receivedCumulativeLost, 2);
  EXPECT_NEAR(f.receivedJitterMs, b.Sources()[0].jitter, 1e-9);
}

TEST(SessionCore, HostileReportsShowNoNonsenseAndAreCounted) {
  SessionCore a(Config(0xA), 0);
  a.AddDestination(kLoopback, 3000);
  a.SetTimestampUnit(0.001);
  SessionCore b(Config(0xB), 0);
  for (int i = 0; i < 10; ++i) Send(a, b, {1}, i * kMs);
  const Micros srAt = 1 * kSecond;
  const uint32_t lsr = MiddleOfSr(a.MakeReport(srAt));
  const Micros now = srAt + 100 * kMs;
  const auto refused = [&] { return a.Stats().reportFiguresRefused; };

  // An honest report first: 60 ms round trip, the partner held the SR for 40 ms.
  a.OnControl(ReportAbout(0xA, {.fractionLost = 26,
                                .cumulativeLost = 1,
                                .jitter = 3,
                                .lastSr = lsr,
                                .delaySinceSr = 40 * 65536 / 1000}),
              now);
  ASSERT_TRUE(a.Link().haveRtt);
  const double honestRtt = a.Link().rttMs;
  EXPECT_NEAR(honestRtt, 60.0, 0.02);
  EXPECT_EQ(refused(), 0u);

  // A last-SR time of no SR we sent: no round trip from it.
  a.OnControl(ReportAbout(0xA, {.lastSr = lsr + 12345, .delaySinceSr = 0}), now);
  EXPECT_EQ(refused(), 1u);
  EXPECT_DOUBLE_EQ(a.Link().rttMs, honestRtt);
  // A delay longer than the time since the SR left: a negative round trip.
  a.OnControl(ReportAbout(0xA, {.lastSr = lsr, .delaySinceSr = 65536}), now);
  EXPECT_EQ(refused(), 2u);
  EXPECT_DOUBLE_EQ(a.Link().rttMs, honestRtt);
  // More packets lost than we ever sent: clamped to what we sent.
  a.OnControl(ReportAbout(0xA, {.cumulativeLost = 0x7fffff}), now);
  EXPECT_EQ(refused(), 3u);
  EXPECT_EQ(a.Link().sentCumulativeLost, 10);
  // A jitter of days: the last believable one stays.
  a.OnControl(ReportAbout(0xA, {.jitter = 3}), now);
  a.OnControl(ReportAbout(0xA, {.jitter = 0xffffffff}), now);
  EXPECT_EQ(refused(), 4u);
  EXPECT_DOUBLE_EQ(a.Link().sentJitterMs, 3.0);
  // Duplicates make a small negative count: legal, and shown as no loss.
  a.OnControl(ReportAbout(0xA, {.cumulativeLost = -3}), now);
  EXPECT_EQ(refused(), 4u);
  EXPECT_EQ(a.Link().sentCumulativeLost, 0);
  // A report about someone else changes nothing.
  a.OnControl(ReportAbout(0xC, {.cumulativeLost = 0x7fffff, .lastSr = 77}), now);
  EXPECT_EQ(refused(), 4u);
  EXPECT_EQ(a.Link().reportBlocks, 7u);
}

}  // namespace
}  // namespace tandem::rtp
