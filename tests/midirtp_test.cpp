#include "transport/MidiRtp.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "LoopbackPorts.h"
#include "app/Application.h"
#include "model/StatusTimer.h"
#include "net/HostAddress.h"

namespace tandem {
namespace {

struct SentPacket {
  uint8_t type;
  std::vector<uint8_t> bytes;
};

// Stands in for the network: records what the thread asks of the session, and hands out the
// packets a test queues per source.
struct FakeNet {
  int createResult = 0;
  int pollResult = 0;
  std::deque<int> sendResults;  // consumed per send; 0 once empty
  std::vector<uint16_t> created;
  std::vector<std::pair<uint32_t, uint16_t>> destinations;  // IPv4 ones
  std::vector<std::pair<IpAddress, uint16_t>> addresses;    // of either family
  rtp::LinkFigures link;
  std::vector<uint32_t> increments;
  std::vector<SentPacket> sent;
  int destroyed = 0;
  std::map<uint32_t, std::deque<rtp::Packet>> incoming;
  std::vector<double> sourceUnits;
  int64_t rtcpMs = -1;  // ms until the next report; -1: none
  int securityResult = 0;
  std::optional<bool> senderCheck;
  std::optional<rtp::SrtpKey> key;
  rtp::SessionStats stats;
  rtp::SecurityStatus security;

  void Queue(uint32_t ssrc, uint8_t type, std::vector<uint8_t> payload, uint32_t seq,
             uint32_t ts = 1000, int64_t arrival = 0) {
    rtp::Packet p;
    p.arrival = arrival;
    p.ssrc = ssrc;
    p.payloadType = type;
    p.payload = std::move(payload);
    p.extendedSequence = seq;
    p.sequence = static_cast<uint16_t>(seq);
    p.timestamp = ts;
    incoming[ssrc].push_back(std::move(p));
  }
};

class FakeLink : public RtpLink {
 public:
  explicit FakeLink(FakeNet& net) : net_(net) {}
  int Create(uint16_t port) override {
    net_.created.push_back(port);
    return net_.createResult;
  }
  int Destroy() override {
    ++net_.destroyed;
    return 0;
  }
  int SetTimestampUnit(double) override { return 0; }
  int AddDestination(uint32_t ip, uint16_t port) override {
    net_.destinations.push_back({ip, port});
    return 0;
  }
  int AddDestinationAddress(const IpAddress& address, uint16_t port) override {
    net_.addresses.push_back({address, port});
    if (address.IsV4()) net_.destinations.push_back({address.V4HostOrder(), port});
    return 0;
  }
  rtp::LinkFigures Link() const override { return net_.link; }
  int IncrementTimestamp(uint32_t units) override {
    net_.increments.push_back(units);
    return 0;
  }
  int SendPacket(const uint8_t* payload, size_t length, uint8_t type, bool marker,
                 uint32_t inc) override {
    EXPECT_FALSE(marker);
    EXPECT_EQ(inc, 0u);
    int r = 0;
    if (!net_.sendResults.empty()) {
      r = net_.sendResults.front();
      net_.sendResults.pop_front();
    }
    net_.sent.push_back({type, {payload, payload + length}});
    return r;
  }
  int Poll() override { return net_.pollResult; }
  int64_t MillisUntilRtcp() const override { return net_.rtcpMs; }
  rtp::SessionStats Stats() const override { return net_.stats; }
  rtp::SecurityStatus Security() const override { return net_.security; }
  int SetSecurity(bool senderCheck, const std::optional<rtp::SrtpKey>& key) override {
    net_.senderCheck = senderCheck;
    net_.key = key;
    return net_.securityResult;
  }
  bool GotoFirstSourceWithData() override {
    current_ = net_.incoming.begin();
    return Settle();
  }
  bool GotoNextSourceWithData() override {
    if (current_ != net_.incoming.end()) ++current_;
    return Settle();
  }
  int SetCurrentSourceTimestampUnit(double seconds) override {
    net_.sourceUnits.push_back(seconds);
    return 0;
  }
  std::unique_ptr<rtp::Packet> GetNextPacket() override {
    if (current_ == net_.incoming.end() || current_->second.empty()) return nullptr;
    auto p = std::make_unique<rtp::Packet>(std::move(current_->second.front()));
    current_->second.pop_front();
    return p;
  }

 private:
  bool Settle() {
    while (current_ != net_.incoming.end() && current_->second.empty()) ++current_;
    return current_ != net_.incoming.end();
  }
  FakeNet& net_;
  std::map<uint32_t, std::deque<rtp::Packet>>::iterator current_;
};

class MidiRtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form_.RtpActive.store(true);
    rtp_ = std::make_unique<MidiRTP>(
        form_, std::make_unique<FakeLink>(net_), [this] { return now_; },
        [this] { return int64_t{now_} * 1000 + extraUs_; });
  }

  bool SetUpSession() { return rtp_->Setup(now_); }
  void Step(int32_t ms = 10) {
    now_ += ms;
    ASSERT_TRUE(rtp_->Pass(now_));
  }
  void Queue(RecordPtr r) { form_.SendQueue.Add(std::move(r)); }
  RecordPtr Midi(int status, int note, int velocity = 90) {
    auto r = MakeRecord(EventMidi);
    r->status = status;
    r->note = note;
    r->velocity = velocity;
    return r;
  }

