#include "platform/Worker.h"

#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <exception>

namespace tandem {

Worker::~Worker() {
  // Only reached with a running thread if a derived class forgot Stop(); joining here at least
  // never leaves a detached thread behind.
  Stop();
}

void Worker::Start() {
  if (thread_.joinable()) return;
  stop_.store(false);
  alive_.store(true);
  thread_ = std::thread([this] {
    try {
      Run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tandem: thread %s ended: %s\n", name_.c_str(), e.what());
    }
    alive_.store(false);
  });
}

void Worker::RequestStop() {
  stop_.store(true);
  waker_.Notify();
}

void Worker::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Worker::Sleep(std::chrono::microseconds timeout) {
  if (stop_.load()) return false;
  if (timeout.count() > 0) waker_.WaitFor(timeout);
  return !stop_.load();
}

bool Worker::SleepUntil(std::chrono::steady_clock::time_point deadline) {
  if (stop_.load()) return false;
  waker_.WaitUntil(deadline);
  return !stop_.load();
}

bool Worker::RaisePriority() {
  // Low among real-time priorities: above every ordinary thread, below a JACK server's.
  sched_param param{};
  param.sched_priority = 10;
  return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
}

}  // namespace tandem
