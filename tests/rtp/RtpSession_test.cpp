#include "rtp/RtpSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "../TestTiming.h"
#include "platform/UdpSocket.h"
#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"

namespace tandem::rtp {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// An even port base whose pair is free right now: ask the system for a free port and try its
// even neighbour, since other tests may take ports meanwhile.
template <typename TryBase>
uint16_t FindPair(TryBase tryBase) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    UdpSocket probe;
    if (probe.Bind(0) != 0) continue;
    const uint16_t base = static_cast<uint16_t>(probe.LocalPort() & ~1u);
    probe.Close();
    if (base != 0 && base < 65534 && tryBase(base)) return base;
  }
  ADD_FAILURE() << "no free port pair";
  return 0;
}

uint16_t CreateOnFreePair(RtpSession& s) {
  return FindPair([&](uint16_t base) { return s.Create(base) == kOk; });
}

// Two raw sockets standing for a peer's data and control ports.
struct RawPeer {
  UdpSocket data, control;
  uint16_t base = FindPair([this](uint16_t b) {
    if (data.Bind(b, kLoopback) != 0) return false;
    if (control.Bind(static_cast<uint16_t>(b + 1), kLoopback) == 0) return true;
    data.Close();
    return false;
  });
};

bool WaitUntil(const std::function<bool()>& done) {
  return test::WaitFor(done, std::chrono::seconds(5));
}

std::vector<uint8_t> Receive(UdpSocket& s) {
  std::vector<uint8_t> buffer(2048);
  int64_t n = -EAGAIN;
  WaitUntil([&] { return (n = s.ReceiveFrom(buffer).result) != -EAGAIN; });
  buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buffer;
}

std::vector<std::unique_ptr<Packet>> PollAll(RtpSession& s) {
  std::vector<std::unique_ptr<Packet>> out;
  EXPECT_EQ(s.Poll(), kOk);
  for (bool more = s.GotoFirstSourceWithData(); more; more = s.GotoNextSourceWithData()) {
    while (auto p = s.GetNextPacket()) out.push_back(std::move(p));
  }
  return out;
}

TEST(RtpSession, RefusesCallsBeforeCreate) {
  RtpSession s;
  EXPECT_FALSE(s.IsCreated());
  EXPECT_EQ(s.Destroy(), kErrNotCreated);
  EXPECT_EQ(s.Poll(), kErrNotCreated);
  EXPECT_EQ(s.SetTimestampUnit(0.001), kErrNotCreated);
  EXPECT_EQ(s.AddDestination(kLoopback, 3000), kErrNotCreated);
  EXPECT_EQ(s.IncrementTimestamp(5), kErrNotCreated);
  const uint8_t byte = 1;
  EXPECT_EQ(s.SendPacket(&byte, 1, 77, false, 0), kErrNotCreated);
  EXPECT_FALSE(s.GotoFirstSourceWithData());
  EXPECT_EQ(s.SetCurrentSourceTimestampUnit(0.001), kErrNotCreated);
  EXPECT_EQ(s.GetNextPacket(), nullptr);
  EXPECT_EQ(s.DataFd(), -1);
  EXPECT_EQ(s.MillisUntilRtcp(), -1);
}

TEST(RtpSession, CreateRefusesOddZeroAndBusyPorts) {
  RtpSession s;
  EXPECT_EQ(s.Create(2001), kErrOddPort);
  EXPECT_EQ(s.Create(0), kErrBadPort);

  // Busy data port, then busy control port.
  RawPeer busy;
  EXPECT_EQ(s.Create(busy.base), kErrBind);
  busy.data.Close();
  EXPECT_EQ(s.Create(busy.base), kErrBind);
  EXPECT_FALSE(s.IsCreated());
  // The failed attempt left nothing bound: the data port is free again.
  UdpSocket again;
  EXPECT_EQ(again.Bind(busy.base), 0);

  const uint16_t base = CreateOnFreePair(s);
  ASSERT_NE(base, 0);
  EXPECT_EQ(s.Create(base), kErrAlreadyCreated);
  RtpSession other;
  EXPECT_EQ(other.Create(base), kErrBind);
  EXPECT_EQ(s.Destroy(), kOk);
  EXPECT_EQ(other.Create(base), kOk);  // Destroy released both ports
}