  TFormCtl form_;
  FakeNet net_;
  int32_t now_ = 500000;
  int64_t extraUs_ = 0;  // the microsecond clock's lead over the 10 ms one
  std::unique_ptr<MidiRTP> rtp_;
};

TEST_F(MidiRtpTest, SetupCreatesTheSessionFromTheSettings) {
  form_.EditPortLocal.SetText("4000");
  form_.EditPortDistant.SetText("5002");
  form_.EditDestIp.SetText("127.0.0.2");
  ASSERT_TRUE(SetUpSession());
  EXPECT_EQ(form_.EditStatutConnect.Text(), "RTP Initialisé");
  EXPECT_EQ(net_.created, std::vector<uint16_t>{4000});
  ASSERT_EQ(net_.destinations.size(), 1u);
  EXPECT_EQ(net_.destinations[0].first, 0x7F000002u);
  EXPECT_EQ(net_.destinations[0].second, 5002);
  // The host name, then the machine's addresses.
  auto lines = form_.MemoIpAddr.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Local IP information");
  EXPECT_EQ(lines[1], HostName());
  EXPECT_EQ(lines.back(), "127.0.0.1");  // loopback comes last
  // After set-up the status stays until the first send.
  Step();
  EXPECT_EQ(form_.EditStatutConnect.Text(), "RTP Initialisé");
  EXPECT_EQ(form_.EditNbrRec.Text(), "0");
}

TEST_F(MidiRtpTest, SetupFailures) {
  struct Case {
    const char* local;
    const char* dest;
    const char* destPort;
    int createResult;
    const char* status;
    bool creates;
  };
  for (auto c : std::vector<Case>{
           {"2001", "127.0.0.1", "3000", rtp::kErrOddPort, "Erreur RTP", true},
           {"2000", "127.0.0.1", "3000", rtp::kErrBind, "Erreur RTP", true},
           {"20x0", "127.0.0.1", "3000", 0, "Erreur RTP", false},
           {"70000", "127.0.0.1", "3000", 0, "Erreur RTP", false},
           {"2000", "127.0.0.1", "", 0, "Erreur RTP", false},
           {"2000", "999.1.2.3", "3000", 0, "Bad IP address specified", false},
           {"2000", "no such host!", "3000", 0, "Bad IP address specified", false},
           {"2000", "255.255.255.255", "3000", 0, "Bad IP address specified", false},
           {"2000", "0.0.0.0", "3000", 0, "Bad IP address specified", false},
           {"odd", "", "3000", 0, "Bad IP address specified", false},
           {"2000", "::", "3000", 0, "Bad IP address specified", false},
           {"2000", "ff02::1", "3000", 0, "Bad IP address specified", false},
           {"2000", "::ffff:255.255.255.255", "3000", 0, "Bad IP address specified", false},
           {"2000", "1::2::3", "3000", 0, "Bad IP address specified", false},
           {"2000", "[::1", "3000", 0, "Bad IP address specified", false},
       }) {
    TFormCtl form;
    FakeNet net;
    net.createResult = c.createResult;
    form.EditPortLocal.SetText(c.local);
    form.EditDestIp.SetText(c.dest);
    form.EditPortDistant.SetText(c.destPort);
    MidiRTP rtp(form, std::make_unique<FakeLink>(net));
    EXPECT_FALSE(rtp.Setup(0)) << c.local << " " << c.dest;
    EXPECT_EQ(form.EditStatutConnect.Text(), c.status) << c.local << " " << c.dest;
    EXPECT_EQ(!net.created.empty(), c.creates) << c.local << " " << c.dest;
    EXPECT_TRUE(net.sent.empty());
  }
}

// Until the handshake is done nothing is sent: what is played waits, and goes out once it is,
// but a note that waited longer than 2 s is dropped and counted, since it is too late to play.
TEST_F(MidiRtpTest, WhatIsPlayedDuringTheHandshakeWaitsForItAndStaleNotesAreDropped) {
  net_.security.dtls = true;
  ASSERT_TRUE(SetUpSession());
  EXPECT_EQ(form_.EditSecurity.Text(), "passphrase · handshake…");
  Queue(Midi(144, 60));  // played now
  Step();
  Step(1000);
  auto chat = MakeRecord(EventChat);
  std::strcpy(chat->text.data(), "hi");
  Queue(std::move(chat));
  Queue(Midi(128, 60));  // played 1 s later
  Step(1000);
  EXPECT_TRUE(net_.sent.empty());
  EXPECT_EQ(rtp_->DroppedCount(), 0u);
  Step(100);  // the first note has waited 2.1 s
  EXPECT_EQ(rtp_->DroppedCount(), 1u);
  EXPECT_EQ(form_.EditNbrDropped.Text(), "1");
  EXPECT_TRUE(net_.sent.empty());

  net_.security.keyed = true;
  for (int i = 0; i < 3; ++i) Step(1);
  ASSERT_EQ(net_.sent.size(), 2u);
  EXPECT_EQ(net_.sent[0].type, PacketChat);
  EXPECT_EQ(net_.sent[1].bytes[0], 128);
  EXPECT_EQ(form_.EditSecurity.Text(), "passphrase · handshake done");

  // A failed handshake is said as such until one succeeds.
  net_.security = {};
  net_.security.dtls = true;
  net_.security.lastFailure = net::DtlsFailure::Authentication;
  net_.security.stats.handshakesFailed = 2;
  net_.security.stats.handshakesRefused = 1;  // the other got no answer
  net_.security.stats.datagramsRefused = 3;   // the refused one read three: each counts
  Step();
  EXPECT_EQ(form_.EditSecurity.Text(), "passphrase · handshake failed (passphrase mismatch?)");
  EXPECT_EQ(form_.EditStatutReceive.Text(), "passphrase mismatch?");
  EXPECT_EQ(form_.EditNbrRefused.Text(), "3");
}

