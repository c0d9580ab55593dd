// A wake-up signal for one consumer thread: producers notify, the consumer waits with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tandem {

class Waker {
 public:
  void Notify() {
    {
      std::lock_guard lock(mutex_);
      signaled_ = true;
    }
    cv_.notify_one();
  }

  // Waits until notified or until `timeout` passes. A notification that came before the wait is
  // not lost: it ends the next wait at once. Returns true when woken by a notification.
  bool WaitFor(std::chrono::microseconds timeout) {
    std::unique_lock lock(mutex_);
    bool woken = cv_.wait_for(lock, timeout, [this] { return signaled_; });
    signaled_ = false;
    return woken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

}  // namespace tandem
