#include "playback/PrepareRec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

using Bytes = std::vector<uint8_t>;

class PlaybackTest : public ::testing::Test {
 protected:
  std::shared_ptr<MidiRecorder> out = std::make_shared<MidiRecorder>();
  TFormCtl form{[this](std::string&) -> std::unique_ptr<MidiOutPort> {
    return std::make_unique<MemoryMidiOut>(out);
  }};
  PrepareRecPass pass{form};

  static int64_t Us(int64_t ms) { return ms * 1000; }

  // A record rebuilt from a packet that arrived at `time` (sender and receiver clocks agree).
  static RecordPtr Event(int32_t kind, uint32_t sequence, int32_t time, int32_t status = 144,
                         int32_t note = 60, int32_t velocity = 100) {
    auto r = MakeRecord(kind);
    r->sequence = sequence;
    r->time = time;
    r->arrivalOffset = 0;
    r->arrivalUs = Us(time);
    r->status = status;
    r->note = note;
    r->velocity = velocity;
    return r;
  }
  void Receive(RecordPtr r) { form.ReceiveQueue.InsertOrdered(std::move(r)); }
  // Queues the record and runs one pass 10 ms later, when it is due with no buffer.
  void Play(RecordPtr r) {
    const int64_t due = r->arrivalUs + Us(10);
    Receive(std::move(r));
    pass.Pass(due);
  }
  std::vector<Bytes> Sent() const {
    std::vector<Bytes> v;
    for (auto& m : out->Messages()) v.push_back(m.bytes);
    return v;
  }
  std::vector<std::string> OutColumn() const {
    return {form.EditMsgOut.Text(), form.EditNoteOut.Text(), form.EditVelociteOut.Text(),
            form.EditCanalOut.Text()};
  }
};

TEST_F(PlaybackTest, TransposesAndForcesTheChannelOfAReceivedNote) {
  form.CheckBoxTransposeOut.SetChecked(true);
  form.EditTransposeOut.SetText("12");
  form.EditMidiCanalOut.SetText("3");
  Play(Event(EventMidiBare, 1, 1000, 144, 60, 100));

  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x92, 72, 100}}));
  EXPECT_EQ(OutColumn(), (std::vector<std::string>{"144", "72", "100", "3"}));
  EXPECT_TRUE(pass.keyStates[60].sounding);
  EXPECT_EQ(pass.keyStates[60].lastSequence, 1u);
  EXPECT_EQ(pass.keyStates[60].lastTime, 1000u);
  EXPECT_EQ(form.KeysPlayed[60].load(), 1);
  EXPECT_EQ(form.KeysPlayed[72].load(), 0);
}

TEST_F(PlaybackTest, WithoutReceiveCanalEventsGoOutOnTheFirstChannel) {
  form.CheckBoxMidiCanalOut.SetChecked(false);
  form.EditMidiCanalOut.SetText("9");
  Play(Event(EventMidiBare, 1, 1000, 144, 64, 90));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 64, 90}}));
  EXPECT_EQ(form.EditCanalOut.Text(), "1");
}

TEST_F(PlaybackTest, DuplicateAndOutdatedNoteEventsAreDropped) {
  Play(Event(EventMidiBare, 5, 1000, 144, 60, 100));
  Play(Event(EventMidiBare, 6, 1010, 144, 60, 100));  // same key already sounding
  EXPECT_EQ(out->Count(), 1u);

  Play(Event(EventMidiBare, 4, 1020, 128, 60, 0));  // older than the key's last change
  EXPECT_EQ(out->Count(), 1u);
  EXPECT_TRUE(pass.keyStates[60].sounding);
  EXPECT_EQ(form.KeysPlayed[60].load(), 1);

  Play(Event(EventMidiBare, 7, 1030, 128, 60, 0));
  EXPECT_EQ(Sent().back(), (Bytes{0x80, 60, 0}));
  EXPECT_FALSE(pass.keyStates[60].sounding);
  EXPECT_EQ(form.KeysPlayed[60].load(), 0);
  EXPECT_EQ(pass.Counters().stale.load(), 2u);

  Play(Event(EventMidiBare, 8, 1040, 128, 60, 0));  // note-off for a silent key
  EXPECT_EQ(out->Count(), 2u);
}