// The address check is on unless "Accept any"; a passphrase always means a protected session,
// and a session that cannot be protected does not start in clear.
TEST_F(MidiRtpTest, SecurityFollowsTheSettingsAndNeverFallsBackToClear) {
  ASSERT_TRUE(SetUpSession());
  EXPECT_EQ(net_.senderCheck, true);
  EXPECT_FALSE(net_.key);

  form_.CheckBoxAcceptAny.SetChecked(true);
  form_.EditPassphrase.SetText("open sesame");
  ASSERT_TRUE(SetUpSession());
  EXPECT_EQ(net_.senderCheck, false);
  EXPECT_EQ(net_.key, rtp::DeriveSrtpKey("open sesame"));

  net_.securityResult = rtp::kErrSrtp;
  Queue(Midi(144, 60));
  EXPECT_FALSE(SetUpSession());
  EXPECT_EQ(form_.EditStatutConnect.Text(), "Erreur RTP");
  EXPECT_EQ(form_.EditStatutReceive.Text(), "erreur SRTP");
  EXPECT_TRUE(net_.sent.empty());
}

// What a partner with a passphrase sends looks, to a peer without one, like our packets with an
// SRTP tag more. Refused, counted, and said; a partner's packet that opens quiets the status.
TEST_F(MidiRtpTest, PacketsWeCannotOpenAreRefusedAndTheStatusSaysWhy) {
  ASSERT_TRUE(SetUpSession());
  for (size_t k = 0; k < 128; ++k) form_.KeysSent[k].store(0);
  net_.Queue(7, 77, std::vector<uint8_t>(4 + rtp::kSrtpTagSize, 0x40), 1);
  net_.Queue(7, 88, std::vector<uint8_t>(36 + rtp::kSrtpTagSize, 0xFF), 2);
  net_.Queue(7, 67, std::vector<uint8_t>(100 + rtp::kSrtpTagSize, 'x'), 3);
  net_.Queue(7, 66, std::vector<uint8_t>(2 + rtp::kSrtpTagSize, 0xFF), 4);
  net_.stats.rtpReceived = 4;
  net_.stats.refusedSender = 5;
  Step();
  EXPECT_EQ(rtp_->RefusedCount(), 9u);
  EXPECT_EQ(form_.EditNbrRefused.Text(), "9");
  EXPECT_EQ(form_.EditStatutReceive.Text(), "passphrase mismatch?");
  EXPECT_EQ(rtp_->ReceivedCount(), 0);
  EXPECT_EQ(form_.ReceiveQueue.Count(), 0);
  EXPECT_EQ(form_.Dropped(), 0u);
  for (size_t k = 0; k < 128; ++k) EXPECT_EQ(form_.KeysSent[k].load(), 0);

  // The partner's own packets open: refusals that follow within a moment are someone else's.
  form_.EditStatutReceive.SetText("----");
  net_.Queue(7, 77, {144, 60, 90, 0}, 5);
  net_.stats.rtpReceived = 5;
  Step();
  EXPECT_EQ(rtp_->ReceivedCount(), 1);
  net_.stats.refusedAuth = 1;
  Step();
  EXPECT_EQ(form_.EditNbrRefused.Text(), "10");
  EXPECT_EQ(form_.EditStatutReceive.Text(), "----");
  // Only refusals for longer than that: the partner's passphrase changed.
  net_.stats.refusedAuth = 2;
  Step(MidiRTP::kMismatchQuietMs + 10);
  EXPECT_EQ(form_.EditStatutReceive.Text(), "passphrase mismatch?");
  // A new session counts afresh.
  ASSERT_TRUE(SetUpSession());
  EXPECT_EQ(form_.EditNbrRefused.Text(), "0");
}

TEST_F(MidiRtpTest, HostNamesResolve) {
  form_.EditDestIp.SetText("localhost");
  ASSERT_TRUE(SetUpSession());
  // The resolver's preferred family for the name.
  const IpAddress loopback = net_.addresses.at(0).first;
  EXPECT_TRUE(loopback == IpAddress::V4(0x7F000001) || loopback == *ParseIpAddress("::1"))
      << ToString(loopback);
}

