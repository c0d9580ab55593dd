#include "send/Fonctionutile.h"

#include <algorithm>
#include <chrono>

namespace tandem {

int32_t ClockMs() {
  // Counted from the first reading, plus an offset so early readings are not mistaken for "never"
  // (several tables use time 0 as their start value).
  static const auto epoch = std::chrono::steady_clock::now();
  constexpr int64_t kOffsetMs = 100000;
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - epoch)
                     .count();
  int64_t ms = (elapsed + kOffsetMs) / 10 * 10;
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
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