TEST_F(PlaybackTest, NoteOnWithVelocityZeroEndsTheNote) {
  Play(Event(EventMidiBare, 1, 1000, 144, 62, 80));
  Play(Event(EventMidiBare, 2, 1010, 144, 62, 0));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 62, 80}, {0x80, 62, 0}}));
  EXPECT_FALSE(pass.keyStates[62].sounding);
  EXPECT_EQ(form.EditMsgOut.Text(), "128");

  // On a silent key it is a note-off with nothing to end.
  Play(Event(EventMidiBare, 3, 1020, 144, 62, 0));
  EXPECT_EQ(out->Count(), 2u);
}

TEST_F(PlaybackTest, SnapshotRepairsKeys) {
  Play(Event(EventMidiBare, 1, 1000, 144, 40, 70));  // key 40 sounding, lastVelocity 70
  auto snap = Event(EventKeyRefresh, 2, 2000);
  snap->keyOn[40] = 0;  // was lost: end it
  snap->keyOn[50] = 1;  // started recently: start it
  snap->keyRecent[50] = 1;
  snap->keyOn[55] = 1;  // held long ago: not started late
  Play(std::move(snap));

  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 40, 70}, {0x80, 40, 70}, {0x90, 50, 70}}));
  EXPECT_FALSE(pass.keyStates[40].sounding);
  EXPECT_TRUE(pass.keyStates[50].sounding);
  EXPECT_EQ(pass.keyStates[50].lastSequence, 2u);
  EXPECT_FALSE(pass.keyStates[55].sounding);
  EXPECT_EQ(pass.keyStates[55].lastTime, 2000u);
  EXPECT_EQ(form.KeysPlayed[50].load(), 1);

  // A snapshot no newer than what is known of a key leaves it alone.
  auto old = Event(EventKeyRefresh, 3, 2000);
  old->keyOn[60] = 1;
  old->keyRecent[60] = 1;
  Play(std::move(old));
  EXPECT_EQ(out->Count(), 3u);
  EXPECT_TRUE(pass.keyStates[50].sounding);
}

TEST_F(PlaybackTest, RepairedNotesTakeTheVelocityOfTheLastNoteOn) {
  auto first = Event(EventKeyRefresh, 1, 1000);
  first->keyOn[70] = first->keyRecent[70] = 1;
  Play(std::move(first));
  EXPECT_EQ(Sent().back(), (Bytes{0x90, 70, 100}));  // nothing played yet: 100

  Play(Event(EventMidiBare, 2, 1100, 144, 72, 90));
  Play(Event(EventMidiBare, 3, 1200, 128, 72, 0));  // a note-off's velocity is no guide
  auto snap = Event(EventKeyRefresh, 4, 1300);
  snap->keyOn[74] = snap->keyRecent[74] = 1;
  Play(std::move(snap));
  EXPECT_EQ(Sent().back(), (Bytes{0x90, 74, 90}));
  EXPECT_EQ(pass.lastVelocity, 90);
}

TEST_F(PlaybackTest, EventMidiAppliesItsSnapshotButNotToItsOwnKey) {
  Play(Event(EventMidiBare, 1, 1000, 144, 30, 100));
  auto r = Event(EventMidi, 2, 1100, 144, 60, 100);
  r->keyOn[60] = 1;  // the event's own key, just played
  r->keyRecent[60] = 1;
  r->keyOn[30] = 0;  // the note-off of key 30 was lost
  Play(std::move(r));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 30, 100}, {0x90, 60, 100}, {0x80, 30, 100}}));

  // A dropped duplicate still carries a snapshot worth applying.
  auto dup = Event(EventMidi, 3, 1200, 144, 60, 100);
  dup->keyOn[60] = 1;
  dup->keyOn[31] = dup->keyRecent[31] = 1;
  Play(std::move(dup));
  EXPECT_EQ(Sent().back(), (Bytes{0x90, 31, 100}));
}

