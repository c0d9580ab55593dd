#include "send/PrepareSend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tandem {
namespace {

// Steps the pass as the thread does (every 2 ms) against a clock of 10 ms steps.
class PrepareSendTest : public ::testing::Test {
 protected:
  static constexpr int32_t kStart = 100000;

  RecordPtr Midi(int status, int note, int velocity = 80) {
    auto r = MakeRecord(EventMidi);
    r->status = status;
    r->note = note;
    r->velocity = velocity;
    return r;
  }

  void Make() {
    pass_ = std::make_unique<PrepareSendPass>(form_, [this] { return clock_; });
  }

  // Runs passes for `ms` milliseconds of real time, collecting what reaches the send queue.
  void RunFor(int32_t ms) {
    for (int32_t i = 0; i < ms; i += 2) {
      micros_ += 2;
      clock_ = kStart + static_cast<int32_t>(micros_ / 10 * 10);
      pass_->Pass(clock_);
      Drain();
    }
  }

  void Drain() {
    while (auto r = form_.SendQueue.DeleteFirst()) {
      if (r->kind == EventKeyRefresh) refreshes_.push_back(clock_);
      if (r->kind == EventBuffer) buffers_.push_back({clock_, r->bufferMs});
      if (r->kind == EventMidi || r->kind == EventChat) forwarded_.push_back(std::move(r));
    }
  }