TEST(RtpSession, TwoSessionsExchangePacketsOverLoopback) {
  RtpSession a, b;
  const uint16_t pa = CreateOnFreePair(a);
  const uint16_t pb = CreateOnFreePair(b);
  ASSERT_EQ(a.AddDestination(kLoopback, pb), kOk);
  ASSERT_EQ(b.AddDestination(kLoopback, pa), kOk);
  ASSERT_EQ(a.SetTimestampUnit(0.001), kOk);
  ASSERT_EQ(b.SetTimestampUnit(0.001), kOk);
  EXPECT_EQ(b.Poll(), kOk);  // nothing waits: success, no packets
  EXPECT_FALSE(b.GotoFirstSourceWithData());

  const std::vector<uint8_t> note = {0x90, 60, 100, 0};
  const std::vector<uint8_t> buffer = {0xE8, 0x03};
  ASSERT_EQ(a.SendPacket(note.data(), note.size(), 77, false, 0), kOk);
  ASSERT_EQ(a.IncrementTimestamp(250), kOk);
  ASSERT_EQ(a.SendPacket(buffer.data(), buffer.size(), 66, false, 0), kOk);

  std::vector<std::unique_ptr<Packet>> got;
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(b)) got.push_back(std::move(p));
    return got.size() >= 2;
  }));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->payloadType, 77);
  EXPECT_EQ(got[0]->payload, note);
  EXPECT_EQ(got[0]->ssrc, a.Ssrc());
  EXPECT_EQ(got[1]->payloadType, 66);
  EXPECT_EQ(got[1]->payload, buffer);
  EXPECT_EQ(got[1]->extendedSequence, got[0]->extendedSequence + 1);
  EXPECT_EQ(got[1]->timestamp - got[0]->timestamp, 250u);
  EXPECT_EQ(b.Stats().rtpReceived, 2u);
  EXPECT_EQ(a.Stats().rtpSent, 2u);

  // Argument checks do not use up a sequence number.
  EXPECT_EQ(a.SendPacket(nullptr, 4, 77, false, 0), kErrBadArgument);
  EXPECT_EQ(a.SendPacket(note.data(), note.size(), 200, false, 0), kErrBadArgument);
  std::vector<uint8_t> huge(kMaxRtpPayload + 1);
  EXPECT_EQ(a.SendPacket(huge.data(), huge.size(), 77, false, 0), kErrTooBig);
  ASSERT_EQ(a.SendPacket(note.data(), note.size(), 88, false, 0), kOk);
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(b)) got.push_back(std::move(p));
    return got.size() >= 3;
  }));
  EXPECT_EQ(got[2]->extendedSequence, got[1]->extendedSequence + 1);
}

