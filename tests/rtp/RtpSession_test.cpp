#include "rtp/RtpSession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "../TestTiming.h"
#include "net/PeerAddress.h"
#include "net/UdpSocket.h"
#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"
#include "net/Srtp.h"

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
  a.SetSenderCheck(true);  // an IPv4 sender reaches a dual-stack socket in mapped form
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
  EXPECT_EQ(a.Stats().refusedSender, 0u);
  // A session whose only partner is on ::1 refuses the same IPv4 sender.
  RtpSession v6Only;
  v6Only.SetSenderCheck(true);
  const uint16_t p6 = CreateOnFreePair(v6Only);
  ASSERT_EQ(v6Only.AddDestination(v6Loopback, pc), kOk);
  ASSERT_EQ(v4.data.SendTo(fromV4, kLoopback, p6), 0);
  EXPECT_TRUE(WaitUntil([&] {
    v6Only.Poll();
    return v6Only.Stats().refusedSender == 1;
  }));
  EXPECT_FALSE(v6Only.GotoFirstSourceWithData());

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

TEST(PeerAddress, SameHostWhateverThePortAndTheFamily) {
  auto v6 = [](const char* text, uint32_t scope = 0) {
    sockaddr_storage s{};
    auto& a = reinterpret_cast<sockaddr_in6&>(s);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(9);
    a.sin6_scope_id = scope;
    EXPECT_EQ(inet_pton(AF_INET6, text, &a.sin6_addr), 1) << text;
    return s;
  };
  const auto v4 = Ipv4SocketAddress(0xC0000207, 2000);  // 192.0.2.7
  EXPECT_TRUE(SameHostAddress(v4, Ipv4SocketAddress(0xC0000207, 41234)));
  EXPECT_FALSE(SameHostAddress(v4, Ipv4SocketAddress(0xC0000208, 2000)));
  // A dual-stack socket reports IPv4 senders as mapped addresses.
  EXPECT_TRUE(SameHostAddress(v4, v6("::ffff:192.0.2.7")));
  EXPECT_TRUE(SameHostAddress(v6("::ffff:192.0.2.7"), v4));
  EXPECT_FALSE(SameHostAddress(v4, v6("::ffff:192.0.2.8")));
  EXPECT_FALSE(SameHostAddress(v6("::1"), Ipv4SocketAddress(0x7F000001, 2000)));
  EXPECT_TRUE(SameHostAddress(v6("2001:db8::1"), v6("2001:db8::1")));
  EXPECT_FALSE(SameHostAddress(v6("2001:db8::1"), v6("2001:db8::2")));
  EXPECT_TRUE(SameHostAddress(v6("fe80::1", 2), v6("fe80::1")));
  EXPECT_FALSE(SameHostAddress(v6("fe80::1", 2), v6("fe80::1", 3)));
  EXPECT_FALSE(SameHostAddress(sockaddr_storage{}, sockaddr_storage{}));
}

TEST(RtpSession, SenderCheckTakesOnlyTheDestinationHostOnAnyPort) {
  RtpSession s;
  const uint16_t base = CreateOnFreePair(s);
  ASSERT_EQ(s.AddDestination(kLoopback, 3000), kOk);
  s.SetSenderCheck(true);
  UdpSocket stranger, partner;
  ASSERT_EQ(stranger.Bind(0, 0x7F000002), 0);
  ASSERT_EQ(partner.Bind(0, kLoopback), 0);  // not port 3000: a NAT may rewrite ports
  std::vector<uint8_t> data, report;
  BuildRtp({false, 77, 1, 1, 0xABC}, std::vector<uint8_t>{0x90, 60, 100, 0}, data);
  AppendRr(report, 0xABC, {});
  auto sendBoth = [&](UdpSocket& from) {
    from.SendTo(data, kLoopback, base);
    from.SendTo(report, kLoopback, static_cast<uint16_t>(base + 1));
  };
  sendBoth(stranger);
  ASSERT_TRUE(WaitUntil([&] {
    s.Poll();
    return s.Stats().refusedSender >= 2;
  }));
  EXPECT_TRUE(s.Sources().empty());
  sendBoth(partner);
  ASSERT_TRUE(WaitUntil([&] {
    s.Poll();
    return s.Stats().rtpReceived == 1 && s.Stats().rtcpReceived == 1;
  }));
  EXPECT_EQ(s.Stats().refusedSender, 2u);
  s.SetSenderCheck(false);
  data[3] = 2;  // the next sequence number
  stranger.SendTo(data, kLoopback, base);
  ASSERT_TRUE(WaitUntil([&] {
    s.Poll();
    return s.Stats().rtpReceived == 2;
  }));
}