TEST_F(MidiRtpTest, Ipv6DestinationsAndTheLinkFigures) {
  for (const char* text : {"::1", "2001:db8::5", "[2001:db8::5]", "::ffff:127.0.0.2"}) {
    form_.EditDestIp.SetText(text);
    ASSERT_TRUE(SetUpSession()) << text;
    EXPECT_EQ(form_.EditStatutConnect.Text(), "RTP Initialisé");
  }
  ASSERT_EQ(net_.addresses.size(), 4u);
  EXPECT_EQ(ToString(net_.addresses[0].first), "::1");
  EXPECT_EQ(ToString(net_.addresses[1].first), "2001:db8::5");
  EXPECT_EQ(net_.addresses[2].first, net_.addresses[1].first);
  EXPECT_EQ(net_.addresses[3].first, IpAddress::V4(0x7F000002));  // a mapped address is IPv4

  // What the session measures reaches the window; a new session starts from "---".
  net_.link.haveReport = net_.link.haveRtt = true;
  net_.link.rttMs = 40.04;
  net_.link.sentFractionLost = 0.1;
  net_.link.sentJitterMs = 0.26;
  Step();
  ShowLink(form_);
  EXPECT_EQ(form_.EditLink.Text(), "RTT 40.0 ms · lost 10.0 % · jitter 0.3 ms");
  Step();
  form_.EditDestIp.SetText("::");  // a set-up that fails clears them too
  EXPECT_FALSE(SetUpSession());
  ShowLink(form_);
  EXPECT_EQ(form_.EditLink.Text(), "---");
}

