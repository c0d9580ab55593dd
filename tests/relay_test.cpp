#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <stdexcept>
#include <thread>

#include "TestTiming.h"
#include "model/StatusTimer.h"
#include "relay/RelayOptions.h"
#include "rtp/RtpSession.h"

namespace tandem::relay {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Datagram n: its number in the first four bytes, then a pattern that depends on n and length.
Bytes Numbered(uint32_t n, size_t length = 40) {
  Bytes bytes(std::max<size_t>(length, 4));
  std::memcpy(bytes.data(), &n, 4);
  for (size_t i = 4; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(n * 31 + i * 7);
  return bytes;
}

uint32_t NumberOf(const Bytes& bytes) {
  uint32_t n = 0;
  std::memcpy(&n, bytes.data(), 4);
  return n;
}

bool Intact(const Bytes& bytes) {
  return bytes.size() >= 4 && bytes == Numbered(NumberOf(bytes), bytes.size());
}

// Feeds `count` datagrams 1 ms apart and collects what leaves, in order.
std::vector<uint32_t> Feed(LinkImpairer& link, uint32_t count, int64_t drainUs = 100'000'000) {
  std::vector<uint32_t> out;
  int64_t now = 0;
  for (uint32_t n = 0; n < count; ++n, now += 1000) {
    link.Arrive(Numbered(n), now);
    for (auto& bytes : link.TakeDue(now)) out.push_back(NumberOf(bytes));
  }
  for (auto& bytes : link.TakeDue(now + drainUs)) out.push_back(NumberOf(bytes));
  return out;
}

TEST(LinkImpairer, ZeroRatesPassEverythingAtOnceInOrder) {
  LinkImpairer link(Impairments{}, 7);
  int64_t now = 0;
  for (uint32_t n = 0; n < 100; ++n, now += 250) {
    link.Arrive(Numbered(n, 4 + n * 13), now);
    auto due = link.TakeDue(now);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(NumberOf(due[0]), n);
    EXPECT_TRUE(Intact(due[0]));
    EXPECT_FALSE(link.NextDueUs());
  }
  const LinkCounters& c = link.Counts();
  EXPECT_EQ(c.received, 100u);
  EXPECT_EQ(c.forwarded, 100u);
  EXPECT_EQ(c.dropped + c.duplicated + c.reordered + c.overflow, 0u);
}

TEST(LinkImpairer, DecisionsDependOnlyOnSeedAndCount) {
  Impairments imp{.loss = 0.2, .duplicate = 0.05, .reorder = 0.1, .delayMs = 3, .jitterMs = 4};
  LinkImpairer a(imp, 42), b(imp, 42), c(imp, 43);
  std::vector<uint32_t> outA = Feed(a, 5000);
  // Feeding the same datagrams at other times changes when they leave but not their fate.
  int64_t now = 0;
  for (uint32_t n = 0; n < 5000; ++n, now += (n % 7) * 3000) b.Arrive(Numbered(n), now);
  b.TakeDue(now + 100'000'000);
  Feed(c, 5000);

  EXPECT_EQ(a.Counts().dropped, b.Counts().dropped);
  EXPECT_EQ(a.Counts().duplicated, b.Counts().duplicated);
  EXPECT_EQ(a.Counts().reordered, b.Counts().reordered);
  EXPECT_EQ(a.Counts().forwarded, b.Counts().forwarded);
  EXPECT_NE(a.Counts().dropped, c.Counts().dropped);

  // The rates are what was asked, within a generous margin.
  EXPECT_NEAR(a.Counts().dropped / 5000.0, 0.2, 0.03);
  EXPECT_NEAR(a.Counts().duplicated / 4000.0, 0.05, 0.02);
  EXPECT_NEAR(a.Counts().reordered / 4000.0, 0.1, 0.02);
  EXPECT_EQ(a.Counts().forwarded, 5000 - a.Counts().dropped + a.Counts().duplicated);
  EXPECT_EQ(outA.size(), a.Counts().forwarded);
  EXPECT_EQ(a.Pending(), 0u);
}

TEST(LinkImpairer, LossAndDuplicationAtTheExtremes) {
  LinkImpairer lose(Impairments{.loss = 1.0}, 1);
  EXPECT_TRUE(Feed(lose, 50).empty());
  EXPECT_EQ(lose.Counts().dropped, 50u);

  LinkImpairer twice(Impairments{.duplicate = 1.0}, 1);
  std::vector<uint32_t> out = Feed(twice, 50);
  ASSERT_EQ(out.size(), 100u);
  for (uint32_t n = 0; n < 50; ++n) {
    EXPECT_EQ(out[2 * n], n);
    EXPECT_EQ(out[2 * n + 1], n);
  }
}

TEST(LinkImpairer, HeldDatagramLeavesBehindTheNextOrAfterTheHoldTime) {
  Impairments imp{.reorder = 0.3, .holdMs = 20};
  LinkImpairer link(imp, 5);
  std::vector<uint32_t> out = Feed(link, 2000);
  // Nothing lost or doubled, but the order changed where datagrams were held back.
  std::vector<uint32_t> sorted = out;
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(sorted.size(), 2000u);
  for (uint32_t n = 0; n < 2000; ++n) ASSERT_EQ(sorted[n], n);
  size_t inversions = 0;
  for (size_t i = 1; i < out.size(); ++i) inversions += out[i - 1] > out[i];
  EXPECT_GT(inversions, 0u);
  EXPECT_LE(inversions, link.Counts().reordered);
  // A held datagram never travels further than one place back.
  for (size_t i = 0; i < out.size(); ++i) EXPECT_LE(std::abs(int(out[i]) - int(i)), 1) << i;

  // A lone held datagram leaves once the hold time is over.
  LinkImpairer lone(Impairments{.reorder = 1.0, .delayMs = 5, .holdMs = 20}, 1);
  lone.Arrive(Numbered(9), 1000);
  ASSERT_TRUE(lone.NextDueUs());
  EXPECT_EQ(*lone.NextDueUs(), 21000);
  EXPECT_TRUE(lone.TakeDue(20999).empty());
  EXPECT_TRUE(lone.TakeDue(25999).empty());  // released at the hold time, then delayed
  auto due = lone.TakeDue(26000);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(NumberOf(due[0]), 9u);

  // A datagram held while the next one is lost still goes out with it.
  LinkImpairer both(Impairments{.reorder = 1.0, .holdMs = 1000}, 1);
  both.Arrive(Numbered(1), 0);
  EXPECT_TRUE(both.TakeDue(0).empty());
  both.Arrive(Numbered(2), 10);  // held too: the first one leaves now
  due = both.TakeDue(10);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(NumberOf(due[0]), 1u);
}

TEST(LinkImpairer, DelayAndJitterStayWithinBounds) {
  Impairments imp{.delayMs = 5, .jitterMs = 10};
  LinkImpairer link(imp, 3);
  int64_t lateMax = 0, lateMin = INT64_MAX;
  for (uint32_t n = 0; n < 500; ++n) {
    const int64_t arrival = n * 100'000;  // far apart: each leaves before the next comes
    link.Arrive(Numbered(n), arrival);
    ASSERT_TRUE(link.NextDueUs());
    const int64_t due = *link.NextDueUs();
    EXPECT_TRUE(link.TakeDue(due - 1).empty());
    ASSERT_EQ(link.TakeDue(due).size(), 1u);
    lateMin = std::min(lateMin, due - arrival);
    lateMax = std::max(lateMax, due - arrival);
  }
  EXPECT_GE(lateMin, 5000);
  EXPECT_LE(lateMax, 15000);
  EXPECT_GT(lateMax - lateMin, 8000);  // the jitter is really spread over its range
}

TEST(LinkImpairer, WaitingDatagramsAreBounded) {
  LinkImpairer link(Impairments{.delayMs = 1000}, 1);
  const size_t extra = 10;
  for (size_t n = 0; n < LinkImpairer::kMaxPending + extra; ++n) link.Arrive(Bytes{1, 2}, 0);
  EXPECT_EQ(link.Pending(), LinkImpairer::kMaxPending);
  EXPECT_EQ(link.Counts().overflow, extra);
  EXPECT_EQ(link.TakeDue(1'000'000).size(), LinkImpairer::kMaxPending);
}

TEST(Impairments, OutOfRangeValuesAreRefused) {
  EXPECT_THROW(Validate(Impairments{.loss = 1.5}), std::invalid_argument);
  EXPECT_THROW(Validate(Impairments{.duplicate = -0.1}), std::invalid_argument);
  EXPECT_THROW(Validate(Impairments{.reorder = std::nan("")}), std::invalid_argument);
  EXPECT_THROW(Validate(Impairments{.delayMs = -1}), std::invalid_argument);
  EXPECT_THROW(Validate(Impairments{.jitterMs = 70000}), std::invalid_argument);
  EXPECT_NO_THROW(Validate(Impairments{.loss = 1.0, .duplicate = 0.0, .reorder = 0.5}));
}

// ---- The relay over real loopback sockets.

class Udp {
 public:
  explicit Udp(uint16_t port = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd_);
      throw std::runtime_error("bind " + std::to_string(port));
    }
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Udp() { close(fd_); }
  uint16_t Port() const { return port_; }

  void SendTo(uint16_t port, const Bytes& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(kLoopback);
    to.sin_port = htons(port);
    ASSERT_EQ(
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(bytes.size()));
  }

  // The next datagram, waiting at most `timeoutMs`; `from` gets the sender's port.
  std::optional<Bytes> Receive(int timeoutMs, uint16_t* from = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buffer(65536);
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    ssize_t got = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                           reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0) return std::nullopt;
    if (from) *from = ntohs(sender.sin_port);
    buffer.resize(static_cast<size_t>(got));
    return buffer;
  }

