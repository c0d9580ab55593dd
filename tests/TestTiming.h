// Deadlines for tests that wait on other threads or processes. Sanitized builds run several
// times slower, and a loaded machine (two cores, tests in parallel) slower still, so every wait
// is a condition polled against a generous deadline, longer again under a sanitizer.
#pragma once

#include <chrono>
#include <thread>
#include <utility>

namespace tandem::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 5;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr int kSlowdown = 5;
#else
inline constexpr int kSlowdown = 1;
#endif
#else
inline constexpr int kSlowdown = 1;
#endif

// A limit stretched for the build's speed.
template <typename Rep, typename Period>
constexpr std::chrono::duration<Rep, Period> Scaled(std::chrono::duration<Rep, Period> limit) {
  return limit * kSlowdown;
}

// Polls `condition` until it holds (true) or the scaled limit has passed (false). The condition is
// tried once more at the deadline, so a wait that overslept still sees a late success.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// WaitUntil with the limit most tests use.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  return WaitUntil(std::move(condition), limit);
}

}  // namespace tandem::test