TEST_F(MidiRtpTest, FailedSetupEndsTheThread) {
  net_.createResult = rtp::kErrBind;
  rtp_->Start();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (rtp_->Alive() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(rtp_->Alive());
  EXPECT_EQ(form_.EditStatutConnect.Text(), "Erreur RTP");
}

TEST_F(MidiRtpTest, SendsEachKindAsItsPacket) {
  ASSERT_TRUE(SetUpSession());
  Queue(Midi(144, 60));
  auto refresh = MakeRecord(EventKeyRefresh);
  Queue(std::move(refresh));
  auto chat = MakeRecord(EventChat);
  std::copy_n("hi", 2, chat->text.begin());
  Queue(std::move(chat));
  auto buffer = MakeRecord(EventBuffer);
  buffer->bufferMs = 70000;
  Queue(std::move(buffer));
  Queue(MakeRecord(EventMidiBare));  // not sendable: removed, counted, nothing sent
  for (int i = 0; i < 5; ++i) Step();
  form_.SetRetransmission(RetransInMsg);
  Queue(Midi(128, 60));
  Step();

  ASSERT_EQ(net_.sent.size(), 5u);
  EXPECT_EQ(net_.sent[0].type, 77);
  EXPECT_EQ(net_.sent[0].bytes, (std::vector<uint8_t>{144, 60, 90, 0}));
  EXPECT_EQ(net_.sent[1].type, 83);
  EXPECT_EQ(net_.sent[1].bytes.size(), 36u);
  EXPECT_EQ(net_.sent[1].bytes[4 + 7], 0x10);  // key 60 is on in the snapshot
  EXPECT_EQ(net_.sent[2].type, 67);
  EXPECT_EQ(net_.sent[2].bytes.size(), 100u);
  EXPECT_EQ(net_.sent[3].type, 66);
  EXPECT_EQ(net_.sent[3].bytes, (std::vector<uint8_t>{0xFF, 0xFF}));  // 70000 held at 65535
  EXPECT_EQ(net_.sent[4].type, 88);
  EXPECT_EQ(net_.sent[4].bytes.size(), 36u);
  EXPECT_EQ(net_.sent[4].bytes[4 + 7], 0);
  EXPECT_EQ(rtp_->SentCount(), 6);
  EXPECT_EQ(form_.EditNbrSend.Text(), "6");
  EXPECT_EQ(form_.EditStatutConnect.Text(), "envoi correct");
  EXPECT_EQ(form_.SendQueue.Count(), 0);
}

TEST_F(MidiRtpTest, NoteOffWithoutSnapshotStillUpdatesTheTable) {
  ASSERT_TRUE(SetUpSession());
  Queue(Midi(144, 50));
  Queue(Midi(128, 50));
  Queue(MakeRecord(EventKeyRefresh));
  for (int i = 0; i < 3; ++i) Step(500);
  ASSERT_EQ(net_.sent.size(), 3u);
  EXPECT_EQ(net_.sent[2].bytes[4 + 6], 0);         // key 50 silent
  EXPECT_EQ(net_.sent[2].bytes[20 + 6], 1u << 2);  // and changed 500 ms ago
}

TEST_F(MidiRtpTest, FailedSendIsRetriedWithTheSameRecord) {
  ASSERT_TRUE(SetUpSession());
  Queue(Midi(144, 60));
  EventRecord* head = form_.SendQueue.Get(0);
  net_.sendResults = {rtp::kErrSend, rtp::kErrSend};
  Step(10);
  EXPECT_EQ(form_.EditStatutConnect.Text(), "erreur a l'envoi");
  EXPECT_EQ(form_.SendQueue.Get(0), head);
  Step(30);
  Step(20);
  EXPECT_EQ(form_.EditStatutConnect.Text(), "envoi correct");
  EXPECT_EQ(form_.SendQueue.Count(), 0);
  // Three attempts of the same event; the first advances by 0, each retry by the time since
  // the first attempt, as nothing has been sent successfully yet.
  ASSERT_EQ(net_.sent.size(), 3u);
  EXPECT_EQ(net_.sent[0].bytes, net_.sent[2].bytes);
  EXPECT_EQ(net_.increments, (std::vector<uint32_t>{0, 30, 50}));
  EXPECT_EQ(rtp_->SentCount(), 1);

  // The next send advances by the time since that success.
  Queue(Midi(128, 60));
  Step(250);
  EXPECT_EQ(net_.increments.back(), 250u);
  EXPECT_EQ(form_.EditNbrSend.Text(), "2");

  // The timeline runs on whole milliseconds, finer than the 10 ms clock.
  extraUs_ = 3'400;
  Queue(Midi(144, 61));
  Step(0);
  EXPECT_EQ(net_.increments.back(), 3u);
  extraUs_ = 4'100;
  Queue(Midi(128, 61));
  Step(0);
  EXPECT_EQ(net_.increments.back(), 1u);
  // A captured event counts from the moment it was played, not from when it leaves.
  auto captured = Midi(144, 62);
  captured->arrivalUs = int64_t{now_} * 1000 + 6'600;
  extraUs_ = 9'000;
  Queue(std::move(captured));
  Queue(MakeRecord(EventKeyRefresh));
  Step(0);
  Step(0);
  EXPECT_EQ(net_.increments, (std::vector<uint32_t>{0, 30, 50, 250, 3, 1, 2, 3}));
}

TEST_F(MidiRtpTest, ThePassSaysWhenItHasWorkNext) {
  ASSERT_TRUE(SetUpSession());
  Step(1000);
  EXPECT_EQ(rtp_->NextWait(), 2001) << "the bandwidth figure, once 3000 ms have passed";
  net_.rtcpMs = 700;
  Step();
  EXPECT_EQ(rtp_->NextWait(), 700) << "an RTCP report that comes sooner";
  Queue(Midi(144, 60));
  Queue(Midi(128, 60));
  Step();
  EXPECT_EQ(rtp_->NextWait(), 0) << "one sent, one left";
  net_.sendResults = {rtp::kErrSend};
  Step();
  EXPECT_EQ(rtp_->NextWait(), 1) << "a failed send is tried again at the next clock step";
  Step();
  EXPECT_EQ(rtp_->NextWait(), 700);
}

TEST_F(MidiRtpTest, BandwidthOverANominalThreeSeconds) {
  form_.SetRetransmission(RetransInMsg);
  ASSERT_TRUE(SetUpSession());
  for (int i = 0; i < 10; ++i) Queue(Midi(144, 40 + i));
  for (int i = 0; i < 10; ++i) Step(100);
  EXPECT_EQ(form_.EditDebit.Text(), "---");
  Step(2010);  // 3010 ms after set-up
  EXPECT_EQ(form_.EditDebit.Text(), "0.12KB/s");
  Step(3010);
  EXPECT_EQ(form_.EditDebit.Text(), "0KB/s");
  // Failed attempts count too.
  net_.sendResults = {rtp::kErrSend, rtp::kErrSend, rtp::kErrSend};
  auto chat = MakeRecord(EventChat);
  Queue(std::move(chat));
  for (int i = 0; i < 4; ++i) Step(10);
  Step(3000);
  EXPECT_EQ(form_.EditDebit.Text(), "0.13KB/s");  // 400 bytes
}

TEST_F(MidiRtpTest, DispatchesEveryPacketType) {
  ASSERT_TRUE(SetUpSession());
  form_.KeysSent[5].store(1);
  std::vector<uint8_t> keys(36, 0);
  keys[4 + 8] = 0x01;  // key 64 on
  keys[20 + 8] = 0x01;
  net_.Queue(7, 83, keys, 10);
  Step();
  EXPECT_EQ(form_.EditStatutReceive.Text(), "Reception info de retransmission");
  EXPECT_EQ(form_.KeysSent[64].load(), 1);
  EXPECT_EQ(form_.KeysSent[5].load(), 0);  // the whole array is replaced
  ASSERT_EQ(form_.ReceiveQueue.Count(), 1);
  EXPECT_EQ(form_.ReceiveQueue.Get(0)->kind, EventKeyRefresh);
  EXPECT_EQ(form_.ReceiveQueue.Get(0)->source, 7u);

  net_.Queue(7, 66, {0x2C, 0x01}, 11);
  Step();
  EXPECT_EQ(form_.EditStatutReceive.Text(), "Changement de Buffer");
  EXPECT_EQ(form_.ReceiveQueue.Get(1)->bufferMs, 300);

  std::vector<uint8_t> chat(100, 0);
  std::copy_n("hello", 5, chat.begin());
  net_.Queue(7, 67, chat, 12);
  Step();
  EXPECT_EQ(form_.EditStatutReceive.Text(), "Chat Reception");
  EXPECT_EQ(form_.MemoChat.Lines().back(), "you : hello");
  EXPECT_EQ(form_.ReceiveQueue.Count(), 2);

  // Events change no status text; 88 carries a snapshot into KeysSent.
  keys[0] = 144;
  keys[1] = 64;
  keys[2] = 70;
  net_.Queue(7, 88, keys, 14);
  net_.Queue(7, 77, {128, 64, 0, 0}, 13);
  net_.Queue(7, 99, {1, 2, 3}, 15);         // unknown: counted, nothing else
  net_.Queue(7, 77, {144, 200, 0, 0}, 16);  // unusable note: counted and dropped
  Step();
  EXPECT_EQ(form_.EditStatutReceive.Text(), "Chat Reception");
  EXPECT_EQ(form_.EditNbrRec.Text(), "7");
  EXPECT_EQ(rtp_->DroppedCount(), 2u);
  ASSERT_EQ(form_.ReceiveQueue.Count(), 4);
  // Placed by sequence: 13 before 14 though it arrived later.
  EXPECT_EQ(form_.ReceiveQueue.Get(2)->kind, EventMidiBare);
  EXPECT_EQ(form_.ReceiveQueue.Get(2)->sequence, 13u);
  EXPECT_EQ(form_.ReceiveQueue.Get(3)->kind, EventMidi);
  EXPECT_EQ(form_.ReceiveQueue.Get(3)->keyOn[64], 1);
  EXPECT_EQ(form_.ReceiveQueue.Get(3)->time, 1000);
  EXPECT_EQ(form_.ReceiveQueue.Get(3)->arrivalOffset, now_ - 1000);
  EXPECT_EQ(net_.sourceUnits.back(), 0.001);
}

TEST_F(MidiRtpTest, EveryDeliveredPacketIsHandledInOnePass) {
  ASSERT_TRUE(SetUpSession());
  for (uint32_t s = 0; s < 3; ++s)
    for (uint32_t i = 0; i < 4; ++i) net_.Queue(100 + s, 77, {144, 60, 1, 0}, 1000 * s + i);
  Step();
  EXPECT_EQ(rtp_->ReceivedCount(), 12);
  EXPECT_EQ(form_.ReceiveQueue.Count(), 12);
}

TEST_F(MidiRtpTest, PacketsCarryTheirReadingTimeAndAChordSharesItsFirst) {
  ASSERT_TRUE(SetUpSession());
  // The arrival a packet is rebuilt with, `us` after the previous one.
  auto arrivalOf = [&](uint32_t seq, uint32_t ts, uint32_t ssrc, int64_t us) -> int64_t {
    net_.Queue(ssrc, 77, {144, 60, 1, 0}, seq, ts);
    extraUs_ += us;
    Step(0);
    for (int i = 0; i < form_.ReceiveQueue.Count(); ++i) {
      const EventRecord* r = form_.ReceiveQueue.Get(i);
      if (r->sequence == seq && r->source == ssrc) return r->arrivalUs;
    }
    return -1;
  };
  const int64_t first = int64_t{now_} * 1000 + 1000;
  EXPECT_EQ(arrivalOf(1, 1000, 7, 1000), first);
  EXPECT_EQ(arrivalOf(2, 1000, 7, 300), first) << "the next packet, 0.3 ms later: with the first";
  EXPECT_EQ(arrivalOf(3, 1001, 7, 500), first) << "sent a millisecond later: still with it";
  EXPECT_EQ(arrivalOf(4, 1001, 7, 400), first + 1200) << "over a millisecond after the first";
  EXPECT_EQ(arrivalOf(6, 1001, 7, 100), first + 1300) << "not the next packet";
  EXPECT_EQ(arrivalOf(7, 1003, 7, 100), first + 1400) << "sent two milliseconds later";
  EXPECT_EQ(arrivalOf(8, 1003, 8, 100), first + 1500) << "another source";
  net_.Queue(8, 66, {0, 0}, 9, 1003);  // a buffer announcement right behind it
  extraUs_ += 100;
  Step(0);
  EXPECT_EQ(arrivalOf(10, 1003, 8, 100), first + 1700) << "an event after another kind";

  // A link that stamps its packets as it reads them is believed over the clock of the pass.
  net_.Queue(9, 77, {144, 60, 1, 0}, 1, 1000, 123'456'789);
  Step(0);
  EXPECT_EQ(form_.ReceiveQueue.Get(form_.ReceiveQueue.Count() - 1)->arrivalUs, 123'456'789);
}

TEST_F(MidiRtpTest, PollFailureIsShownAndSendingGoesOn) {
  ASSERT_TRUE(SetUpSession());
  net_.pollResult = rtp::kErrNotCreated;
  Queue(Midi(144, 60));
  Step();
  EXPECT_EQ(form_.EditStatutReceive.Text(), "erreur de poll");
  EXPECT_EQ(net_.sent.size(), 1u);
}

TEST_F(MidiRtpTest, StopsWhenRtpActiveIsCleared) {
  ASSERT_TRUE(SetUpSession());
  Queue(Midi(144, 60));
  int destroyedBefore = net_.destroyed;
  form_.RtpActive.store(false);
  EXPECT_FALSE(rtp_->Pass(now_ + 10));
  EXPECT_EQ(net_.destroyed, destroyedBefore + 1);
  EXPECT_TRUE(net_.sent.empty());
  EXPECT_EQ(form_.SendQueue.Count(), 1);  // left for the next session
}

}  // namespace
}  // namespace tandem

