#include "send/Fonctionutile.h"

#include <algorithm>
#include <chrono>

namespace tandem {

namespace {

// Counted from the first reading, plus an offset so early readings are not mistaken for "never"
// (several tables use time 0 as their start value).
constexpr int64_t kOffsetMs = 100000;
constexpr int64_t kStepMs = 10;

std::chrono::steady_clock::time_point Epoch() {
  static const auto epoch = std::chrono::steady_clock::now();
  return epoch;
}

int64_t ElapsedMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               Epoch())
      .count();
}

}  // namespace

int32_t ClockMs() {
  int64_t ms = (ElapsedMs() + kOffsetMs) / kStepMs * kStepMs;
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

int32_t ClockMsAt(int64_t us) {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(ClockUsReaches(us) - Epoch()).count();
  // Floor division: a moment before the epoch is in the step below.
  const int64_t ms = elapsed + kOffsetMs;
  const int64_t step = (ms >= 0 ? ms : ms - kStepMs + 1) / kStepMs * kStepMs;
  return static_cast<int32_t>(static_cast<uint32_t>(step));
}

std::chrono::steady_clock::time_point ClockMsReaches(int32_t value) {
  // The unwrapped count that `value` stands for, found from its distance to the current count.
  const int64_t current = ElapsedMs() + kOffsetMs;
  const auto distance =
      static_cast<int32_t>(static_cast<uint32_t>(value) - static_cast<uint32_t>(current));
  int64_t target = current + distance;
  // The clock shows whole steps: it reads `value` or more from the first step at or above it.
  target = (target + kStepMs - 1) / kStepMs * kStepMs;
  return Epoch() + std::chrono::milliseconds(target - kOffsetMs);
}

std::chrono::steady_clock::time_point NextPassTime(const ClockFn& clock, int32_t now,
                                                   int32_t waitMs,
                                                   std::chrono::milliseconds longest) {
  const auto start = std::chrono::steady_clock::now();
  const auto latest = start + longest;
  if (waitMs <= 0) return start;
  if (waitMs >= longest.count()) return latest;
  const auto* fn = clock.target<int32_t (*)()>();
  if (fn != nullptr && *fn == &ClockMs) {
    const auto at = ClockMsReaches(
        static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(waitMs)));
    return at < latest ? at : latest;
  }
  return start + std::chrono::milliseconds(waitMs);
}

int64_t ClockUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::chrono::steady_clock::time_point ClockUsReaches(int64_t value) {
  return std::chrono::steady_clock::time_point(std::chrono::microseconds(value));
}

std::chrono::steady_clock::time_point NextPassTimeUs(const MicroClockFn& clock, int64_t now,
                                                     int64_t waitUs,
                                                     std::chrono::milliseconds longest) {
  const auto start = std::chrono::steady_clock::now();
  const auto latest = start + longest;
  if (waitUs <= 0) return start;
  if (waitUs >= std::chrono::duration_cast<std::chrono::microseconds>(longest).count())
    return latest;
  const auto* fn = clock.target<int64_t (*)()>();
  if (fn != nullptr && *fn == &ClockUs) {
    const auto at = ClockUsReaches(now + waitUs);
    return at < latest ? at : latest;
  }
  return start + std::chrono::microseconds(waitUs);
}

SpeedCalculator::SpeedCalculator(ClockFn clock) : clock_(std::move(clock)) {}

void SpeedCalculator::SetWindow(int32_t seconds) {
  // A window of at least a second and at most a day keeps the division and the product sane.
  window_ = std::clamp<int32_t>(seconds, 1, 86400) * 1000;
}

void SpeedCalculator::AddEvent(uint8_t tag) {
  auto now = static_cast<uint32_t>(clock_());
  if (now - lastAccepted_ <= 40) return;
  entries_.push_back({now, tag});
  lastAccepted_ = now;
}

void SpeedCalculator::Prune() {
  auto now = static_cast<uint32_t>(clock_());
  // Compare ages, not end times: `time + window` would wrap for entries counted just before the
  // clock wraps, and they would be dropped at once.
  while (!entries_.empty() && now - entries_.front().time > static_cast<uint32_t>(window_)) {
    entries_.pop_front();
  }
}

double SpeedCalculator::GetSpeed() {
  Prune();
  return static_cast<double>(entries_.size()) / (window_ * 0.001);
}

int32_t AutoLocalBuffer(int32_t speed) {
  // In floating point from the start: speed * 60 in int32 would overflow for absurd speeds.
  double b = 120.0 + speed * 60.0 * 0.4 * (-0.42857142857142855);
  if (!(b > 10)) b = 10;
  if (!(b < 500)) b = 500;
  return static_cast<int32_t>(b);
}

}  // namespace tandem