TEST_F(PlaybackTest, RecordsWaitForTheReceptionBufferToTheMicrosecond) {
  // Due once it has waited more than the buffer since its datagram was read, between any two
  // steps of the 10 ms clock.
  auto first = Event(EventMidiBare, 1, 1000, 144, 60, 100);
  first->arrivalUs = 1'000'123;
  Receive(std::move(first));
  EXPECT_EQ(pass.Pass(1'000'123), 1) << "with no buffer, due as soon as it has waited at all";
  EXPECT_EQ(out->Count(), 0u);
  pass.Pass(1'000'124);
  EXPECT_EQ(out->Count(), 1u);

  auto buffer = Event(EventBuffer, 2, 1020);
  buffer->bufferMs = 250;
  Play(std::move(buffer));
  EXPECT_EQ(form.ReceptionBuffer.load(), 250);

  auto r = Event(EventMidiBare, 3, 2000, 144, 61, 100);
  r->arrivalUs = 2'003'456;
  Receive(std::move(r));
  EXPECT_EQ(pass.Pass(2'100'000), 153'457) << "the rest of its wait";
  pass.Pass(2'253'456);
  EXPECT_EQ(out->Count(), 1u) << "250 ms waited: not more than the buffer";
  pass.Pass(2'253'457);
  EXPECT_EQ(out->Count(), 2u);
}

TEST_F(PlaybackTest, TheWaitIsTheTimeSpentHereWhateverTheSendersTime) {
  uint32_t sequence = 0;
  for (int32_t time : {6000, -30, 0, INT32_MIN, INT32_MAX}) {
    auto r = Event(EventMidiBare, ++sequence, time, 176, 7, 1);
    r->arrivalUs = Us(1000 * sequence);
    Receive(std::move(r));
    pass.Pass(Us(1000 * sequence));
    EXPECT_EQ(out->Count(), sequence - 1) << time;
    pass.Pass(Us(1000 * sequence) + 1);
    EXPECT_EQ(out->Count(), sequence) << time;
  }
}

TEST_F(PlaybackTest, ALowerSequenceArrivingLaterPlaysFirst) {
  form.ReceptionBuffer.store(100);
  Receive(Event(EventMidiBare, 10, 1000, 144, 60, 100));
  pass.Pass(Us(1050));
  Receive(Event(EventMidiBare, 9, 1000, 144, 59, 100));
  pass.Pass(Us(1110));
  pass.Pass(Us(1120));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 59, 100}, {0x90, 60, 100}}));
}

TEST_F(PlaybackTest, OnePassActsOnOneReceivedThenOneLocalRecord) {
  form.CheckBoxLocalMIDI.SetChecked(true);
  Receive(Event(EventMidiBare, 1, 1000, 144, 60, 100));
  Receive(Event(EventMidiBare, 2, 1000, 144, 61, 100));
  form.LocalQueue.Add(Event(EventMidi, 0, 1000, 144, 62, 100));
  pass.Pass(Us(1010));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 60, 100}, {0x91, 62, 100}}));
  pass.Pass(Us(1020));
  EXPECT_EQ(out->Count(), 3u);
}