// ---- On a real session over loopback sockets.

namespace tandem {
namespace {

using test::BoundSocket;
using test::FreePortPair;

struct Datagram {
  std::vector<uint8_t> bytes;
  uint8_t Version() const { return bytes[0] >> 6; }
  uint8_t Type() const { return bytes[1] & 0x7F; }
  bool Marker() const { return bytes[1] & 0x80; }
  uint16_t Sequence() const { return static_cast<uint16_t>(bytes[2] << 8 | bytes[3]); }
  uint32_t Field(size_t at) const {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
  }
};

std::optional<Datagram> Receive(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Datagram d;
  d.bytes.resize(2048);
  ssize_t n = recv(fd, d.bytes.data(), d.bytes.size(), 0);
  if (n < 0) return std::nullopt;
  d.bytes.resize(static_cast<size_t>(n));
  return d;
}

void SendTo(uint16_t port, const std::vector<uint8_t>& bytes) {
  int fd = BoundSocket(0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  close(fd);
}

std::vector<uint8_t> RtpHeader(uint8_t type, uint16_t seq, uint32_t ts, uint32_t ssrc) {
  return {0x80,
          type,
          uint8_t(seq >> 8),
          uint8_t(seq),
          uint8_t(ts >> 24),
          uint8_t(ts >> 16),
          uint8_t(ts >> 8),
          uint8_t(ts),
          uint8_t(ssrc >> 24),
          uint8_t(ssrc >> 16),
          uint8_t(ssrc >> 8),
          uint8_t(ssrc)};
}

class MidiRtpNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peerPort_ = FreePortPair(&peerData_, &peerControl_);
    localPort_ = FreePortPair();
    ASSERT_NE(peerPort_, 0);
    ASSERT_NE(localPort_, 0);
    form_.EditPortLocal.SetText(IntToStr(localPort_));
    form_.EditPortDistant.SetText(IntToStr(peerPort_));
    form_.RtpActive.store(true);
  }
  void TearDown() override {
    close(peerData_);
    close(peerControl_);
  }