  TFormCtl form_;
  int64_t micros_ = 0;  // elapsed ms since the start, before rounding to the clock's steps
  int32_t clock_ = kStart;
  std::unique_ptr<PrepareSendPass> pass_;
  std::vector<int32_t> refreshes_;
  std::vector<std::pair<int32_t, int32_t>> buffers_;
  std::vector<RecordPtr> forwarded_;
};

TEST_F(PrepareSendTest, VariableRateFollowsTheGrowingInterval) {
  form_.SetRetransmission(RetransVariable);
  Make();
  RunFor(7000);  // a pause first
  form_.OutgoingQueue.Add(Midi(144, 60));
  RunFor(2);
  int32_t t = clock_;
  RunFor(8000);
  std::vector<int32_t> expected;
  for (int32_t d : {0, 20, 50, 100, 190, 360, 690, 1340, 2630}) expected.push_back(t + d);
  EXPECT_EQ(refreshes_, expected);
  EXPECT_FALSE(pass_->Active());
}

TEST_F(PrepareSendTest, ConstantRateRefreshesEveryClockStepUntilTheStop) {
  form_.SetRetransmission(RetransConstant);
  Make();
  RunFor(6000);
  form_.OutgoingQueue.Add(Midi(144, 60));
  RunFor(2);
  int32_t t = clock_;
  RunFor(7000);
  ASSERT_FALSE(refreshes_.empty());
  EXPECT_EQ(refreshes_.front(), t);
  // The refresh step runs before the stop test, so the pass that stops still makes one.
  EXPECT_EQ(refreshes_.back(), t + 5010);
  EXPECT_EQ(refreshes_.size(), 502u);
  for (size_t i = 1; i < refreshes_.size(); ++i) EXPECT_EQ(refreshes_[i] - refreshes_[i - 1], 10);
}

TEST_F(PrepareSendTest, NewEventRestartsTheCadenceFromBase) {
  form_.SetRetransmission(RetransVariable);
  Make();
  RunFor(6000);
  form_.OutgoingQueue.Add(Midi(144, 60));
  RunFor(400);  // refreshes at T, +20, +50, +100, +190, +360: interval now 320
  EXPECT_EQ(refreshes_.size(), 6u);
  EXPECT_EQ(pass_->Interval(), 320);
  refreshes_.clear();
  form_.OutgoingQueue.Add(Midi(128, 60));
  RunFor(2);
  int32_t t = clock_;
  RunFor(120);
  // Restarted at base 5 the interval is 10 after the first refresh, though the last refresh
  // time was not reset: the first comes once more than 5 ms have passed since the last one.
  ASSERT_GE(refreshes_.size(), 3u);
  EXPECT_LE(refreshes_[0] - t, 10);
  EXPECT_EQ(refreshes_[1] - refreshes_[0], 20);
  EXPECT_EQ(refreshes_[2] - refreshes_[1], 30);

  // Once stopped, an event after the pause starts it again.
  RunFor(6000);
  EXPECT_FALSE(pass_->Active());
  refreshes_.clear();
  form_.OutgoingQueue.Add(Midi(176, 7, 100));  // a controller prolongs the cadence too
  RunFor(2);
  EXPECT_TRUE(pass_->Active());
  RunFor(60);
  EXPECT_EQ(refreshes_.size(), 3u);
}

TEST_F(PrepareSendTest, NoRefreshWithoutARateMode) {
  for (auto mode : {RetransNone, RetransInMsg}) {
    form_.SetRetransmission(mode);
    Make();
    form_.OutgoingQueue.Add(Midi(144, 60));
    RunFor(5100);
    EXPECT_TRUE(refreshes_.empty());
    EXPECT_TRUE(pass_->Active());  // the cadence state stays as it was
  }
  // Choosing a rate mode long after the event gives one refresh, then idle.
  form_.SetRetransmission(RetransConstant);
  RunFor(100);
  EXPECT_EQ(refreshes_.size(), 1u);
  EXPECT_FALSE(pass_->Active());
}

TEST_F(PrepareSendTest, BufferAnnouncedOnEveryMeasurement) {
  form_.LocalBuffer.store(42);
  Make();
  RunFor(2100);
  ASSERT_EQ(buffers_.size(), 4u);
  for (size_t i = 0; i < buffers_.size(); ++i) {
    EXPECT_EQ(buffers_[i].first, kStart + 510 * static_cast<int32_t>(i + 1));
    EXPECT_EQ(buffers_[i].second, 42);
  }
  EXPECT_EQ(form_.LocalBuffer.load(), 42);  // not automatic: left alone
  EXPECT_EQ(form_.LocalSpeed.load(), 0.0f);
}

TEST_F(PrepareSendTest, AutoBufferFollowsTheSpeed) {
  form_.LocalBuffer.store(42);
  form_.SetAutomateLocalBuffer(true);
  Make();
  // 35 note-ons 60 ms apart: the speed over the 5 s window becomes 7 note-ons per second.
  for (int i = 0; i < 35; ++i) {
    form_.OutgoingQueue.Add(Midi(144, 40 + i));
    RunFor(60);
  }
  RunFor(500);
  EXPECT_EQ(form_.LocalSpeed.load(), 7.0f);
  EXPECT_EQ(form_.LocalBuffer.load(), AutoLocalBuffer(7));
  EXPECT_EQ(buffers_.back().second, 48);
}

TEST_F(PrepareSendTest, KeysSentMarkedOnTheWay) {
  Make();
  form_.OutgoingQueue.Add(Midi(144, 60));
  form_.OutgoingQueue.Add(Midi(144, 64, 0));  // velocity 0 still marks the key
  form_.OutgoingQueue.Add(Midi(176, 62, 10));
  form_.OutgoingQueue.Add(Midi(128, 60));
  form_.OutgoingQueue.Add(Midi(144, 300));  // no index out of range
  form_.OutgoingQueue.Add(Midi(144, -1));
  RunFor(2);
  EXPECT_EQ(form_.KeysSent[60].load(), 1);
  EXPECT_EQ(form_.KeysSent[64].load(), 0);
  RunFor(2);
  EXPECT_EQ(form_.KeysSent[64].load(), 1);
  RunFor(2);
  EXPECT_EQ(form_.KeysSent[62].load(), 0);
  RunFor(2);
  EXPECT_EQ(form_.KeysSent[60].load(), 0);
  RunFor(4);
  ASSERT_EQ(forwarded_.size(), 6u);  // one per pass, in order, all forwarded
  EXPECT_EQ(forwarded_[4]->note, 300);
  int sounding = 0;
  for (auto& k : form_.KeysSent) sounding += k.load();
  EXPECT_EQ(sounding, 1);
}

TEST_F(PrepareSendTest, ChatForwardedUnchangedWithoutCadence) {
  form_.SetRetransmission(RetransConstant);
  Make();
  form_.EditChat.SetText("hello");
  form_.ButtonChatSendClick();
  EventRecord* original = form_.OutgoingQueue.Get(0);
  RunFor(100);
  ASSERT_EQ(forwarded_.size(), 1u);
  EXPECT_EQ(forwarded_[0].get(), original);  // the same record, not a copy
  EXPECT_STREQ(forwarded_[0]->text.data(), "hello");
  EXPECT_FALSE(pass_->Active());
  EXPECT_TRUE(refreshes_.empty());
}

TEST_F(PrepareSendTest, MadeRecordsGoAheadOfTheForwardedOne) {
  form_.SetRetransmission(RetransConstant);
  Make();
  form_.OutgoingQueue.Add(Midi(144, 60));
  form_.OutgoingQueue.Add(Midi(144, 61));
  clock_ += 600;
  pass_->Pass(clock_);  // measurement, then the first note
  pass_->Pass(clock_);  // the first refresh, then the second note
  std::vector<int32_t> kinds, notes;
  while (auto r = form_.SendQueue.DeleteFirst()) {
    kinds.push_back(r->kind);
    if (r->kind == EventMidi) notes.push_back(r->note);
  }
  EXPECT_EQ(kinds, (std::vector<int32_t>{EventBuffer, EventMidi, EventKeyRefresh, EventMidi}));
  EXPECT_EQ(notes, (std::vector<int32_t>{60, 61}));
}

TEST_F(PrepareSendTest, BadSettingTextKeepsTheLastGoodValue) {
  form_.SetRetransmission(RetransVariable);
  form_.EditBaseValue.SetText("7");
  form_.EditMulValue.SetText("3");
  Make();
  form_.EditBaseValue.SetText("seven");
  form_.EditMulValue.SetText("");
  form_.OutgoingQueue.Add(Midi(144, 60));
  RunFor(2);
  RunFor(20);
  EXPECT_EQ(refreshes_.size(), 1u);
  EXPECT_EQ(pass_->Interval(), 21);  // base 7, multiplied by 3 after the first refresh

  // A zero multiplier: a refresh at every clock step until the stop.
  form_.EditMulValue.SetText("0");
  RunFor(60);
  refreshes_.clear();
  RunFor(40);
  EXPECT_EQ(refreshes_.size(), 4u);
}

TEST_F(PrepareSendTest, HugeMultiplierDoesNotWrapIntoAFlood) {
  form_.SetRetransmission(RetransVariable);
  form_.EditMulValue.SetText("500000000");  // 5 x this wraps to a negative 32-bit value
  Make();
  form_.OutgoingQueue.Add(Midi(144, 60));
  RunFor(200);
  EXPECT_EQ(refreshes_.size(), 1u);
  EXPECT_GT(pass_->Interval(), 0);
}

// What reaches the send queue (clock, kind, note) when notes are played at the given real ms,
// with the pass stepped every 2 ms, or as its thread steps it: at once while it leaves work
// behind, at a producer's Add, else at the clock step its reported deadline falls on.
std::vector<std::array<int32_t, 3>> SendTimeline(Retransmission mode, const char* mult,
                                                 const std::vector<std::pair<int, int>>& notes,
                                                 bool byDeadlines) {
  constexpr int32_t kStart = 100000;
  constexpr int64_t kEnd = 16000;
  TFormCtl form;
  form.SetRetransmission(mode);
  form.EditMulValue.SetText(mult);
  form.CheckBoxAutomateLocalBuffer.SetChecked(true);
  int64_t ms = 0;
  auto clock = [&] { return kStart + static_cast<int32_t>(ms / 10 * 10); };
  PrepareSendPass pass(form, clock);
  std::vector<std::array<int32_t, 3>> seen;
  size_t next = 0;
  int32_t wait = 0;
  int immediate = 0;
  while (ms < kEnd) {
    if (!byDeadlines) {
      ms += 2;
    } else if (wait > 0) {
      immediate = 0;
      const int64_t due = (int64_t{clock()} + wait + 9) / 10 * 10 - kStart;
      ms = next < notes.size() ? std::min<int64_t>(due, notes[next].first) : due;
    } else if (++immediate > 100) {
      ADD_FAILURE() << "a pass with nothing to do asked to run again at once, at " << ms;
      break;
    }
    if (ms > kEnd) break;
    while (next < notes.size() && notes[next].first <= ms) {
      auto r = MakeRecord(EventMidi);
      r->status = 144;
      r->note = notes[next++].second;
      form.OutgoingQueue.Add(std::move(r));
    }
    wait = pass.Pass(clock());
    while (auto r = form.SendQueue.DeleteFirst()) seen.push_back({clock(), r->kind, r->note});
  }
  return seen;
}

TEST(PrepareSendDeadlines, WakingOnlyAtTheReportedDeadlinesChangesNothing) {
  // A chord, single notes, and a pause long enough for the cadence to stop and start again.
  // Each note comes early enough in its clock step for the 2 ms passes to restart the cadence
  // within the step; the thread does that in the very next pass.
  const std::vector<std::pair<int, int>> notes = {{3000, 60}, {3000, 64}, {3000, 67}, {3404, 62},
                                                  {3672, 65}, {5000, 70}, {11214, 72}};
  const std::pair<Retransmission, const char*> cases[] = {{RetransNone, "2"},
                                                          {RetransConstant, "2"},
                                                          {RetransVariable, "2"},
                                                          {RetransVariable, "3"},
                                                          {RetransVariable, "0"}};
  for (auto [mode, mult] : cases) {
    SCOPED_TRACE(std::string("mode ") + std::to_string(mode) + " multiplier " + mult);
    auto polled = SendTimeline(mode, mult, notes, false);
    EXPECT_EQ(SendTimeline(mode, mult, notes, true), polled);
    EXPECT_GT(polled.size(), notes.size());
  }
}

TEST(ThreadPrepareSendTest, MovesRecordsWhileRunning) {
  TFormCtl form;
  ThreadPrepareSend thread(form);
  thread.Start();
  auto r = MakeRecord(EventMidi);
  r->status = 144;
  r->note = 70;
  form.OutgoingQueue.Add(std::move(r));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (form.SendQueue.Count() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread.Stop();
  EXPECT_EQ(form.KeysSent[70].load(), 1);
  ASSERT_GE(form.SendQueue.Count(), 1);
}

}  // namespace
}  // namespace tandem