TEST_F(PlaybackTest, ThePassSaysWhenItsNextRecordIsDue) {
  EXPECT_EQ(pass.Pass(Us(1000)), kNoDeadlineUs) << "nothing queued";
  // Woken at the moment the pass names (or after the thread's longest sleep), a record plays
  // the microsecond its wait passes the buffer, wherever that falls between clock steps.
  uint32_t sequence = 0;
  for (int32_t buffer : {0, 50, 65535}) {
    for (int64_t arrival : {Us(100'000) + 1, Us(200'000) + 4'567, Us(300'000) + 9'999}) {
      SCOPED_TRACE("buffer " + std::to_string(buffer) + " arrival " + std::to_string(arrival));
      form.ReceptionBuffer.store(buffer);
      auto r = Event(EventMidiBare, ++sequence, 7, 176, 7, 1);
      r->arrivalUs = arrival;
      Receive(std::move(r));
      const size_t before = out->Count();
      int64_t now = arrival;
      for (int64_t wait = pass.Pass(now); out->Count() == before; wait = pass.Pass(now)) {
        ASSERT_GT(wait, 0);
        now += std::min<int64_t>(wait, Us(100));
      }
      EXPECT_EQ(now, arrival + Us(buffer) + 1);
    }
  }

  // A local record the same way; and a chord due at once plays in passes that follow at once.
  form.ReceptionBuffer.store(0);
  form.LocalBuffer.store(30);
  form.LocalQueue.Add(Event(EventMidi, 0, 1000, 144, 50, 100));
  EXPECT_EQ(pass.Pass(Us(1000)), Us(30) + 1);
  EXPECT_EQ(pass.Pass(Us(1030)), 1);
  for (int note = 60; note < 64; ++note) Receive(Event(EventMidiBare, ++sequence, 1040, 144, note));
  EXPECT_EQ(pass.Pass(Us(1050)), 0) << "the local note and one of the chord played, more are due";
  EXPECT_EQ(pass.Pass(Us(1050)), 0);
  EXPECT_EQ(pass.Pass(Us(1050)), 0);
  EXPECT_EQ(pass.Pass(Us(1050)), kNoDeadlineUs);
  EXPECT_EQ(out->Count() - 3 * 3, 5u);
}

// A stream played at a steady rate: sent every `periodUs` by a sender clock running `ppm` fast,
// delayed by the network `baseUs` plus 0 to `jitterUs`. The sender's timestamps wrap on the way.
struct Stream {
  int64_t startUs;
  int64_t periodUs;
  double ppm;
  int64_t baseUs;
  int64_t jitterUs;
  uint32_t seed;

  int64_t SentUs(uint32_t i) const { return startUs + i * periodUs; }
  std::vector<std::pair<int64_t, RecordPtr>> Arrivals(uint32_t count) const {
    std::vector<std::pair<int64_t, RecordPtr>> v;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> jitter(0, jitterUs);
    for (uint32_t i = 0; i < count; ++i) {
      auto r = MakeRecord(EventMidiBare);
      r->source = seed;  // one session per stream
      r->sequence = i + 1;
      r->status = i % 2 == 0 ? 144 : 128;
      r->note = 60;
      r->velocity = i % 2 == 0 ? 100 : 0;
      const double senderMs = static_cast<double>(i * periodUs) * (1 + ppm * 1e-6) / 1000;
      r->time = static_cast<int32_t>(0xFFFFF000u + static_cast<uint32_t>(senderMs));
      r->arrivalUs = SentUs(i) + baseUs + jitter(rng);
      v.emplace_back(r->arrivalUs, std::move(r));
    }
    return v;
  }
};

class SteadyTest : public PlaybackTest {
 protected:
  // Runs the playback as its thread would: woken by each arrival and at each moment a pass
  // names. Returns the moment each message sounded.
  std::vector<int64_t> Run(std::vector<std::pair<int64_t, RecordPtr>> arrivals) {
    std::vector<int64_t> played;
    int64_t wake = kNoDeadlineUs;
    size_t next = 0;
    for (;;) {
      int64_t now = wake;
      if (next < arrivals.size() && arrivals[next].first <= wake) {
        now = arrivals[next].first;
        Receive(std::move(arrivals[next++].second));
      } else if (wake == kNoDeadlineUs) {
        return played;
      }
      const size_t before = out->Count();
      const int64_t wait = pass.Pass(now);
      played.insert(played.end(), out->Count() - before, now);
      wake = wait == kNoDeadlineUs ? kNoDeadlineUs : now + wait;
    }
  }
  // The largest minus the smallest of (played - sent) from note `from` on.
  static int64_t Spread(const std::vector<int64_t>& played, const Stream& s, uint32_t from) {
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (uint32_t i = from; i < played.size(); ++i) {
      lo = std::min(lo, played[i] - s.SentUs(i));
      hi = std::max(hi, played[i] - s.SentUs(i));
    }
    return hi - lo;
  }
  // The same from the tenth to the ninetieth percentile: what a listener hears as the beat.
  static int64_t CentralSpread(const std::vector<int64_t>& played, const Stream& s, uint32_t from) {
    std::vector<int64_t> d;
    for (uint32_t i = from; i < played.size(); ++i) d.push_back(played[i] - s.SentUs(i));
    std::sort(d.begin(), d.end());
    return d[d.size() * 9 / 10] - d[d.size() / 10];
  }
};