  std::vector<Bytes> Drain(int timeoutMs) {
    std::vector<Bytes> all;
    while (auto bytes = Receive(timeoutMs)) all.push_back(std::move(*bytes));
    return all;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

using test::WaitFor;

// Sends numbered datagrams through link 0 in small batches, letting the relay keep up so the
// kernel never drops any, and collects what the receiver gets.
std::vector<Bytes> Pump(LossyRelay& relay, Udp& sender, Udp& receiver, uint32_t count,
                        const std::function<size_t(uint32_t)>& length) {
  std::vector<Bytes> got;
  for (uint32_t n = 0; n < count; ++n) {
    sender.SendTo(relay.ListenPort(0), Numbered(n, length(n)));
    if (n % 25 == 24) {
      EXPECT_TRUE(
          WaitFor([&] { return relay.Counters(0).received == n + 1; }, std::chrono::seconds(5)));
      while (auto bytes = receiver.Receive(0)) got.push_back(std::move(*bytes));
    }
  }
  EXPECT_TRUE(
      WaitFor([&] { return relay.Counters(0).received == count; }, std::chrono::seconds(5)));
  for (auto& bytes : receiver.Drain(200)) got.push_back(std::move(bytes));
  return got;
}

TEST(LossyRelay, ZeroRatesForwardEveryDatagramIntactAndInOrder) {
  Udp receiver, sender;
  LossyRelay relay(Impairments{});
  relay.AddLink({0, receiver.Port()});
  relay.Start();
  // Sizes from an empty-ish 4 bytes up to a large datagram.
  auto length = [](uint32_t n) { return n == 7 ? size_t{60000} : size_t{4 + (n * 37) % 1400}; };
  std::vector<Bytes> got = Pump(relay, sender, receiver, 300, length);
  relay.Stop();
  ASSERT_EQ(got.size(), 300u);
  for (uint32_t n = 0; n < 300; ++n) {
    EXPECT_EQ(NumberOf(got[n]), n);
    EXPECT_EQ(got[n].size(), length(n) < 4 ? 4 : length(n));
    EXPECT_TRUE(Intact(got[n])) << n;
  }
  LinkCounters c = relay.Counters(0);
  EXPECT_EQ(c.received, 300u);
  EXPECT_EQ(c.forwarded, 300u);
  EXPECT_EQ(c.dropped + c.duplicated + c.reordered + c.overflow + c.sendErrors, 0u);
}

TEST(LossyRelay, SeededImpairmentsGiveTheSeedsCounts) {
  const Impairments imp{.loss = 0.2,
                        .duplicate = 0.05,
                        .reorder = 0.1,
                        .delayMs = 2,
                        .jitterMs = 2,
                        .holdMs = 5,
                        .seed = 1234};
  const uint32_t count = 1000;
  // What the seed gives the first link, worked out without any socket.
  LinkImpairer expected(imp, LinkSeed(imp.seed, 0));
  Feed(expected, count);

  Udp receiver, sender;
  LossyRelay relay(imp);
  relay.AddLink({0, receiver.Port()});
  relay.Start();
  std::vector<Bytes> got = Pump(relay, sender, receiver, count, [](uint32_t) { return 64; });
  ASSERT_TRUE(WaitFor([&] { return relay.Counters(0).forwarded == expected.Counts().forwarded; },
                      std::chrono::seconds(5)));
  for (auto& bytes : receiver.Drain(100)) got.push_back(std::move(bytes));
  relay.Stop();

  LinkCounters c = relay.Counters(0);
  EXPECT_EQ(c.received, count);
  EXPECT_EQ(c.dropped, expected.Counts().dropped);
  EXPECT_EQ(c.duplicated, expected.Counts().duplicated);
  EXPECT_EQ(c.reordered, expected.Counts().reordered);
  EXPECT_EQ(c.forwarded, expected.Counts().forwarded);
  EXPECT_GT(c.dropped, 0u);
  EXPECT_GT(c.duplicated, 0u);
  EXPECT_GT(c.reordered, 0u);

  ASSERT_EQ(got.size(), c.forwarded);
  std::multiset<uint32_t> numbers;
  for (auto& bytes : got) {
    EXPECT_TRUE(Intact(bytes));
    numbers.insert(NumberOf(bytes));
  }
  EXPECT_EQ(numbers.size() - std::set<uint32_t>(numbers.begin(), numbers.end()).size(),
            c.duplicated);
}

TEST(LossyRelay, JoinsTwoPeersOnDataAndControlPortsBothWays) {
  const uint16_t aBase = FindFreePortPair();
  Udp aData(aBase), aControl(aBase + 1);
  const uint16_t bBase = FindFreePortPair();
  Udp bData(bBase), bControl(bBase + 1);
  LossyRelay relay(Impairments{});
  PeerPorts ports = JoinPeers(relay, {aBase, bBase, 0, 0});
  EXPECT_EQ(ports.relayA % 2, 0);
  EXPECT_EQ(ports.relayB % 2, 0);
  relay.Start();

  struct Case {
    Udp& from;
    uint16_t to;
    Udp& at;
    uint16_t seenFrom;
  };
  // Each peer hears the other from the very port it sends to, as through a router.
  Case cases[] = {{aData, ports.relayA, bData, ports.relayB},
                  {aControl, uint16_t(ports.relayA + 1), bControl, uint16_t(ports.relayB + 1)},
                  {bData, ports.relayB, aData, ports.relayA},
                  {bControl, uint16_t(ports.relayB + 1), aControl, uint16_t(ports.relayA + 1)}};
  uint32_t n = 100;
  for (Case& c : cases) {
    c.from.SendTo(c.to, Numbered(n));
    uint16_t from = 0;
    auto bytes = c.at.Receive(2000, &from);
    ASSERT_TRUE(bytes) << "to port " << c.to;
    EXPECT_EQ(NumberOf(*bytes), n);
    // The peer sees each of its partner's ports as one steady address: data and control differ.
    EXPECT_EQ(from, c.seenFrom);
    ++n;
  }
  relay.Stop();
  EXPECT_EQ(relay.Totals().forwarded, 4u);
}

TEST(LossyRelay, RefusesDestinationsOutsideLoopback) {
  LossyRelay relay(Impairments{});
  EXPECT_THROW(relay.AddLink({0, 4000, 0x0A000001}), std::invalid_argument);    // 10.0.0.1
  EXPECT_THROW(relay.AddLinkPair(0, 4000, 0xC0A80001), std::invalid_argument);  // 192.168.0.1
  EXPECT_THROW(relay.AddLink({0, 4000, 0}), std::invalid_argument);
  EXPECT_THROW(relay.AddLink({0, 0}), std::invalid_argument);
  EXPECT_EQ(relay.LinkCount(), 0u);
  EXPECT_NO_THROW(relay.AddLink({0, 4000, 0x7F000002}));  // all of 127/8 is loopback
}

TEST(LossyRelay, BusyListenPortIsAClearError) {
  Udp busy;
  LossyRelay relay(Impairments{});
  try {
    relay.AddLink({busy.Port(), 4000});
    FAIL() << "bound a busy port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(busy.Port())), std::string::npos);
  }
}

TEST(LossyRelay, StopsPromptlyWithDatagramsStillWaiting) {
  Udp receiver, sender;
  LossyRelay relay(Impairments{.delayMs = 30000});
  relay.AddLink({0, receiver.Port()});
  relay.Start();
  for (uint32_t n = 0; n < 10; ++n) sender.SendTo(relay.ListenPort(0), Numbered(n));
  ASSERT_TRUE(WaitFor([&] { return relay.Counters(0).received == 10; }, std::chrono::seconds(5)));
  const auto start = Clock::now();
  relay.Stop();
  relay.Stop();
  EXPECT_LT(Clock::now() - start, test::Scaled(std::chrono::seconds(5)));  // not the 30 s delay
  EXPECT_EQ(relay.Counters(0).forwarded, 0u);
  EXPECT_FALSE(receiver.Receive(0));
}

// ---- Link figures of two RTP sessions joined through the relay.

// Two sessions on free loopback ports that report often, each sending a packet every 2 ms.
class SessionPair {
 public:
  SessionPair() {
    for (rtp::RtpSession* s : {&a, &b}) {
      s->SetRtcpMinimumInterval(0.3);
      uint16_t port = 0;
      for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        port = FindFreePortPair();
        if (s->Create(port) != rtp::kOk) port = 0;
      }
      if (port == 0) throw std::runtime_error("no free port pair for a session");
      s->SetTimestampUnit(0.001);
      (s == &a ? aPort : bPort) = port;
    }
  }

  // Sends and polls until `done` holds (true) or the scaled limit passes (false). Arrivals are
  // read the moment they come, so the round trip holds no waiting of ours.
  bool Run(const std::function<bool()>& done, std::chrono::seconds limit, bool aSends = true) {
    const auto deadline = Clock::now() + test::Scaled(limit);
    auto lastSend = Clock::now();
    auto lastStamp = lastSend;
    const std::vector<uint8_t> note = {0x90, 60, 100, 0};
    while (Clock::now() < deadline) {
      const auto now = Clock::now();
      if (now - lastSend >= std::chrono::milliseconds(2)) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastStamp);
        lastStamp += ms;
        for (rtp::RtpSession* s : {&a, &b})
          s->IncrementTimestamp(static_cast<uint32_t>(ms.count()));
        if (aSends) a.SendPacket(note.data(), note.size(), 77, false, 0);
        b.SendPacket(note.data(), note.size(), 77, false, 0);
        lastSend = now;
      }
      for (rtp::RtpSession* s : {&a, &b}) {
        s->Poll();
        for (bool more = s->GotoFirstSourceWithData(); more; more = s->GotoNextSourceWithData()) {
          while (s->GetNextPacket()) {
          }
        }
      }
      if (done()) return true;
      pollfd fds[] = {{a.DataFd(), POLLIN, 0},
                      {a.ControlFd(), POLLIN, 0},
                      {b.DataFd(), POLLIN, 0},
                      {b.ControlFd(), POLLIN, 0}};
      poll(fds, 4, 1);
    }
    return done();
  }

  rtp::RtpSession a, b;
  uint16_t aPort = 0, bPort = 0;
};

