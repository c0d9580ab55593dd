// A wake-up signal for one consumer thread: producers notify, the consumer waits with a bound.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tandem {

class Waker {
 public:
  Waker() = default;
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  void Notify();

  // Waits until notified or until `timeout` passes. A notification that came before the wait is
  // not lost: it ends the next wait at once. Returns true when woken by a notification.
  bool WaitFor(std::chrono::microseconds timeout);
  // The same, up to a moment on the monotonic clock.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

  // For a consumer that waits in poll(2) beside other descriptors: a descriptor that is readable
  // while a notification is pending. Made by the first call, which must come before any producer
  // can notify; -1 when the system cannot give one (then only the waits above are woken).
  int PollFd();
  // Takes the pending notification after such a poll, so the next poll blocks again.
  void Consume();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
  std::atomic<int> fd_{-1};
  bool fdTried_ = false;
};

}  // namespace tandem
