// A thread with a stop request. Derived classes implement Run() as a loop of passes and wait
// between passes with Sleep(), which a stop request or a producer's notification cuts short.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Waker.h"

namespace tandem {

class Worker {
 public:
  explicit Worker(std::string name) : name_(std::move(name)) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  // Derived destructors must call Stop() first: Run() must not outlive the derived object.
  virtual ~Worker();

  void Start();
  void RequestStop();
  void Join();
  void Stop() {
    RequestStop();
    Join();
  }

  bool StopRequested() const { return stop_.load(); }
  // True from Start() until Run() has returned.
  bool Alive() const { return alive_.load(); }
  Waker& GetWaker() { return waker_; }
  const std::string& Name() const { return name_; }

  // Asks for the calling thread to be scheduled ahead of ordinary work (a low real-time
  // priority), as audio software does where the system allows it (an audio group's rtprio
  // limit, or root). False, and nothing changed, where it does not.
  static bool RaisePriority();

 protected:
  virtual void Run() = 0;
  // Waits up to `timeout`, or less when woken or asked to stop. Returns false once a stop was
  // requested, so loops read `while (Sleep(...))`.
  bool Sleep(std::chrono::microseconds timeout);
  // The same, up to a moment on the monotonic clock (at once when it has passed).
  bool SleepUntil(std::chrono::steady_clock::time_point deadline);

 private:
  std::string name_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> alive_{false};
  Waker waker_;
};

}  // namespace tandem