TEST(LinkFigures, RoundTripThroughTheRelayIsBothDelays) {
  SessionPair peers;
  LossyRelay relay(Impairments{.delayMs = 20});
  const PeerPorts ports = JoinPeers(relay, {peers.aPort, peers.bPort, 0, 0});
  ASSERT_EQ(peers.a.AddDestination(kLoopback, ports.relayA), rtp::kOk);
  ASSERT_EQ(peers.b.AddDestination(kLoopback, ports.relayB), rtp::kOk);
  relay.Start();
  EXPECT_EQ(LinkLine(peers.a.Link()), "---");  // before any report

  // Load on the machine only ever adds to a round trip, so the shortest of a few is the one
  // the link itself gives.
  std::vector<double> rtts[2];
  uint64_t seen[2] = {0, 0};
  ASSERT_TRUE(peers.Run(
      [&] {
        int i = 0;
        for (rtp::RtpSession* s : {&peers.a, &peers.b}) {
          const rtp::LinkFigures f = s->Link();
          if (f.haveRtt && f.reportBlocks != seen[i]) rtts[i].push_back(f.rttMs);
          seen[i++] = f.reportBlocks;
        }
        return rtts[0].size() >= 4 && rtts[1].size() >= 4;
      },
      std::chrono::seconds(20)));
  for (auto& samples : rtts) {
    EXPECT_NEAR(*std::min_element(samples.begin(), samples.end()), 40.0, 3.0);
  }
  const std::string line = LinkLine(peers.a.Link());
  EXPECT_EQ(line.rfind("RTT ", 0), 0u) << line;
  EXPECT_NE(line.find(" ms · lost "), std::string::npos) << line;
  EXPECT_NE(line.find(" | in: lost "), std::string::npos) << line;
  EXPECT_EQ(peers.a.Stats().reportFiguresRefused + peers.b.Stats().reportFiguresRefused, 0u);
}