TEST_F(SteadyTest, AJitteredStreamPlaysAtItsSendersIntervals) {
  form.ReceptionBuffer.store(30);
  // 24 events a second, each delayed 15 to 25 ms.
  const Stream s{Us(5'000'000), 41'667, 0, Us(15), Us(10), 7};
  const auto plain = Run(s.Arrivals(480));
  ASSERT_EQ(plain.size(), 480u);
  EXPECT_GT(Spread(plain, s, 0), Us(9)) << "by arrival, the jitter passes through";

  form.CheckBoxSteady.SetChecked(true);
  const Stream later{Us(6'000'000), 41'667, 0, Us(15), Us(10), 8};
  const auto steady = Run(later.Arrivals(480));
  ASSERT_EQ(steady.size(), 480u);
  // Once the first seconds have shown the least delayed packets, every note sounds one fixed
  // delay after it was played, to within the sender's millisecond and the window's wander; and
  // the wander of the window's minimum stays out of the beat.
  EXPECT_LE(Spread(steady, later, 72), 2'000);
  EXPECT_LE(CentralSpread(steady, later, 72), 1'000);
  EXPECT_EQ(pass.Counters().late.load(), 0u);
  for (size_t i = 0; i < steady.size(); ++i) {
    EXPECT_LE(steady[i] - later.SentUs(static_cast<uint32_t>(i)), Us(15 + 10 + 30)) << i;
  }
}

TEST_F(SteadyTest, AFastSenderClockIsFollowedAndALatePacketPlaysAtOnce) {
  form.CheckBoxSteady.SetChecked(true);
  form.ReceptionBuffer.store(20);
  // For 100 s the sender's clock gains 100 ppm: 10 ms by the end. One packet is held up 50 ms.
  const Stream s{Us(1'000'000), Us(100), 100, Us(10), Us(4), 3};
  auto arrivals = s.Arrivals(1000);
  const int64_t heldUp = arrivals[700].first + Us(50);
  arrivals[700].first = arrivals[700].second->arrivalUs = heldUp;
  const auto played = Run(std::move(arrivals));
  ASSERT_EQ(played.size(), 1000u);

  EXPECT_EQ(pass.Counters().late.load(), 1u);
  EXPECT_EQ(form.EditNbrLate.Text(), "1");
  EXPECT_EQ(played[700], heldUp);
  for (uint32_t i = 20; i < played.size(); ++i) {
    if (i == 700) continue;
    // 10 ms of network and 20 of buffer, give or take the sender's millisecond and the window's
    // wander, and no drift: the mapping follows the sender's clock.
    const int64_t delay = played[i] - s.SentUs(i);
    EXPECT_GE(delay, Us(28)) << i;
    EXPECT_LE(delay, Us(33)) << i;
  }
}

TEST_F(PlaybackTest, LocalAuditionAfterTheLocalBufferOnTheLocalChannel) {
  Play(Event(EventMidiBare, 1, 900, 144, 60, 100));  // the peer sounds key 60
  form.CheckBoxLocalMIDI.SetChecked(true);
  form.EditLocalCanal.SetText("5");
  form.LocalBuffer.store(50);
  form.ReceptionBuffer.store(1000);  // local audition does not wait for the peer's buffer
  form.LocalQueue.Add(Event(EventMidi, 0, 1000, 144, 60, 90));

  pass.Pass(Us(1050));
  EXPECT_EQ(out->Count(), 1u);
  pass.Pass(Us(1060));
  EXPECT_EQ(Sent().back(), (Bytes{0x94, 60, 90}));
  EXPECT_EQ(OutColumn(), (std::vector<std::string>{"144", "60", "90", "5"}));
  // Local events leave the peer's key table alone but clear the key's mark.
  EXPECT_EQ(form.KeysPlayed[60].load(), 0);
  EXPECT_TRUE(pass.keyStates[60].sounding);

  form.CheckBoxLocalMIDI.SetChecked(false);
  form.LocalQueue.Add(Event(EventMidi, 0, 1100, 128, 60, 0));
  pass.Pass(Us(1200));
  EXPECT_EQ(Sent().back(), (Bytes{0x84, 60, 0}));  // ends the note where it started

  form.LocalQueue.Add(Event(EventKeyRefresh, 0, 1100));  // only MIDI events are auditioned
  pass.Pass(Us(1300));
  EXPECT_EQ(out->Count(), 3u);
  EXPECT_EQ(form.LocalQueue.Count(), 0);
}

TEST_F(PlaybackTest, NoteOffEndsTheNoteThatWasSentAfterSettingsChange) {
  form.CheckBoxTransposeOut.SetChecked(true);
  form.EditTransposeOut.SetText("12");
  form.EditMidiCanalOut.SetText("3");
  Play(Event(EventMidiBare, 1, 1000, 144, 60, 100));
  Play(Event(EventMidiBare, 2, 1010, 160, 60, 50));  // pressure follows the sounding note

  form.EditTransposeOut.SetText("-5");
  form.EditMidiCanalOut.SetText("7");
  Play(Event(EventMidiBare, 3, 1020, 160, 60, 40));
  Play(Event(EventMidiBare, 4, 1030, 128, 60, 0));
  Play(Event(EventMidiBare, 5, 1040, 144, 60, 100));  // a new note takes the new settings

  EXPECT_EQ(Sent(),
            (std::vector<Bytes>{
                {0x92, 72, 100}, {0xA2, 72, 50}, {0xA2, 72, 40}, {0x82, 72, 0}, {0x96, 55, 100}}));
  EXPECT_EQ(OutColumn(), (std::vector<std::string>{"144", "55", "100", "7"}));
}

TEST_F(PlaybackTest, NotesTransposedOutOfRangeAreNotSent) {
  form.CheckBoxTransposeOut.SetChecked(true);
  form.EditTransposeOut.SetText("12");
  Play(Event(EventMidiBare, 1, 1000, 144, 120, 100));
  form.EditTransposeOut.SetText("0");
  Play(Event(EventMidiBare, 2, 1010, 128, 120, 0));  // its note-on never went out
  EXPECT_EQ(out->Count(), 0u);
  EXPECT_EQ(pass.Counters().outOfRange.load(), 2u);
  EXPECT_FALSE(pass.keyStates[120].sounding);
  EXPECT_EQ(form.KeysPlayed[120].load(), 0);

  form.EditTransposeOut.SetText("-12");
  Play(Event(EventMidiBare, 3, 1020, 144, 5, 100));
  EXPECT_EQ(out->Count(), 0u);
}

TEST_F(PlaybackTest, SettingsTextsOutOfRangeKeepTheLastGoodValue) {
  form.CheckBoxTransposeOut.SetChecked(true);
  form.EditTransposeOut.SetText("2");
  form.EditMidiCanalOut.SetText("4");
  Play(Event(EventMidiBare, 1, 1000, 144, 60, 100));
  const std::vector<std::pair<const char*, const char*>> bad = {
      {"abc", "abc"}, {"", ""}, {"17", "128"}, {"0", "-128"}, {"-1", "1.5"}, {"99999999999", " 3"}};
  uint32_t seq = 2;
  for (auto [canal, transpose] : bad) {
    form.EditMidiCanalOut.SetText(canal);
    form.EditTransposeOut.SetText(transpose);
    Play(Event(EventMidiBare, seq++, 1010, 144, 61, 100));
    Play(Event(EventMidiBare, seq++, 1010, 128, 61, 0));
    EXPECT_EQ(Sent().back(), (Bytes{0x83, 63, 0})) << canal << " / " << transpose;
  }
  form.EditTransposeOut.SetText("-127");
  form.EditMidiCanalOut.SetText("16");
  Play(Event(EventMidiBare, seq++, 1020, 144, 127, 100));
  EXPECT_EQ(Sent().back(), (Bytes{0x9F, 0, 100}));
}

TEST_F(PlaybackTest, OtherChannelMessagesGoOutAsTheyAreAndLeaveTheKeyTablesAlone) {
  form.CheckBoxTransposeOut.SetChecked(true);
  form.EditTransposeOut.SetText("12");
  form.EditMidiCanalOut.SetText("2");
  Play(Event(EventMidiBare, 1, 1000, 176, 0, 0));    // controller 0
  Play(Event(EventMidiBare, 2, 1010, 192, 0, 77));   // program 0: one data byte
  Play(Event(EventMidiBare, 3, 1020, 224, 0, 64));   // pitch bend, low byte 0
  Play(Event(EventMidiBare, 4, 1030, 208, 100, 0));  // channel pressure
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0xB1, 0, 0}, {0xC1, 0}, {0xE1, 0, 64}, {0xD1, 100}}));
  for (int k : {0, 100}) {
    EXPECT_FALSE(pass.keyStates[k].sounding);
    EXPECT_EQ(pass.keyStates[k].lastSequence, 0u);
    EXPECT_EQ(form.KeysPlayed[k].load(), 0);
  }
}

