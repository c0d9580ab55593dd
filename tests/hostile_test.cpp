// Whatever the network or the user types: every unusable datagram is counted in "# Dropped" and
// changes nothing else, every unusable setting gives a clear message or keeps its last good
// value, and nothing crashes, hangs or reads past a buffer. Driven through the real units: the
// session thread's dispatch, the playback pass, the send preparation pass and the set-up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackPorts.h"
#include "midi/MemoryMidi.h"
#include "model/FormCtrl.h"
#include "playback/PrepareRec.h"
#include "rtp/RtpPacket.h"
#include "send/PrepareSend.h"
#include "transport/MidiRtp.h"

namespace tandem {
namespace {

using Bytes = std::vector<uint8_t>;

// Hands the session thread the packets a test queues, all from one source.
class ScriptedLink : public RtpLink {
 public:
  explicit ScriptedLink(std::deque<rtp::Packet>& incoming) : incoming_(incoming) {}
  int Create(uint16_t) override { return 0; }
  int Destroy() override { return 0; }
  int SetTimestampUnit(double) override { return 0; }
  int AddDestination(uint32_t, uint16_t) override { return 0; }
  int IncrementTimestamp(uint32_t) override { return 0; }
  int SendPacket(const uint8_t*, size_t, uint8_t, bool, uint32_t) override { return 0; }
  int Poll() override { return 0; }
  bool GotoFirstSourceWithData() override { return !incoming_.empty(); }
  bool GotoNextSourceWithData() override { return false; }
  int SetCurrentSourceTimestampUnit(double) override { return 0; }
  std::unique_ptr<rtp::Packet> GetNextPacket() override {
    if (incoming_.empty()) return nullptr;
    auto p = std::make_unique<rtp::Packet>(std::move(incoming_.front()));
    incoming_.pop_front();
    return p;
  }

 private:
  std::deque<rtp::Packet>& incoming_;
};

// A receiving peer: the session thread's passes over scripted packets, then the playback's.
class Receiver : public ::testing::Test {
 protected:
  Receiver()
      : recorder_(std::make_shared<MidiRecorder>()),
        form_([rec = recorder_](std::string&) { return std::make_unique<MemoryMidiOut>(rec); }),
        rtp_(
            form_, std::make_unique<ScriptedLink>(incoming_), [this] { return now_; },
            [this] { return NowUs(); }),
        playback_(form_) {
    form_.RtpActive.store(true);
  }

  void Arrive(uint8_t type, Bytes payload, uint32_t timestamp = 5000) {
    rtp::Packet p;
    p.ssrc = 0xE71;
    p.payloadType = type;
    p.payload = std::move(payload);
    p.timestamp = timestamp;
    p.extendedSequence = sequence_++;
    p.sequence = static_cast<uint16_t>(p.extendedSequence);
    incoming_.push_back(std::move(p));
  }

  // One session pass, then enough playback passes, 10 ms apart, to drain what is due.
  void Run(int playbackPasses = 0) {
    ASSERT_TRUE(rtp_.Pass(now_));
    for (int i = 0; i < playbackPasses; ++i) {
      now_ = static_cast<int32_t>(static_cast<uint32_t>(now_) + 10);
      playback_.Pass(NowUs());
    }
  }

  // Every message that reached the output is one a synthesizer can take.
  void ExpectOnlyWellFormedMidi() const {
    for (const auto& m : recorder_->Messages()) {
      ASSERT_GE(m.bytes.size(), 2u);
      EXPECT_GE(m.bytes[0], 0x80);
      EXPECT_LT(m.bytes[0], 0xF0);
      for (size_t i = 1; i < m.bytes.size(); ++i) EXPECT_LT(m.bytes[i], 0x80);
    }
  }

  // The microsecond clock goes on where the millisecond one wraps.
  int64_t NowUs() {
    unwrappedMs_ += static_cast<int32_t>(static_cast<uint32_t>(now_) - lastMs_);
    lastMs_ = static_cast<uint32_t>(now_);
    return unwrappedMs_ * 1000;
  }
  int64_t unwrappedMs_ = 40'000'000;
  uint32_t lastMs_ = 40'000'000;