TEST(LinkFigures, LossOneWayShowsOnTheSideThatSendsIntoIt) {
  SessionPair peers;
  LossyRelay lossy(Impairments{.loss = 0.1, .seed = 5});
  LossyRelay clean(Impairments{});
  ASSERT_EQ(peers.a.AddDestination(kLoopback, lossy.AddLinkPair(0, peers.bPort)), rtp::kOk);
  ASSERT_EQ(peers.b.AddDestination(kLoopback, clean.AddLinkPair(0, peers.aPort)), rtp::kOk);
  lossy.Start();
  clean.Start();

  // Each report about a's packets: the share lost since the previous one, and the share lost of
  // all a sent so far (what is in flight is a packet or two of thousands).
  std::vector<double> fractions;
  double cumulativeShare = 0;
  uint64_t seen = 0;
  ASSERT_TRUE(peers.Run(
      [&] {
        const rtp::LinkFigures f = peers.a.Link();
        if (f.reportBlocks != seen) {
          seen = f.reportBlocks;
          fractions.push_back(f.sentFractionLost);
          cumulativeShare = static_cast<double>(f.sentCumulativeLost) /
                            static_cast<double>(peers.a.Stats().rtpSent);
        }
        return peers.a.Stats().rtpSent >= 2000 && fractions.size() >= 6;
      },
      std::chrono::seconds(30)));
  double mean = 0;
  for (double f : fractions) mean += f / static_cast<double>(fractions.size());
  EXPECT_NEAR(100 * mean, 10.0, 3.0);
  EXPECT_NEAR(100 * cumulativeShare, 10.0, 3.0);
  // b counts the same loss of what it receives; nothing is lost the other way.
  const rtp::LinkFigures atB = peers.b.Link();
  ASSERT_TRUE(atB.haveReceived && atB.haveReport);
  EXPECT_NEAR(100.0 * static_cast<double>(atB.receivedCumulativeLost) /
                  static_cast<double>(peers.a.Stats().rtpSent),
              10.0, 3.0);
  EXPECT_EQ(atB.sentCumulativeLost, 0);
  EXPECT_EQ(peers.a.Link().receivedCumulativeLost, 0);
}

