// The system clock, the playing-speed measurement and the automatic local buffer.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>

namespace tandem {

// Milliseconds on a monotonic clock, in 10 ms steps. It never restarts (not at midnight, not when
// the wall clock is set); differences of two readings are meaningful as signed 32-bit values.
int32_t ClockMs();
// What ClockMs() read at the moment ClockUs() read `us`.
int32_t ClockMsAt(int64_t us);

// Where a component reads the time; tests pass a fake clock.
using ClockFn = std::function<int32_t()>;

// The moment ClockMs() first reads `value` or more (`value` within 2^31 ms of the current
// reading). A thread that sleeps until then wakes on the clock step itself, not up to a step late.
std::chrono::steady_clock::time_point ClockMsReaches(int32_t value);

// What a pass that knows of no deadline asks to wait.
constexpr int32_t kNoDeadline = INT32_MAX;

// Microseconds on the monotonic clock (steady_clock since its epoch), the clock the RTP session
// stamps each datagram with as it reads it. Waits that decide when a note sounds are measured on
// it; ClockMs, with its 10 ms steps, times everything else.
int64_t ClockUs();

// Where a component reads the microsecond clock; tests pass a fake one.
using MicroClockFn = std::function<int64_t()>;

// The moment ClockUs() reads `value`.
std::chrono::steady_clock::time_point ClockUsReaches(int64_t value);

// What a pass on the microsecond clock that knows of no deadline asks to wait.
constexpr int64_t kNoDeadlineUs = INT64_MAX;

// When a worker whose pass read `now` from `clock` and asked to wait `waitUs` should run its next
// pass: the very moment ClockUs reads now + waitUs, or for any other clock `waitUs` real
// microseconds from now; never later than `longest` from now.
std::chrono::steady_clock::time_point NextPassTimeUs(const MicroClockFn& clock, int64_t now,
                                                     int64_t waitUs,
                                                     std::chrono::milliseconds longest);

// When a worker whose pass read `now` from `clock` and asked to wait `waitMs` clock ms should
// run its next pass: the step at which ClockMs reads now + waitMs, or for any other clock
// `waitMs` real ms from now; never later than `longest` from now.
std::chrono::steady_clock::time_point NextPassTime(const ClockFn& clock, int32_t now,
                                                   int32_t waitMs,
                                                   std::chrono::milliseconds longest);

// Note-ons per second over a sliding window.
class SpeedCalculator {
 public:
  explicit SpeedCalculator(ClockFn clock = ClockMs);

  void SetWindow(int32_t seconds);
  // Counts one event unless the last counted one was 40 ms ago or less (a chord counts once).
  void AddEvent(uint8_t tag);
  // Forgets the events that have left the window.
  void Prune();
  // Events per second over the window.
  double GetSpeed();

  size_t Entries() const { return entries_.size(); }

 private:
  struct Entry {
    uint32_t time;
    uint8_t tag;
  };
  ClockFn clock_;
  uint32_t lastAccepted_ = 0;
  int32_t window_ = 5000;
  std::deque<Entry> entries_;
};

// The local buffer (ms) derived from the playing speed: 120 ms for a silent player, down to 10.
int32_t AutoLocalBuffer(int32_t speed);

}  // namespace tandem
