#include "app/Application.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "TestTiming.h"
#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::WaitFor;

AppConfig MemoryConfig(std::shared_ptr<MemoryMidiSystem> midi) {
  AppConfig config;
  config.midi = std::move(midi);
  config.midiOut = PortChoice::Parse("memory-out");
  config.seed = 1234;
  return config;
}

// Records anywhere on the sending road (the send preparation may already have moved them on).
int32_t QueuedOnTheWayOut(TFormCtl& form) {
  return form.OutgoingQueue.Count() + form.SendQueue.Count();
}

TEST(Application, StartsAndShutsDownTwiceInARow) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto midi = std::make_shared<MemoryMidiSystem>();
    Application app(MemoryConfig(midi));
    TFormCtl& form = app.Form();
    EXPECT_EQ(form.LocalBuffer.load(), 0);
    EXPECT_FALSE(form.ReadMidiRunning.load());
    EXPECT_FALSE(form.RtpActive.load());
    EXPECT_TRUE(form.MidiOutHandle.IsOpen()) << "Audition starts checked, so the output is open";
    EXPECT_EQ(&app.Midi(), midi.get());

    auto start = Clock::now();
    app.Shutdown();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_FALSE(form.MidiOutHandle.IsOpen()) << "shut-down closes the output";
    app.Shutdown();  // idempotent, and the destructor runs it once more
  }
}

TEST(Application, WithoutAMidiSystemItStillRuns) {
  AppConfig config;
  config.midiOut = PortChoice::Parse("a port");
  Application app(config);
  EXPECT_EQ(app.Midi().Name(), "none");
  EXPECT_FALSE(app.Form().MidiOutHandle.IsOpen());
  EXPECT_FALSE(app.Form().EditMidiStatus.Text().empty()) << "the user is told why";
}

TEST(Application, MidiGenThenShutdownFreesEverything) {
  auto midi = std::make_shared<MemoryMidiSystem>();
  Application app(MemoryConfig(midi));
  TFormCtl& form = app.Form();
  form.Button1Click();
  form.Button1Click();
  ASSERT_TRUE(WaitFor([&] { return QueuedOnTheWayOut(form) >= 2; }));

  // Two generators with 20 s of notes ahead of them: shut-down must not wait for them.
  auto start = Clock::now();
  app.Shutdown();
  EXPECT_LT(Clock::now() - start, 10s);
  for (auto* q : {&form.OutgoingQueue, &form.SendQueue, &form.ReceiveQueue, &form.LocalQueue}) {
    EXPECT_EQ(q->Count(), 0) << "queued records are freed (a leak shows under ASan)";
  }

  int32_t after = QueuedOnTheWayOut(form);
  form.Button1Click();  // a command after shut-down starts nothing
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(QueuedOnTheWayOut(form), after);
}

TEST(Application, ReadMidiStartsAndStopsCapture) {
  auto midi = std::make_shared<MemoryMidiSystem>();
  Application app(MemoryConfig(midi));
  TFormCtl& form = app.Form();
  form.ButtonReadMidiClick();
  EXPECT_TRUE(form.ReadMidiRunning.load());
  // The capture thread holds the memory input once a played note gets through.
  ASSERT_TRUE(WaitFor([&] { return midi->Play({0x90, 60, 100}); }));
  EXPECT_TRUE(app.MidiReadAlive());
  form.ButtonReadMidiClick();
  EXPECT_FALSE(form.ReadMidiRunning.load());
  app.Shutdown();
  EXPECT_FALSE(app.MidiReadAlive());
  EXPECT_FALSE(midi->Play({0x80, 60, 0})) << "shut-down closes the input";
}

TEST(Application, StartRtpAfterAFailedSetUpStartsAgain) {
  Application app(MemoryConfig(std::make_shared<MemoryMidiSystem>()));
  TFormCtl& form = app.Form();
  // A listen port that is no number: each session fails its set-up and ends by itself, so this
  // test opens no socket.
  form.EditPortLocal.SetText("abc");
  for (int attempt = 0; attempt < 3; ++attempt) {
    form.ButtonStartRTPClick();
    EXPECT_TRUE(form.RtpActive.load()) << attempt;
    ASSERT_TRUE(WaitFor([&] { return !app.RtpAlive(); })) << attempt;
  }
  for (int i = 0; i < 3; ++i) form.Button1Click();
  app.Shutdown();
  EXPECT_FALSE(form.RtpActive.load());
  EXPECT_FALSE(form.ReadMidiRunning.load());
}

}  // namespace
}  // namespace tandem