// The handshake of a protected session survives 20 % loss each way on a 40 ms round trip. A
// handful of seeds, each a different pattern of loss; the figures go to the log.
TEST(LinkFigures, HandshakeConnectsThroughLossAndDelay) {
  const rtp::SrtpKey psk = rtp::DeriveSrtpKey("open sesame", 1000);
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE(seed);
    SessionPair peers;
    LossyRelay relay(Impairments{.loss = 0.2, .delayMs = 20, .seed = seed});
    const PeerPorts ports = JoinPeers(relay, {peers.aPort, peers.bPort, 0, 0});
    ASSERT_EQ(peers.a.AddDestination(kLoopback, ports.relayA), rtp::kOk);
    ASSERT_EQ(peers.b.AddDestination(kLoopback, ports.relayB), rtp::kOk);
    relay.Start();
    const auto start = Clock::now();
    for (rtp::RtpSession* s : {&peers.a, &peers.b}) {
      ASSERT_EQ(s->EnableDtls({std::vector<uint8_t>(psk.begin(), psk.end()), nullptr, {}}),
                rtp::kOk);
    }
    ASSERT_TRUE(peers.Run([&] { return peers.a.Security().keyed && peers.b.Security().keyed; },
                          std::chrono::seconds(3)));
    std::printf("seed %llu: connected after %.0f ms\n", static_cast<unsigned long long>(seed),
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    // Packets flow once keyed: the partner's notes get through the loss.
    ASSERT_TRUE(
        peers.Run([&] { return peers.b.Stats().rtpReceived >= 20; }, std::chrono::seconds(5)));
    EXPECT_EQ(peers.b.Stats().refusedAuth, 0u);
  }
}