  TFormCtl form_;
  int peerData_ = -1, peerControl_ = -1;
  uint16_t peerPort_ = 0, localPort_ = 0;
};

TEST_F(MidiRtpNetTest, DatagramsAreRtpVersion2WithMillisecondTimestamps) {
  int32_t now = 1000000;
  MidiRTP rtp(
      form_, MakeSessionLink(), [&] { return now; }, [&] { return int64_t{now} * 1000; });
  ASSERT_TRUE(rtp.Setup(now));
  struct Step {
    int32_t after;
    RecordPtr record;
    Retransmission mode;
    uint8_t type;
    size_t size;
  };
  auto midi = [](int status, int note) {
    auto r = MakeRecord(EventMidi);
    r->status = status;
    r->note = note;
    r->velocity = 64;
    return r;
  };
  auto buffer = MakeRecord(EventBuffer);
  buffer->bufferMs = 120;
  std::vector<Step> steps;
  steps.push_back({0, midi(144, 60), RetransNone, 77, 4});
  steps.push_back({30, midi(128, 60), RetransInMsg, 88, 36});
  steps.push_back({250, MakeRecord(EventKeyRefresh), RetransInMsg, 83, 36});
  steps.push_back({10, MakeRecord(EventChat), RetransInMsg, 67, 100});
  steps.push_back({1000, std::move(buffer), RetransInMsg, 66, 2});

  std::vector<Datagram> got;
  std::vector<int32_t> sentAt;
  for (auto& s : steps) {
    form_.SetRetransmission(s.mode);
    form_.SendQueue.Add(std::move(s.record));
    now += s.after;
    ASSERT_TRUE(rtp.Pass(now));
    sentAt.push_back(now);
    auto d = Receive(peerData_, 2000);
    ASSERT_TRUE(d) << "nothing arrived for type " << int(s.type);
    got.push_back(*d);
  }
  for (size_t i = 0; i < got.size(); ++i) {
    const auto& d = got[i];
    ASSERT_GE(d.bytes.size(), 12u);
    EXPECT_EQ(d.Version(), 2);
    EXPECT_EQ(d.bytes[0] & 0x3F, 0);  // no padding, no extension, no CSRC
    EXPECT_FALSE(d.Marker());
    EXPECT_EQ(d.Type(), steps[i].type);
    EXPECT_EQ(d.bytes.size(), 12 + steps[i].size) << i;
    EXPECT_EQ(d.Field(8), got[0].Field(8));  // one SSRC
    EXPECT_EQ(static_cast<uint16_t>(d.Sequence() - got[0].Sequence()), i);
    EXPECT_EQ(d.Field(4) - got[0].Field(4), static_cast<uint32_t>(sentAt[i] - sentAt[0]));
  }
  EXPECT_EQ(std::vector<uint8_t>(got[0].bytes.begin() + 12, got[0].bytes.end()),
            (std::vector<uint8_t>{144, 60, 64, 0}));
  EXPECT_EQ(form_.EditNbrSend.Text(), "5");

  // Stopping says goodbye on the control port.
  form_.RtpActive.store(false);
  EXPECT_FALSE(rtp.Pass(now + 2));
  std::optional<Datagram> bye;
  while (auto d = Receive(peerControl_, 2000)) {
    if (d->bytes.size() >= 8 && d->Version() == 2) {
      // A compound packet: look for the BYE (203) among its parts.
      for (size_t at = 0; at + 4 <= d->bytes.size();) {
        if (d->bytes[at + 1] == 203) bye = d;
        at += 4 * (size_t(d->bytes[at + 2] << 8 | d->bytes[at + 3]) + 1);
      }
    }
    if (bye) break;
  }
  EXPECT_TRUE(bye);
}

TEST_F(MidiRtpNetTest, ReportsArriveOnTheControlPort) {
  MidiRTP rtp(form_);
  rtp.Start();
  auto d = Receive(peerControl_, 10000);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Version(), 2);
  EXPECT_TRUE(d->bytes[1] == 200 || d->bytes[1] == 201);  // a compound packet starts SR or RR
  rtp.Stop();
}