TEST_F(PlaybackTest, HostileRecordsAreDroppedAndCounted) {
  struct Case {
    int32_t status, note, velocity;
  };
  for (Case c : {Case{144, 128, 100}, Case{144, -1, 100}, Case{144, 60, 128}, Case{128, 60, -5},
                 Case{0x95, 60, 100}, Case{0xF0, 1, 1}, Case{0x40, 1, 1}, Case{0, 0, 0},
                 Case{176, 7, 1000}, Case{INT32_MIN, INT32_MAX, INT32_MIN}}) {
    auto r = Event(EventMidi, 1, 1000, c.status, c.note, c.velocity);
    r->keyOn.fill(0xFF);
    r->keyRecent.fill(0xFF);
    Play(std::move(r));
  }
  EXPECT_EQ(out->Count(), 0u);
  EXPECT_EQ(pass.Counters().invalid.load(), 10u);

  auto unknown = Event(99, 1, 1000);
  Play(std::move(unknown));
  auto chat = Event(EventChat, 1, 1000);
  Play(std::move(chat));
  EXPECT_EQ(form.ReceiveQueue.Count(), 0);

  Play(Event(EventMidiBare, 2, 1000, 144, 60, 127));
  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 60, 127}}));
}

TEST_F(PlaybackTest, ANewSessionOfThePeerIsHeardAtOnce) {
  auto on = Event(EventMidiBare, 50000, 900000, 144, 60, 100);
  on->source = 0x1111;
  Play(std::move(on));

  // The restarted peer numbers from a lower sequence and time.
  auto off = Event(EventMidiBare, 10, 1000, 128, 60, 0);
  off->source = 0x2222;
  Play(std::move(off));
  auto snap = Event(EventKeyRefresh, 11, 1010);
  snap->source = 0x2222;
  snap->keyOn[64] = snap->keyRecent[64] = 1;
  Play(std::move(snap));

  EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x90, 60, 100}, {0x80, 60, 0}, {0x90, 64, 100}}));
  EXPECT_EQ(pass.Counters().sourceChanges.load(), 1u);
}

TEST_F(PlaybackTest, NothingIsSentWithoutAnOpenOutputButTheStateMovesOn) {
  form.SetAudition(false);
  Play(Event(EventMidiBare, 1, 1000, 144, 60, 100));
  EXPECT_EQ(out->Count(), 0u);
  EXPECT_TRUE(pass.keyStates[60].sounding);
  EXPECT_EQ(form.KeysPlayed[60].load(), 1);
  EXPECT_EQ(form.EditNoteOut.Text(), "60");
}

}  // namespace
}  // namespace tandem