// A partner that starts a new session (new process, same port) is answered with a new
// handshake while ours is up: new keys on both sides, and its packets play again.
TEST(LinkFigures, PartnerRestartGetsANewHandshake) {
  const rtp::SrtpKey psk = rtp::DeriveSrtpKey("open sesame", 1000);
  const net::DtlsConfig config{std::vector<uint8_t>(psk.begin(), psk.end()), nullptr, {}};
  SessionPair peers;
  ASSERT_EQ(peers.a.AddDestination(kLoopback, peers.bPort), rtp::kOk);
  ASSERT_EQ(peers.b.AddDestination(kLoopback, peers.aPort), rtp::kOk);
  for (rtp::RtpSession* s : {&peers.a, &peers.b}) ASSERT_EQ(s->EnableDtls(config), rtp::kOk);
  ASSERT_TRUE(
      peers.Run([&] { return peers.a.Stats().rtpReceived >= 20; }, std::chrono::seconds(10)));

  peers.b.Destroy();
  ASSERT_EQ(peers.b.Create(peers.bPort), rtp::kOk);
  peers.b.SetTimestampUnit(0.001);
  ASSERT_EQ(peers.b.AddDestination(kLoopback, peers.aPort), rtp::kOk);
  ASSERT_EQ(peers.b.EnableDtls(config), rtp::kOk);
  const uint64_t before = peers.a.Stats().rtpReceived;
  ASSERT_TRUE(peers.Run(
      [&] { return peers.b.Security().keyed && peers.a.Stats().rtpReceived >= before + 20; },
      std::chrono::seconds(10)));
  EXPECT_EQ(peers.a.Security().handshakes, 2u);
  EXPECT_EQ(peers.a.Security().stats.handshakesFailed, 0u);
}