TEST_F(MidiRtpNetTest, ReceivedPacketsReachTheModelAcrossTheSequenceWrap) {
  MidiRTP rtp(form_);
  int32_t now = 5000;
  ASSERT_TRUE(rtp.Setup(now));
  auto packet = [](uint16_t seq, uint8_t note) {
    auto p = RtpHeader(77, seq, 4000, 0x1234);
    p.insert(p.end(), {144, note, 100, 0});
    return p;
  };
  const int64_t sentFrom = ClockUs();
  SendTo(localPort_, packet(65534, 1));
  SendTo(localPort_, packet(65535, 2));
  SendTo(localPort_, packet(0, 3));
  SendTo(localPort_, packet(1, 4));
  std::vector<uint8_t> chat = RtpHeader(67, 2, 4000, 0x1234);
  chat.resize(12 + 100, 0);
  std::copy_n("ping", 4, chat.begin() + 12);
  SendTo(localPort_, chat);
  SendTo(localPort_, {0x80, 77, 0, 3});  // malformed: dropped by the session, never counted
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (rtp.ReceivedCount() < 5 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(rtp.Pass(now += 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const int64_t takenBy = ClockUs();
  ASSERT_EQ(rtp.ReceivedCount(), 5);
  ASSERT_EQ(form_.ReceiveQueue.Count(), 4);
  uint32_t first = form_.ReceiveQueue.Get(0)->sequence;
  for (int i = 0; i < 4; ++i) {
    // Stamped by the session as it read the datagram, on the clock the playback waits with.
    EXPECT_GE(form_.ReceiveQueue.Get(i)->arrivalUs, sentFrom);
    EXPECT_LE(form_.ReceiveQueue.Get(i)->arrivalUs, takenBy);
    EXPECT_EQ(form_.ReceiveQueue.Get(i)->note, i + 1);
    EXPECT_EQ(form_.ReceiveQueue.Get(i)->sequence, first + static_cast<uint32_t>(i));
    EXPECT_EQ(form_.ReceiveQueue.Get(i)->source, 0x1234u);
  }
  EXPECT_EQ(form_.MemoChat.Lines().back(), "you : ping");
  EXPECT_EQ(form_.EditNbrRec.Text(), "5");
}

TEST_F(MidiRtpNetTest, AfterAFailedSetUpTheNextPressStartsASession) {
  Application app(AppConfig{});
  TFormCtl& form = app.Form();
  auto waitFor = [&](const std::string& status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (form.EditStatutConnect.Text() != status && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return form.EditStatutConnect.Text() == status;
  };
  form.EditPortLocal.SetText(IntToStr(localPort_ + 1));
  form.ButtonStartRTPClick();
  ASSERT_TRUE(waitFor("Erreur RTP"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (app.RtpAlive() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(form.RtpActive.load());  // the flag alone would make the next press a stop
  form.EditPortLocal.SetText(IntToStr(localPort_));
  form.ButtonStartRTPClick();
  EXPECT_TRUE(waitFor("RTP Initialisé"));
  EXPECT_TRUE(app.RtpAlive());
  app.Shutdown();
}

TEST_F(MidiRtpNetTest, OddOrBusyPortFailsTheSetUp) {
  form_.EditPortLocal.SetText(IntToStr(localPort_ + 1));
  MidiRTP odd(form_);
  EXPECT_FALSE(odd.Setup(0));
  EXPECT_EQ(form_.EditStatutConnect.Text(), "Erreur RTP");

  // The peer's sockets hold both of its ports.
  form_.EditStatutConnect.SetText("----");
  form_.EditPortLocal.SetText(IntToStr(peerPort_));
  MidiRTP busy(form_);
  EXPECT_FALSE(busy.Setup(0));
  EXPECT_EQ(form_.EditStatutConnect.Text(), "Erreur RTP");

  // The ports a failed set-up bound are free again for the next one.
  form_.EditPortLocal.SetText(IntToStr(localPort_));
  MidiRTP next(form_);
  EXPECT_TRUE(next.Setup(0));
  EXPECT_EQ(form_.EditStatutConnect.Text(), "RTP Initialisé");
}

}  // namespace
}  // namespace tandem