// The partner's router answers from other ports than the ones we were told: replies follow its
// data and its reports, each on its own, but only for what its own host sent and (sealed) what
// opened under our key.
TEST(RtpSession, SymmetricRepliesFollowOnlyThePartnersOwnPackets) {
  const SrtpKey key = DeriveSrtpKey("latch", 1000);
  RtpSession s;
  const uint16_t base = CreateOnFreePair(s);
  ASSERT_EQ(s.AddDestination(kLoopback, 3000), kOk);
  s.SetSymmetric(true);
  UdpSocket stranger;
  ASSERT_EQ(stranger.Bind(0, 0x7F000002), 0);
  RawPeer partner;
  uint16_t seq = 1;
  auto sendData = [&](UdpSocket& from) {
    std::vector<uint8_t> d;
    BuildRtp({false, 77, seq++, 1, 0xABC}, std::vector<uint8_t>{0x90, 60, 100, 0}, d);
    from.SendTo(d, kLoopback, base);
  };
  auto sentTo = [&] { return s.Link().sendPort; };

  sendData(stranger);  // another host: taken (no sender check), but moves nothing
  ASSERT_TRUE(WaitUntil([&] { return s.Poll() == kOk && s.Stats().rtpReceived == 1; }));
  EXPECT_EQ(sentTo(), 3000);
  std::vector<uint8_t> report;
  AppendRr(report, 0xABC, {});
  partner.control.SendTo(report, kLoopback, static_cast<uint16_t>(base + 1));
  ASSERT_TRUE(WaitUntil([&] { return s.Poll() == kOk && s.Stats().portMoves == 1; }));
  EXPECT_EQ(sentTo(), 3000);  // the report moved the RTCP port alone
  sendData(partner.data);
  ASSERT_TRUE(WaitUntil([&] { return s.Poll() == kOk && s.Stats().portMoves == 2; }));
  EXPECT_EQ(sentTo(), partner.base);
  const std::vector<uint8_t> chat = {'h', 'i', 0};
  ASSERT_EQ(s.SendPacket(chat.data(), chat.size(), 67, false, 0), kOk);
  EXPECT_FALSE(Receive(partner.data).empty());
  ASSERT_EQ(s.SetRtcpMinimumInterval(0.02), kOk);
  ASSERT_TRUE(WaitUntil([&] { return s.Poll() == kOk && s.Stats().rtcpSent >= 1; }));
  EXPECT_FALSE(Receive(partner.control).empty());

  // Sealed: a packet from the partner's host that does not open moves nothing.
  RtpSession sealed;
  const uint16_t sealedBase = CreateOnFreePair(sealed);
  ASSERT_EQ(sealed.AddDestination(kLoopback, 3000), kOk);
  sealed.SetSymmetric(true);
  ASSERT_EQ(sealed.EnableSrtp(key), kOk);
  const SrtpKey wrong = DeriveSrtpKey("latch!", 1000);
  std::vector<uint8_t> d;
  BuildRtp({false, 77, 1, 1, 0xABC}, std::vector<uint8_t>{0x90, 60, 100, 0}, d);
  std::vector<uint8_t> good = d;
  SrtpContext(wrong, 0xABC).ProtectRtp(d);
  SrtpContext(key, 0xABC).ProtectRtp(good);
  partner.data.SendTo(d, kLoopback, sealedBase);
  ASSERT_TRUE(WaitUntil([&] { return sealed.Poll() == kOk && sealed.Stats().refusedAuth == 1; }));
  EXPECT_EQ(sealed.Link().sendPort, 3000);
  partner.data.SendTo(good, kLoopback, sealedBase);
  ASSERT_TRUE(WaitUntil([&] { return sealed.Poll() == kOk && sealed.Stats().portMoves == 1; }));
  EXPECT_EQ(sealed.Link().sendPort, partner.base);
}

