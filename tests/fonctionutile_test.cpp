#include "send/Fonctionutile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>

namespace tandem {
namespace {

TEST(ClockMs, MonotonicInStepsOfTen) {
  int32_t first = ClockMs();
  EXPECT_GT(first, 0) << "zero reads as 'never' in several tables";
  int32_t last = first;
  int changes = 0;
  // Reading the clock is the point here: watch it tick a few times, with a bound.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (changes < 4 && std::chrono::steady_clock::now() < deadline) {
    int32_t now = ClockMs();
    ASSERT_EQ(now % 10, 0) << now;
    ASSERT_GE(static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last)), 0)
        << "went back from " << last << " to " << now;
    if (now != last) ++changes;
    last = now;
  }
  EXPECT_EQ(changes, 4) << "the clock did not advance";
}

// A clock the test moves by hand.
struct FakeClock {
  int32_t now = 100000;
  ClockFn Fn() {
    return [this] { return now; };
  }
};

class SpeedCalculatorTest : public ::testing::Test {
 protected:
  SpeedCalculatorTest() : speed(clock.Fn()) { speed.SetWindow(5); }
  // Counts `n` events, `gap` ms apart, starting now.
  void Play(int n, int gap) {
    for (int i = 0; i < n; ++i) {
      if (i > 0) clock.now += gap;
      speed.AddEvent(1);
    }
  }
  FakeClock clock;
  SpeedCalculator speed;
};

TEST_F(SpeedCalculatorTest, EventsWithinFortyMillisecondsCountOnce) {
  speed.AddEvent(1);  // the first event is counted
  EXPECT_EQ(speed.Entries(), 1u);
  clock.now += 40;
  speed.AddEvent(1);  // a chord: ignored
  EXPECT_EQ(speed.Entries(), 1u);
  clock.now += 10;  // 50 ms after the last counted one
  speed.AddEvent(1);
  EXPECT_EQ(speed.Entries(), 2u);
  clock.now += 50;
  speed.AddEvent(1);
  EXPECT_EQ(speed.Entries(), 3u);
  // Ignored events do not move the reference: 30 + 30 ms later is 60 ms after the last counted.
  clock.now += 30;
  speed.AddEvent(1);
  clock.now += 30;
  speed.AddEvent(1);
  EXPECT_EQ(speed.Entries(), 4u);
}

TEST_F(SpeedCalculatorTest, PruneKeepsAnEntryExactlyOneWindowOld) {
  speed.AddEvent(1);
  clock.now += 5000;
  speed.Prune();
  EXPECT_EQ(speed.Entries(), 1u) << "time + window == now stays";
  clock.now += 10;
  speed.Prune();
  EXPECT_EQ(speed.Entries(), 0u);
}

TEST_F(SpeedCalculatorTest, SpeedAndBufferFromACountedWindow) {
  EXPECT_EQ(speed.GetSpeed(), 0.0);
  EXPECT_EQ(AutoLocalBuffer(static_cast<int32_t>(speed.GetSpeed())), 120);

  Play(35, 100);  // 3.4 s of playing
  double s = speed.GetSpeed();
  EXPECT_DOUBLE_EQ(s, 7.0);
  EXPECT_EQ(AutoLocalBuffer(static_cast<int32_t>(s)), 48);

  // 5 s of silence later the window is empty again.
  clock.now += 5010;
  EXPECT_EQ(speed.GetSpeed(), 0.0);
  EXPECT_EQ(speed.Entries(), 0u);
}

TEST_F(SpeedCalculatorTest, FastPlayingBottomsOutAtTenMilliseconds) {
  Play(55, 90);  // 4.86 s
  EXPECT_DOUBLE_EQ(speed.GetSpeed(), 11.0);
  EXPECT_EQ(AutoLocalBuffer(11), 10);

  Play(50, 50);  // one event per 50 ms: the fastest that counts; older ones leave the window
  double s = speed.GetSpeed();
  EXPECT_GE(s, 11.0);
  EXPECT_LE(s, 20.2);
  EXPECT_EQ(AutoLocalBuffer(static_cast<int32_t>(s)), 10);
}

TEST_F(SpeedCalculatorTest, TruncatedSpeedOfPartialWindows) {
  Play(27, 150);  // 27 / 5 = 5.4 events per second, used as 5
  double s = speed.GetSpeed();
  EXPECT_DOUBLE_EQ(s, 5.4);
  EXPECT_EQ(AutoLocalBuffer(static_cast<int32_t>(s)), 68);
}

TEST_F(SpeedCalculatorTest, OtherWindows) {
  speed.SetWindow(2);
  Play(10, 100);  // 0.9 s
  EXPECT_DOUBLE_EQ(speed.GetSpeed(), 5.0);
  clock.now += 1100;  // first entry now exactly 2 s old
  speed.Prune();
  EXPECT_EQ(speed.Entries(), 10u);
  clock.now += 10;
  EXPECT_DOUBLE_EQ(speed.GetSpeed(), 4.5);

  // A nonsensical window must not divide by zero or go negative.
  speed.SetWindow(0);
  double s = speed.GetSpeed();
  EXPECT_GE(s, 0.0);
  EXPECT_LT(s, 1e6);
  speed.SetWindow(-3);
  s = speed.GetSpeed();
  EXPECT_GE(s, 0.0);
  EXPECT_LT(s, 1e6);
}

// The clock is a 32-bit count; measurements must carry on across its wrap.
TEST_F(SpeedCalculatorTest, CarriesOnAcrossTheClockWrap) {
  clock.now = static_cast<int32_t>(0xFFFFFFFFu - 2000u + 1u);  // 2 s before the wrap
  Play(10, 100);
  EXPECT_EQ(speed.Entries(), 10u);
  speed.Prune();
  EXPECT_EQ(speed.Entries(), 10u) << "entries just before the wrap must not be pruned at once";

  clock.now = static_cast<int32_t>(static_cast<uint32_t>(clock.now) + 1200u);  // wrapped
  ASSERT_LT(static_cast<uint32_t>(clock.now), 1000u);
  speed.AddEvent(1);
  EXPECT_EQ(speed.Entries(), 11u) << "an event after the wrap counts";
  clock.now += 20;
  speed.AddEvent(1);
  EXPECT_EQ(speed.Entries(), 11u) << "and the 40 ms rule still holds";
  EXPECT_DOUBLE_EQ(speed.GetSpeed(), 2.2);

  clock.now += 5000;
  EXPECT_EQ(speed.GetSpeed(), 0.0) << "and the window still empties";
}

TEST(AutoLocalBuffer, TableOfWholeSpeeds) {
  const int32_t expected[] = {120, 109, 99, 89, 78, 68, 58, 48, 37, 27, 17, 10};
  for (int32_t speed = 0; speed < 12; ++speed) {
    EXPECT_EQ(AutoLocalBuffer(speed), expected[speed]) << "speed " << speed;
  }
  EXPECT_EQ(AutoLocalBuffer(12), 10);
  EXPECT_EQ(AutoLocalBuffer(1000), 10);
}

TEST(AutoLocalBuffer, OutOfRangeSpeedsStayWithinBounds) {
  EXPECT_EQ(AutoLocalBuffer(INT32_MAX), 10);
  EXPECT_EQ(AutoLocalBuffer(-1), 130);
  EXPECT_EQ(AutoLocalBuffer(-100), 500);
  EXPECT_EQ(AutoLocalBuffer(INT32_MIN), 500);
}

}  // namespace
}  // namespace tandem
