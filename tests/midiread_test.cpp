#include "sources/MidiRead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "TestTiming.h"
#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using test::WaitFor;

class CaptureTest : public ::testing::Test {
 protected:
  TFormCtl form;

  bool Capture(const Bytes& bytes, int32_t now = 5000) {
    return ThreadMidiRead::MidiInputCallback(form, bytes.data(), bytes.size(), now,
                                             int64_t{now} * 1000);
  }
  std::vector<std::string> InColumn() const {
    return {form.EditByte1.Text(), form.EditCanal.Text(), form.EditByte2.Text(),
            form.EditByte3.Text()};
  }
  RecordPtr TakeOutgoing() { return form.OutgoingQueue.DeleteFirst(); }
};

TEST_F(CaptureTest, ANoteOnIsShownAndQueuedForThePeer) {
  EXPECT_TRUE(Capture({0x93, 60, 100}, 4321));
  EXPECT_EQ(InColumn(), (std::vector<std::string>{"147", "4", "60", "100"}));
  auto r = TakeOutgoing();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, EventMidi);
  EXPECT_EQ(r->status, 144);
  EXPECT_EQ(r->channel, 3);
  EXPECT_EQ(r->note, 60);
  EXPECT_EQ(r->velocity, 100);
  EXPECT_EQ(r->time, 4321);
  EXPECT_EQ(form.OutgoingQueue.Count(), 0);
  EXPECT_EQ(form.LocalQueue.Count(), 0);
}

TEST_F(CaptureTest, LocalChannelQueuesACopyOnTheLocalChannel) {
  form.CheckBoxLocalMIDI.SetChecked(true);
  EXPECT_TRUE(Capture({0x93, 60, 100}));
  auto local = form.LocalQueue.DeleteFirst();
  ASSERT_TRUE(local);
  EXPECT_EQ(local->kind, EventMidi);
  EXPECT_EQ(local->status, 144);
  EXPECT_EQ(local->channel, 2);
  EXPECT_EQ(local->note, 60);
  EXPECT_EQ(local->velocity, 100);
  ASSERT_TRUE(TakeOutgoing());
}

TEST_F(CaptureTest, TheLocalCopyIsQueuedBeforeTheOutgoingRecord) {
  form.CheckBoxLocalMIDI.SetChecked(true);
  // Hold the outgoing queue's lock: the capture can only have queued its local copy meanwhile.
  form.OutgoingQueue.Add(MakeRecord(EventChat));
  std::mutex m;
  std::condition_variable cv;
  bool holding = false, release = false;
  std::thread holder([&] {
    form.OutgoingQueue.TakeFirstIf([&](const EventRecord&) {
      std::unique_lock lock(m);
      holding = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
      return false;
    });
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return holding; });
  }
  std::thread capture([&] { Capture({0x90, 61, 90}); });
  EXPECT_TRUE(WaitFor([&] { return form.LocalQueue.Count() == 1; }));
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  holder.join();
  capture.join();
  EXPECT_EQ(form.OutgoingQueue.Count(), 2);
}

TEST_F(CaptureTest, EveryChannelMessageIsKeptEvenWithZeroData) {
  const std::vector<Bytes> kept = {
      {0x90, 0, 64},    // note 0
      {0xC0, 0},        // program 0
      {0xB0, 0, 0},     // controller 0 (bank select)
      {0xE0, 0, 0x40},  // pitch bend centre: low byte 0
      {0xD5, 0},        // channel pressure 0
      {0xA0, 0, 10},    // poly pressure on note 0
  };
  for (const auto& m : kept) EXPECT_TRUE(Capture(m)) << int(m[0]);
  ASSERT_EQ(form.OutgoingQueue.Count(), 6);

  auto program = form.OutgoingQueue.Get(1);
  EXPECT_EQ(program->status, 0xC0);
  EXPECT_EQ(program->note, 0);
  EXPECT_EQ(program->velocity, 0);
  auto bend = form.OutgoingQueue.Get(3);
  EXPECT_EQ(bend->status, 0xE0);
  EXPECT_EQ(bend->note, 0);
  EXPECT_EQ(bend->velocity, 0x40);
  EXPECT_EQ(form.OutgoingQueue.Get(4)->channel, 5);
  EXPECT_EQ(InColumn(), (std::vector<std::string>{"160", "1", "0", "10"}));
}

TEST_F(CaptureTest, SystemShortAndMalformedMessagesAreDropped) {
  const std::vector<Bytes> dropped = {
      {0xF8},              // timing clock
      {0xFE},              // active sensing
      {0xFA},              // start
      {0xF2, 1, 2},        // song position
      {0xF0, 1, 2, 0xF7},  // system exclusive
      {0x90, 60},          // note-on without velocity
      {0xC0},              // program change without program
      {},                  // nothing at all
      {60, 100},           // running status that was not expanded
      {0x90, 0x80, 10},    // a status byte where data belongs
      {0xB0, 7, 0xFF},
  };
  for (const auto& m : dropped) EXPECT_FALSE(Capture(m));
  EXPECT_FALSE(ThreadMidiRead::MidiInputCallback(form, nullptr, 3, 0, 0));
  EXPECT_EQ(form.OutgoingQueue.Count(), 0);
  EXPECT_EQ(InColumn(), (std::vector<std::string>{"---", "---", "---", "---"}));

  // Extra bytes after a complete message are ignored.
  EXPECT_TRUE(Capture({0x80, 64, 0, 0x42}));
  auto off = TakeOutgoing();
  EXPECT_EQ(off->status, 128);
  EXPECT_EQ(off->velocity, 0);
}