// A's destination is a catcher on the wire, so the test holds what a listener on the path
// sees, and hands it on to partners with the same key, another key, or none.
TEST(RtpSession, ProtectedSessionsOpenOnlyUnderTheSameKeyAndOnlyOnce) {
  const SrtpKey key = DeriveSrtpKey("open sesame", 1000);
  EXPECT_EQ(key, DeriveSrtpKey("open sesame", 1000));
  EXPECT_NE(key, DeriveSrtpKey("open sesamE", 1000));
  RtpSession a, b, plain, other;
  ASSERT_NE(CreateOnFreePair(a), 0);
  const uint16_t pb = CreateOnFreePair(b);
  const uint16_t pPlain = CreateOnFreePair(plain);
  const uint16_t pOther = CreateOnFreePair(other);
  RawPeer wire;
  ASSERT_EQ(a.AddDestination(kLoopback, wire.base), kOk);
  ASSERT_EQ(a.EnableSrtp(key), kOk);
  ASSERT_EQ(b.EnableSrtp(key), kOk);
  ASSERT_EQ(other.EnableSrtp(DeriveSrtpKey("open sesamE", 1000)), kOk);

  const std::vector<uint8_t> chat = {'s', 'e', 'c', 'r', 'e', 't', 0};
  ASSERT_EQ(a.SendPacket(chat.data(), chat.size(), 67, false, 0), kOk);
  const std::vector<uint8_t> sealed = Receive(wire.data);
  ASSERT_EQ(sealed.size(), 12 + chat.size() + kSrtpTagSize);
  EXPECT_EQ(std::search(sealed.begin(), sealed.end(), chat.begin(), chat.begin() + 6),
            sealed.end());

  auto deliver = [&](const std::vector<uint8_t>& d, uint16_t port) {
    wire.data.SendTo(d, kLoopback, port);
  };
  deliver(sealed, pb);
  std::vector<std::unique_ptr<Packet>> got;
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(b)) got.push_back(std::move(p));
    return !got.empty();
  }));
  EXPECT_EQ(got[0]->payload, chat);
  EXPECT_EQ(got[0]->ssrc, a.Ssrc());

  // Once only; not altered; not under another key; and nothing in clear.
  std::vector<uint8_t> altered = sealed;
  altered[13] ^= 1;
  std::vector<uint8_t> clear;
  BuildRtp({false, 67, 9, 1, 0xC1EA}, chat, clear);
  for (const auto& d : {sealed, altered, clear}) deliver(d, pb);
  ASSERT_TRUE(WaitUntil([&] {
    EXPECT_TRUE(PollAll(b).empty());
    return b.Stats().refusedAuth >= 3;
  }));
  EXPECT_EQ(b.Stats().refusedAuth, 3u);
  EXPECT_EQ(b.Stats().rtpReceived, 1u);
  deliver(sealed, pOther);
  ASSERT_TRUE(WaitUntil([&] {
    EXPECT_TRUE(PollAll(other).empty());
    return other.Stats().refusedAuth == 1;
  }));
  // Without a key the header still parses; the payload is the cipher text and the tag.
  deliver(sealed, pPlain);
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(plain)) got.push_back(std::move(p));
    return got.size() == 2;
  }));
  EXPECT_NE(got[1]->payload, chat);

  // Reports are protected too, and open at the partner.
  ASSERT_EQ(a.SetRtcpMinimumInterval(0.02), kOk);
  ASSERT_TRUE(WaitUntil([&] {
    a.Poll();
    return a.Stats().rtcpSent >= 1;
  }));
  const std::vector<uint8_t> report = Receive(wire.control);
  RtcpCompound c;
  EXPECT_NE(ParseRtcp(report, c), RtcpParseError::kOk);
  wire.control.SendTo(report, kLoopback, static_cast<uint16_t>(pb + 1));
  ASSERT_TRUE(WaitUntil([&] {
    b.Poll();
    return b.Stats().rtcpReceived == 1;
  }));
  EXPECT_EQ(b.Stats().refusedAuth, 3u);
}

// RFC 3550 8.2, in a protected session: a partner that drew our SSRC makes us say BYE under it
// and go on under a new one, whose packets open at the partner.
TEST(RtpSession, APartnerWithOurSsrcMakesUsTakeANewOne) {
  const SrtpKey key = DeriveSrtpKey("open sesame", 1000);
  RtpSession a;
  const uint16_t pa = CreateOnFreePair(a);
  RawPeer wire;
  ASSERT_EQ(a.AddDestination(kLoopback, wire.base), kOk);
  ASSERT_EQ(a.EnableSrtp(key), kOk);
  const uint8_t byte = 1;
  ASSERT_EQ(a.SendPacket(&byte, 1, 77, false, 0), kOk);
  Receive(wire.data);
  const uint32_t old = a.Ssrc();

  SrtpContext partner(key, old);
  std::vector<uint8_t> packet;
  BuildRtp({false, 77, 500, 1, old}, std::vector<uint8_t>{0x90, 60, 100, 0}, packet);
  ASSERT_TRUE(partner.ProtectRtp(packet));
  wire.data.SendTo(packet, kLoopback, pa);
  std::vector<std::unique_ptr<Packet>> got;
  ASSERT_TRUE(WaitUntil([&] {
    for (auto& p : PollAll(a)) got.push_back(std::move(p));
    return !got.empty();
  }));
  EXPECT_EQ(a.Stats().ssrcChanges, 1u);
  EXPECT_NE(a.Ssrc(), old);
  EXPECT_EQ(got[0]->ssrc, old);  // the partner's packet, now told apart from ours

  SrtpContext listener(key, 0x1234);
  std::vector<uint8_t> bye = Receive(wire.control);
  auto opened = listener.UnprotectRtcp(bye);
  ASSERT_TRUE(opened);
  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(std::span(bye).first(*opened), c), RtcpParseError::kOk);
  ASSERT_EQ(c.byes.size(), 1u);
  EXPECT_EQ(c.byes[0].ssrcs, std::vector<uint32_t>{old});

  ASSERT_EQ(a.SendPacket(&byte, 1, 77, false, 0), kOk);
  std::vector<uint8_t> next = Receive(wire.data);
  opened = listener.UnprotectRtp(next);
  ASSERT_TRUE(opened);
  RtpView v;
  ASSERT_EQ(ParseRtp(std::span(next).first(*opened), v), RtpParseError::kOk);
  EXPECT_EQ(v.ssrc, a.Ssrc());
}

}  // namespace
}  // namespace tandem::rtp