TEST(RelayOptions, ParsesTheCommandLine) {
  RelayOptions o =
      ParseRelayOptions({"--a-port", "2000", "--b-port", "3000", "--relay-a", "4000", "--relay-b",
                         "5000", "--loss", "0.2", "--dup", "0.05", "--reorder=0.1", "--delay-ms",
                         "5", "--jitter-ms", "5", "--seed", "18446744073709551615"});
  EXPECT_EQ(o.ports.aPort, 2000);
  EXPECT_EQ(o.ports.bPort, 3000);
  EXPECT_EQ(o.ports.relayA, 4000);
  EXPECT_EQ(o.ports.relayB, 5000);
  EXPECT_DOUBLE_EQ(o.impairments.loss, 0.2);
  EXPECT_DOUBLE_EQ(o.impairments.duplicate, 0.05);
  EXPECT_DOUBLE_EQ(o.impairments.reorder, 0.1);
  EXPECT_EQ(o.impairments.delayMs, 5);
  EXPECT_EQ(o.impairments.jitterMs, 5);
  EXPECT_EQ(o.impairments.seed, 18446744073709551615ull);
  EXPECT_TRUE(ParseRelayOptions({"--help"}).help);
  EXPECT_FALSE(o.ipv6);
  EXPECT_TRUE(ParseRelayOptions({"--ipv6", "--a-port", "2000", "--b-port", "3000"}).ipv6);
}

TEST(RelayOptions, BadArgumentsAreExplained) {
  auto message = [](std::vector<std::string> args) {
    try {
      ParseRelayOptions(args);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  const std::vector<std::string> ports = {"--a-port", "2000", "--b-port", "3000"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), ports.begin(), ports.end());
    return more;
  };
  EXPECT_NE(message(with({"--loss", "1.5"})).find("--loss"), std::string::npos);
  EXPECT_NE(message(with({"--loss", "0.2x"})).find("0.2x"), std::string::npos);
  EXPECT_NE(message(with({"--dup", "nan"})).find("--dup"), std::string::npos);
  EXPECT_NE(message(with({"--relay-a", "70000"})).find("--relay-a"), std::string::npos);
  EXPECT_NE(message(with({"--relay-a", "65535"})).find("--relay-a"), std::string::npos);
  EXPECT_NE(message(with({"--delay-ms", "-5"})).find("--delay-ms"), std::string::npos);
  EXPECT_NE(message(with({"--seed", "99999999999999999999"})).find("--seed"), std::string::npos);
  EXPECT_NE(message(with({"--jitter-ms"})).find("needs a value"), std::string::npos);
  EXPECT_NE(message(with({"--frobnicate", "1"})).find("--frobnicate"), std::string::npos);
  EXPECT_NE(message({"--a-port", "2000"}).find("required"), std::string::npos);
  EXPECT_NE(message({"--a-port", "0", "--b-port", "3000"}).find("--a-port"), std::string::npos);
}

}  // namespace
}  // namespace tandem::relay