  std::shared_ptr<MidiRecorder> recorder_;
  TFormCtl form_;
  std::deque<rtp::Packet> incoming_;
  int32_t now_ = 40'000'000;
  uint32_t sequence_ = 100;
  MidiRTP rtp_;
  PrepareRecPass playback_;
};

TEST_F(Receiver, UnusablePayloadsAreCountedAndChangeNothingElse) {
  for (size_t k = 0; k < 128; ++k) form_.KeysSent[k].store(k % 3 == 0 ? 1 : 0);
  const size_t memoLines = form_.MemoChat.Lines().size();
  uint64_t expected = 0;

  // Every payload type that is none of ours.
  for (int type = 0; type < 256; ++type) {
    if (type == 77 || type == 88 || type == 83 || type == 67 || type == 66) continue;
    Arrive(static_cast<uint8_t>(type), Bytes(100, 0x90));
    ++expected;
  }
  // Each kind of fixed size, at every length short of it.
  for (auto [type, size] : {std::pair<uint8_t, size_t>{77, 4}, {88, 36}, {83, 36}, {66, 2}}) {
    for (size_t n = 0; n < size; ++n) {
      Arrive(type, Bytes(n, 0x7F));
      ++expected;
    }
  }
  // Note or velocity bytes that are no MIDI data, with or without a snapshot.
  for (int value = 128; value < 256; ++value) {
    for (uint8_t type : {77, 88}) {
      Bytes note(36, 0xFF), velocity(36, 0xFF);
      note[0] = velocity[0] = 144;
      note[1] = static_cast<uint8_t>(value);
      note[2] = 64;
      velocity[1] = 60;
      velocity[2] = static_cast<uint8_t>(value);
      Arrive(type, note);
      Arrive(type, velocity);
      expected += 2;
    }
  }
  Run(20);

  EXPECT_EQ(rtp_.ReceivedCount(), static_cast<int32_t>(expected));
  EXPECT_EQ(form_.EditNbrRec.Text(), std::to_string(expected));
  EXPECT_EQ(form_.Dropped(), expected);
  EXPECT_EQ(form_.EditNbrDropped.Text(), std::to_string(expected));
  EXPECT_EQ(form_.ReceiveQueue.Count(), 0);
  EXPECT_EQ(form_.EditStatutReceive.Text(), "----");
  EXPECT_EQ(form_.MemoChat.Lines().size(), memoLines);
  for (size_t k = 0; k < 128; ++k) EXPECT_EQ(form_.KeysSent[k].load(), k % 3 == 0 ? 1 : 0) << k;
  EXPECT_EQ(recorder_->Count(), 0u);

  // The loop goes on: the next good note plays.
  Arrive(77, {144, 60, 100, 0});
  Run(2);
  EXPECT_EQ(recorder_->Messages().back().bytes, (Bytes{0x90, 60, 100}));
  EXPECT_EQ(form_.Dropped(), expected);
}

TEST_F(Receiver, ChatWithoutTerminatorOrWithControlBytesShowsOneSafeLine) {
  Bytes noNul(300, 'x');
  const std::string evil = "\r\nyou : forged\x1b]0;title\x07\x7f\xC2\x85\xC2\x9B";
  std::copy(evil.begin(), evil.end(), noNul.begin());
  Arrive(67, noNul);
  Arrive(67, {});
  Arrive(67, Bytes(100, 0xFF));
  Run();
  auto lines = form_.MemoChat.Lines();
  ASSERT_GE(lines.size(), 3u);
  lines.erase(lines.begin(), lines.end() - 3);
  for (const std::string& line : lines) {
    ASSERT_EQ(line.rfind("you : ", 0), 0u) << line;
    EXPECT_LE(line.size(), 6 + kChatMaxChars);
    for (char c : line) {
      EXPECT_TRUE(static_cast<uint8_t>(c) >= 0x20 && c != 0x7F) << int(c);
    }
  }
  EXPECT_EQ(lines[0].substr(0, 18), "you : ??you : forg");
  EXPECT_EQ(lines[1], "you : ");
  EXPECT_EQ(form_.EditStatutReceive.Text(), "Chat Reception");
  EXPECT_EQ(form_.Dropped(), 0u);
}

TEST_F(Receiver, StatusBytesThatAreNoChannelMessageAreDroppedAtPlayback) {
  uint64_t expected = 0;
  for (int status = 0; status < 256; ++status) {
    const bool channelMessage = status >= 0x80 && status < 0xF0 && (status & 0x0F) == 0;
    if (channelMessage) continue;
    Bytes word(36, 0);
    word[0] = static_cast<uint8_t>(status);
    word[1] = 61;
    word[2] = 64;
    Arrive(status % 2 == 0 ? 77 : 88, word);
    ++expected;
  }
  Run(static_cast<int>(expected) + 5);
  // The decoder passes status bytes on unchanged; playback refuses what is no channel message.
  EXPECT_EQ(form_.ReceiveQueue.Count(), 0);
  EXPECT_EQ(playback_.Counters().invalid.load(), expected);
  EXPECT_EQ(form_.Dropped(), expected);
  EXPECT_EQ(recorder_->Count(), 0u);
  EXPECT_EQ(form_.KeysPlayed[61].load(), 0);
}

TEST_F(Receiver, TimesAndBuffersAtTheirExtremesStayWellDefined) {
  // Received across the clock's 32-bit wrap, with timestamps anywhere.
  now_ = INT32_MAX - 5;
  for (uint32_t ts : {0x80000000u, 0x7FFFFFFFu, 0u, 0xFFFFFFFFu, 0x7FFFFFFBu + 0x80000000u}) {
    Arrive(176, {}, ts);  // no kind: a counted drop whatever its time
    Arrive(77, {176, 7, 100, 0}, ts);
  }
  Run(12);
  EXPECT_EQ(form_.Dropped(), 5u);
  ASSERT_EQ(recorder_->Count(), 5u);  // each waited its 0 ms and played, whatever its time
  ExpectOnlyWellFormedMidi();

  // The largest buffer the field holds makes records wait that long, and no longer.
  // (Stamped with our own clock, so the wait is simply the time spent queued.)
  Arrive(66, {0xFF, 0xFF}, static_cast<uint32_t>(now_));
  Run(2);
  EXPECT_EQ(form_.ReceptionBuffer.load(), 65535);
  Arrive(77, {144, 62, 100, 0}, static_cast<uint32_t>(now_));
  Run();
  const int32_t arrived = now_;
  while (recorder_->Count() == 5u && static_cast<uint32_t>(now_ - arrived) < 70'000) {
    now_ += 10;
    playback_.Pass(NowUs());
  }
  EXPECT_GT(static_cast<uint32_t>(now_ - arrived), 65535u);
  EXPECT_LE(static_cast<uint32_t>(now_ - arrived), 65550u);
  ASSERT_EQ(recorder_->Count(), 6u);
}

// Datagrams the session refuses before they become packets count with the others.
TEST(HostileDatagrams, RefusedBySessionAreCountedInDropped) {
  const uint16_t port = test::FreePortPair();
  ASSERT_NE(port, 0);
  TFormCtl form;
  form.EditPortLocal.SetText(std::to_string(port));
  form.EditPortDistant.SetText("3000");
  form.RtpActive.store(true);
  MidiRTP rtp(form);
  ASSERT_TRUE(rtp.Setup(0));

  int fd = test::BoundSocket(0);
  ASSERT_GE(fd, 0);
  auto send = [&](uint16_t to, const Bytes& bytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(to);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  };
  const auto control = static_cast<uint16_t>(port + 1);
  send(port, {});                                                      // empty
  send(port, {0x80, 77, 0, 1, 0, 0});                                  // shorter than a header
  send(port, Bytes(40, 0x40));                                         // version 1
  send(port, {0x8F, 77, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 9, 9, 9, 9});    // CSRC list past the end
  send(port, {0xA0, 77, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 1, 2, 3, 200});  // padding past the start
  send(control, {0x81, 201, 0, 40, 0, 0, 0, 1});                       // length says 41 words
  send(control, {0x85, 200, 0, 1, 0, 0, 0, 1});  // an SR with 5 blocks in 8 bytes
  send(control, {0x80, 202, 0, 1, 0, 0, 0, 1});  // compound opening with SDES
  // An SDES item running past its packet, after a good RR.
  send(control, {0x80, 201, 0, 1, 0, 0, 0, 1, 0x81, 202, 0, 2, 0, 0, 0, 1, 1, 40, 0, 0});
  Bytes unknown, shortKeys;
  rtp::BuildRtp({false, 90, 1, 1, 0xBAD}, Bytes{1, 2, 3, 4}, unknown);
  rtp::BuildRtp({false, 88, 2, 1, 0xBAD}, Bytes(20, 0), shortKeys);
  send(port, unknown);
  send(port, shortKeys);
  close(fd);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (form.Dropped() < 11 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(rtp.Pass(0));
  }
  EXPECT_EQ(form.Dropped(), 11u);
  EXPECT_EQ(form.EditNbrDropped.Text(), "11");
  EXPECT_EQ(rtp.ReceivedCount(), 2);  // the two well-formed packets of no use
  EXPECT_EQ(form.ReceiveQueue.Count(), 0);

  // A new session counts afresh, like "# Received".
  form.RtpActive.store(false);
  EXPECT_FALSE(rtp.Pass(0));
  form.RtpActive.store(true);
  MidiRTP next(form);
  ASSERT_TRUE(next.Setup(0));
  EXPECT_EQ(form.EditNbrDropped.Text(), "0");
  form.RtpActive.store(false);
  next.Pass(0);
}

// A port text is either exactly a port we can bind, or the set-up fails with "Erreur RTP" and
// leaves nothing bound.
TEST(HostileSettings, PortTextsBindThatPortOrFailTheSetup) {
  const uint16_t port = test::FreePortPair();
  ASSERT_NE(port, 0);
  const std::string p = std::to_string(port);
  struct Case {
    std::string local, remote;
    bool works;
  };
  const std::vector<Case> cases = {
      {"+" + p, "3000", true},
      {"0" + p, "+3000", true},
      {std::to_string(port + 1), "3000", false},  // odd
      {"-" + p, "3000", false},
      {p + ".0", "3000", false},
      {" " + p, "3000", false},
      {p + " ", "3000", false},
      {"0x10", "3000", false},
      {"0", "3000", false},
      {"65536", "3000", false},
      {std::to_string(4294967296ull + port), "3000", false},  // would wrap to the port
      {"", "3000", false},
      {p, "0", false},
      {p, "65535", false},  // its control port would be 65536
      {p, "-3000", false},
      {p, "3000abc", false},
      {p, std::to_string(4294967296ull + 3000), false},
  };
  for (const Case& c : cases) {
    TFormCtl form;
    form.EditPortLocal.SetText(c.local);
    form.EditPortDistant.SetText(c.remote);
    form.RtpActive.store(true);
    {
      MidiRTP rtp(form);
      EXPECT_EQ(rtp.Setup(0), c.works) << c.local << " -> " << c.remote;
      EXPECT_EQ(form.EditStatutConnect.Text(), c.works ? "RTP Initialisé" : "Erreur RTP")
          << c.local << " -> " << c.remote;
      if (c.works) {
        EXPECT_EQ(test::BoundSocket(port), -1) << "the session holds the port";
        form.RtpActive.store(false);
        EXPECT_FALSE(rtp.Pass(0));
      }
    }
    // Nothing is left bound either way.
    int data = test::BoundSocket(port);
    int ctl = test::BoundSocket(static_cast<uint16_t>(port + 1));
    EXPECT_GE(data, 0) << c.local;
    EXPECT_GE(ctl, 0) << c.local;
    if (data >= 0) close(data);
    if (ctl >= 0) close(ctl);
  }
}

// Base and multiplier texts of any value: the last good value stays, the interval saturates
// instead of overflowing, and at most one refresh leaves per pass, only while the cadence runs.
TEST(HostileSettings, RefreshCadenceSurvivesAnyBaseAndMultiplier) {
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"abc", "2"},         {"7", "abc"},         {"", ""},
      {"-5", "2"},          {"0", "0"},           {"5", "-3"},
      {"2147483647", "2"},  {"-2147483648", "2"}, {"1", "2147483647"},
      {"99999999999", "9"}, {"1", "-2147483648"}, {"3", "1e3"},
  };
  for (const auto& [base, mult] : texts) {
    TFormCtl form;
    form.SetRetransmission(RetransVariable);
    int32_t now = 100'000;
    PrepareSendPass pass(form, [&] { return now; });
    form.EditBaseValue.SetText("7");
    form.EditMulValue.SetText("3");
    pass.Pass(now);
    form.EditBaseValue.SetText(base);
    form.EditMulValue.SetText(mult);
    auto note = MakeRecord(EventMidi);
    note->status = 144;
    note->note = 60;
    form.OutgoingQueue.Add(std::move(note));

    int refreshes = 0;
    int passes = 0;
    for (; now < 100'000 + 7'000; now += 2, ++passes) {
      const int32_t before = form.SendQueue.Count();
      pass.Pass(now);
      ASSERT_LE(form.SendQueue.Count() - before, 2) << base << "/" << mult;  // refresh + buffer
      while (auto r = form.SendQueue.DeleteFirst()) refreshes += r->kind == EventKeyRefresh;
    }
    EXPECT_FALSE(pass.Active()) << base << "/" << mult;  // stopped 5 s after the note
    EXPECT_LE(refreshes, 5000 / 2 + 2) << base << "/" << mult;
    if (base == "abc") {
      EXPECT_EQ(pass.Interval(), 7);  // back to the kept base at the stop
    }
    if (mult == "abc") {
      EXPECT_LE(refreshes, 12);  // 7, 21, 63, ... ms: the kept multiplier
    }
  }
}