TEST(RtpSession, DualStackSessionReachesAndIsReachedByBothFamilies) {
  {
    UdpSocket probe;
    if (probe.BindDualStack(0) != 0 || probe.Family() != AF_INET6 ||
        probe.SendTo(std::vector<uint8_t>{0}, *ParseIpAddress("::1"), probe.LocalPort()) != 0) {
      GTEST_SKIP() << "no IPv6 loopback here";
    }
  }
  RtpSession a, c;
  const uint16_t pa = CreateOnFreePair(a);
  const uint16_t pc = CreateOnFreePair(c);
  RawPeer v4;  // an IPv4-only partner on 127.0.0.1
  const IpAddress v6Loopback = *ParseIpAddress("::1");
  ASSERT_EQ(a.AddDestination(kLoopback, v4.base), kOk);
  ASSERT_EQ(a.AddDestination(v6Loopback, pc), kOk);
  ASSERT_EQ(c.AddDestination(v6Loopback, pa), kOk);

  // a's one packet reaches both partners, each over its own family.
  const std::vector<uint8_t> note = {0x90, 60, 100, 0};
  ASSERT_EQ(a.SendPacket(note.data(), note.size(), 77, false, 0), kOk);
  RtpView view;
  const std::vector<uint8_t> atV4 = Receive(v4.data);
  ASSERT_EQ(ParseRtp(atV4, view), RtpParseError::kOk);
  EXPECT_EQ(view.ssrc, a.Ssrc());
  std::vector<std::unique_ptr<Packet>> atC;
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(c)) atC.push_back(std::move(p));
    return !atC.empty();
  }));
  EXPECT_EQ(atC[0]->payload, note);

  // And a takes packets from both.
  std::vector<uint8_t> fromV4;
  BuildRtp({false, 66, 7, 0, 0x4444}, std::vector<uint8_t>{1, 2}, fromV4);
  ASSERT_EQ(v4.data.SendTo(fromV4, kLoopback, pa), 0);
  ASSERT_EQ(c.SendPacket(note.data(), note.size(), 77, false, 0), kOk);
  std::vector<uint32_t> sources;
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(a)) sources.push_back(p->ssrc);
    return sources.size() >= 2;
  }));
  std::sort(sources.begin(), sources.end());
  std::vector<uint32_t> expected = {0x4444, c.Ssrc()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sources, expected);

  // Addresses that name no partner, of either family, are refused; a session bound to one
  // IPv4 address cannot reach IPv6.
  for (const char* text : {"::", "ff02::1", "::ffff:255.255.255.255", "::ffff:0.0.0.0"}) {
    EXPECT_EQ(a.AddDestination(*ParseIpAddress(text), 4000), kErrBadDestination) << text;
  }
  RtpSession v4Only;
  FindPair([&](uint16_t base) { return v4Only.Create(base, kLoopback) == kOk; });
  EXPECT_EQ(v4Only.AddDestination(v6Loopback, pa), kErrBadDestination);
  EXPECT_EQ(v4Only.AddDestination(*ParseIpAddress("::ffff:127.0.0.1"), pa), kOk);
}

TEST(RtpSession, RandomStartDiffersBetweenSessions) {
  RtpSession a, b;
  CreateOnFreePair(a);
  CreateOnFreePair(b);
  EXPECT_NE(a.Ssrc(), b.Ssrc());
  // A re-created session is a new participant.
  const uint32_t before = a.Ssrc();
  a.Destroy();
  CreateOnFreePair(a);
  EXPECT_NE(a.Ssrc(), before);
}

TEST(RtpSession, DropsItsOwnPacketsLoopedBack) {
  RtpSession s;
  const uint16_t base = CreateOnFreePair(s);
  ASSERT_EQ(s.AddDestination(kLoopback, base), kOk);
  ASSERT_EQ(s.SetRtcpMinimumInterval(0.01), kOk);
  const uint8_t byte = 1;
  ASSERT_EQ(s.SendPacket(&byte, 1, 77, false, 0), kOk);
  // Our data comes back to us, and so does our report once it is due.
  ASSERT_TRUE(WaitUntil([&] {
    s.Poll();
    return s.Stats().ownSsrcDropped >= 2;
  }));
  EXPECT_FALSE(s.GotoFirstSourceWithData());
  EXPECT_TRUE(s.Sources().empty());
}

TEST(RtpSession, ReportsReachTheControlPortAndNameTheSender) {
  RtpSession s;
  CreateOnFreePair(s);
  RawPeer peer;
  ASSERT_EQ(s.AddDestination(kLoopback, peer.base), kOk);
  ASSERT_EQ(s.SetTimestampUnit(0.001), kOk);
  const uint8_t byte = 1;
  ASSERT_EQ(s.SendPacket(&byte, 1, 77, false, 0), kOk);
  const auto data = Receive(peer.data);
  RtpView v;
  ASSERT_EQ(ParseRtp(data, v), RtpParseError::kOk);
  EXPECT_EQ(v.ssrc, s.Ssrc());

  ASSERT_EQ(s.SetRtcpMinimumInterval(0.05), kOk);
  // Rescheduled from now: no longer the seconds of the default first report.
  EXPECT_LT(s.MillisUntilRtcp(), 1000);
  ASSERT_TRUE(WaitUntil([&] {
    s.Poll();
    return s.Stats().rtcpSent >= 1;
  }));
  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(Receive(peer.control), c), RtcpParseError::kOk);
  ASSERT_EQ(c.reports.size(), 1u);
  EXPECT_TRUE(c.reports[0].isSender);
  EXPECT_EQ(c.reports[0].ssrc, s.Ssrc());
  EXPECT_EQ(c.reports[0].sender.packetCount, 1u);
  ASSERT_EQ(c.sdes.size(), 1u);
  EXPECT_NE(c.sdes[0].cname.find("@"), std::string::npos);
}