TEST_F(CaptureTest, NoteOnWithVelocityZeroBecomesANoteOff) {
  form.CheckBoxLocalMIDI.SetChecked(true);
  EXPECT_TRUE(Capture({0x94, 64, 0}));
  EXPECT_EQ(InColumn(), (std::vector<std::string>{"148", "5", "64", "0"}));
  auto r = TakeOutgoing();
  EXPECT_EQ(r->status, 128);
  EXPECT_EQ(r->velocity, 0);
  EXPECT_EQ(r->channel, 4);
  EXPECT_EQ(form.LocalQueue.DeleteFirst()->status, 128);
}

// Starts capture threads the way the application does.
class CaptureServices : public FormServices {
 public:
  CaptureServices(TFormCtl& form, MidiSystem& midi) : form_(form), midi_(midi) {}
  ~CaptureServices() override {
    if (thread_) thread_->Stop();
  }
  void StartMidiRead() override {
    if (thread_) thread_->Stop();
    thread_ = std::make_unique<ThreadMidiRead>(form_, midi_, PortChoice{});
    thread_->Start();
    ++started;
  }
  bool MidiReadAlive() override { return thread_ && thread_->Alive(); }
  void StartRtp() override {}
  void StopRtp() override {}
  bool RtpAlive() override { return false; }
  void StartGenerator() override {}
  ThreadMidiRead* Thread() { return thread_.get(); }
  int started = 0;

 private:
  TFormCtl& form_;
  MidiSystem& midi_;
  std::unique_ptr<ThreadMidiRead> thread_;
};

class CaptureThreadTest : public ::testing::Test {
 protected:
  MemoryMidiSystem midi;
  TFormCtl form;
  CaptureServices services{form, midi};
  void SetUp() override { form.SetServices(&services); }
  void TearDown() override { form.SetServices(nullptr); }
};

TEST_F(CaptureThreadTest, CapturesUntilReadMidiIsPressedAgain) {
  form.ButtonReadMidiClick();
  ASSERT_TRUE(WaitFor([&] { return midi.Play({0x91, 62, 70}); }));
  ASSERT_TRUE(WaitFor([&] { return form.OutgoingQueue.Count() == 1; }));
  EXPECT_EQ(form.EditByte1.Text(), "145");
  EXPECT_EQ(services.Thread()->Captured(), 1u);
  midi.Play({0xFE});
  ASSERT_TRUE(WaitFor([&] { return services.Thread()->Dropped() == 1; }));

  form.ButtonReadMidiClick();  // flag cleared: the next message wakes the thread, which ends
  EXPECT_FALSE(form.ReadMidiRunning.load());
  midi.Play({0x81, 62, 0});
  ASSERT_TRUE(WaitFor([&] { return !services.Thread()->Alive(); }));
  EXPECT_FALSE(midi.Play({0x90, 1, 1}));  // the input is closed
  EXPECT_EQ(services.started, 1);
}

TEST_F(CaptureThreadTest, AStopRequestEndsTheThreadPromptly) {
  form.ButtonReadMidiClick();
  ASSERT_TRUE(WaitFor([&] { return midi.Play({0x90, 60, 1}); }));
  auto start = std::chrono::steady_clock::now();
  services.Thread()->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);  // the input polls every 2 s
  EXPECT_FALSE(midi.Play({0x90, 60, 1}));
}

TEST_F(CaptureThreadTest, AFailedOpenShowsWhyAndTheNextPressTriesAgain) {
  midi.FailNextInput("device busy");
  form.ButtonReadMidiClick();
  ASSERT_TRUE(WaitFor([&] { return !services.Thread()->Alive(); }));
  EXPECT_EQ(form.EditMidiStatus.Text(), "MIDI input: device busy");
  EXPECT_TRUE(form.ReadMidiRunning.load());

  form.ButtonReadMidiClick();  // the thread gave up: this press starts a new one
  EXPECT_EQ(services.started, 2);
  EXPECT_TRUE(form.ReadMidiRunning.load());
  ASSERT_TRUE(WaitFor([&] { return midi.Play({0x90, 60, 100}); }));
  EXPECT_TRUE(WaitFor([&] { return form.OutgoingQueue.Count() == 1; }));
  EXPECT_EQ(form.EditMidiStatus.Text(), "");
}

TEST_F(CaptureThreadTest, WithoutAMidiSystemTheReasonIsShown) {
  NullMidiSystem none("no MIDI system");
  ThreadMidiRead thread(form, none, PortChoice{});
  form.ReadMidiRunning.store(true);
  thread.Start();
  ASSERT_TRUE(WaitFor([&] { return !thread.Alive(); }));
  EXPECT_EQ(form.EditMidiStatus.Text(), "MIDI input: no MIDI system");
}

}  // namespace
}  // namespace tandem