// The local buffer: text that is no number is refused with a message naming it; any number is
// taken, and what the peer is told stays within what the field can say.
TEST(HostileSettings, BufferTextsGiveAMessageOrAnAnnouncementInRange) {
  for (const char* text : {"abc", "", "1e3", "12 ", "99999999999", "--5"}) {
    TFormCtl form;
    form.LocalBuffer.store(40);
    form.EditBufferLocal.SetText(text);
    try {
      form.ButtonSetLocalBufferClick();
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const UserError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid integer value");
    }
    EXPECT_EQ(form.LocalBuffer.load(), 40);
  }
  for (auto [text, announced] : std::vector<std::pair<const char*, int32_t>>{
           {"-5", 0}, {"-2147483648", 0}, {"250", 250}, {"70000", 65535}, {"2147483647", 65535}}) {
    TFormCtl form;
    int32_t now = 100'000;
    PrepareSendPass pass(form, [&] { return now; });
    form.EditBufferLocal.SetText(text);
    form.ButtonSetLocalBufferClick();
    now += 600;  // the next speed measurement announces the buffer
    pass.Pass(now);
    RecordPtr record = form.SendQueue.DeleteFirst();
    ASSERT_TRUE(record);
    ASSERT_EQ(record->kind, EventBuffer);
    SentKeyTable keys{};
    auto payload = Encode(*record, keys, true, now);
    ASSERT_TRUE(payload);
    Decoded d = Decode(payload->payloadType, payload->Bytes(), 0, 0, 0, now);
    ASSERT_TRUE(d.record);
    EXPECT_EQ(d.record->bufferMs, announced) << text;
  }
}

// Any output channel and transposition texts, together: what goes out is always one well-formed
// message, on a channel 1 to 16, with a note 0 to 127, or nothing.
TEST_F(Receiver, OutputSettingsTextsNeverSpillIntoTheMessage) {
  const std::vector<std::string> texts = {"0",  "1",   "16",  "17",  "-1",   "abc", "",
                                          "12", "-12", "127", "128", "-128", "1e1", "99999999999"};
  form_.CheckBoxTransposeOut.SetChecked(true);
  uint8_t key = 0;
  for (const std::string& canal : texts) {
    for (const std::string& transpose : texts) {
      form_.EditMidiCanalOut.SetText(canal);
      form_.EditTransposeOut.SetText(transpose);
      key = static_cast<uint8_t>((key + 37) % 128);
      Arrive(77, {144, key, 90, 0});
      Arrive(77, {128, key, 0, 0});
      Run(3);
    }
  }
  EXPECT_GT(recorder_->Count(), 0u);
  ExpectOnlyWellFormedMidi();
  // Every note that went out was ended: no key left sounding on the output.
  for (size_t k = 0; k < 128; ++k) EXPECT_EQ(form_.KeysPlayed[k].load(), 0) << k;
}

}  // namespace
}  // namespace tandem