TEST(RtpSession, LearnsPeersFromTheirReportsAndByes) {
  RtpSession a, b;
  const uint16_t pa = CreateOnFreePair(a);
  const uint16_t pb = CreateOnFreePair(b);
  a.AddDestination(kLoopback, pb);
  b.AddDestination(kLoopback, pa);
  a.SetRtcpMinimumInterval(0.02);
  const uint8_t byte = 1;
  ASSERT_EQ(a.SendPacket(&byte, 1, 77, false, 0), kOk);
  ASSERT_TRUE(WaitUntil([&] {
    a.Poll();
    b.Poll();
    const auto sources = b.Sources();
    return !sources.empty() && !sources[0].cname.empty();
  }));
  EXPECT_EQ(b.Sources()[0].ssrc, a.Ssrc());
  EXPECT_TRUE(b.Sources()[0].sentData);

  ASSERT_EQ(a.Destroy(), kOk);
  ASSERT_TRUE(WaitUntil([&] {
    b.Poll();
    return b.Sources()[0].byeReceived;
  }));
}

TEST(RtpSession, DestroySendsByeToEveryDestination) {
  RtpSession s;
  CreateOnFreePair(s);
  RawPeer first, second;
  s.AddDestination(kLoopback, first.base);
  s.AddDestination(kLoopback, second.base);
  const uint8_t byte = 1;
  ASSERT_EQ(s.SendPacket(&byte, 1, 77, false, 0), kOk);
  const uint32_t ssrc = s.Ssrc();
  ASSERT_EQ(s.Destroy(), kOk);
  EXPECT_FALSE(s.IsCreated());
  for (RawPeer* peer : {&first, &second}) {
    EXPECT_FALSE(Receive(peer->data).empty());
    RtcpCompound c;
    ASSERT_EQ(ParseRtcp(Receive(peer->control), c), RtcpParseError::kOk);
    ASSERT_EQ(c.byes.size(), 1u);
    EXPECT_EQ(c.byes[0].ssrcs, std::vector<uint32_t>{ssrc});
  }
  EXPECT_EQ(s.Stats().rtcpSent, 2u);  // kept after Destroy
  EXPECT_EQ(s.Destroy(), kErrNotCreated);
}

TEST(RtpSession, SurvivesGarbageOnBothPorts) {
  RtpSession s;
  const uint16_t base = CreateOnFreePair(s);
  UdpSocket attacker;
  ASSERT_EQ(attacker.Bind(0, kLoopback), 0);
  const std::vector<std::vector<uint8_t>> junk = {{},
                                                  {0x80},
                                                  {0x40, 77, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9},
                                                  {0x8F, 77, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9},
                                                  {0x80, 201, 0xFF, 0xFF, 0, 0, 0, 9},
                                                  std::vector<uint8_t>(3000, 0xFF)};
  for (const auto& d : junk) {
    attacker.SendTo(d, kLoopback, base);
    attacker.SendTo(d, kLoopback, static_cast<uint16_t>(base + 1));
  }
  ASSERT_TRUE(WaitUntil([&] {
    EXPECT_EQ(s.Poll(), kOk);
    return s.Stats().malformedDropped >= 2 * junk.size();
  }));
  EXPECT_FALSE(s.GotoFirstSourceWithData());
}

}  // namespace
}  // namespace tandem::rtp
