#include "platform/FrameClock.h"

#include <gtest/gtest.h>

#include <random>

namespace tandem {
namespace {

constexpr uint32_t kRate = 48000, kPeriod = 256;
constexpr double kPeriodUs = 1e6 * kPeriod / kRate;

// Cycles whose callbacks run up to 3 ms late, as on a busy machine, from a server whose frames
// run `ppm` off our clock and, once, fall 20 ms behind (a cycle lost to overload): each frame's
// moment is still known to a few samples, both ways, once the clock has followed the step.
TEST(FrameClock, KnowsEachFramesMomentThroughLateCallbacksDriftAndALostCycle) {
  for (double ppm : {-100.0, 0.0, 100.0}) {
    FrameClock clock;
    std::mt19937 random(7);
    std::exponential_distribution<double> late(1.0 / 400);  // µs, a long tail
    const int64_t startUs = 5'000'000;
    double behindUs = 0;
    uint32_t frame = 4'294'000'000u;  // the count wraps during the run
    for (int cycle = 0; cycle < 2000; ++cycle, frame += kPeriod) {
      if (cycle == 1000) behindUs = 20000;
      const double trueUs = startUs + behindUs + cycle * kPeriodUs * (1 + ppm * 1e-6);
      clock.Cycle(frame, int64_t(trueUs + std::min(late(random), 3000.0)), kRate, kPeriod);
      if (cycle < 200 || (cycle >= 1000 && cycle < 1000 + 16)) continue;  // settling, following
      const uint32_t within = (cycle * 97) % kPeriod;
      const double frameUs = trueUs + within * 1e6 / kRate;
      ASSERT_NEAR(double(clock.MomentOf(frame + within)), frameUs, 150) << ppm << " " << cycle;
      ASSERT_NEAR(double(clock.FramesUntil(int64_t(frameUs))), double(within), 8)
          << ppm << " " << cycle;
    }
  }
}

TEST(FrameClock, StartsAfreshWhenTheFramesGoBack) {
  FrameClock clock;
  EXPECT_FALSE(clock.Known());
  EXPECT_EQ(clock.MomentOf(0), 0);
  for (int i = 0; i < 100; ++i)
    clock.Cycle(1'000'000 + i * kPeriod, 1'000'000 + i * 5333, kRate, kPeriod);
  // A restarted server counts from 0 again, 10 s later.
  clock.Cycle(0, 11'000'000, kRate, kPeriod);
  EXPECT_TRUE(clock.Known());
  EXPECT_EQ(clock.MomentOf(0), 11'000'000);
  EXPECT_EQ(clock.FramesUntil(11'000'000 + 1000), 48);
}

}  // namespace
}  // namespace tandem
