#include "platform/Waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tandem {

Waker::~Waker() {
  if (int fd = fd_.load(); fd >= 0) ::close(fd);
}

void Waker::Notify() {
  {
    std::lock_guard lock(mutex_);
    signaled_ = true;
  }
  cv_.notify_one();
  if (int fd = fd_.load(); fd >= 0) {
    // A full counter (never reached) or EAGAIN still leaves the descriptor readable.
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
  }
}

bool Waker::WaitFor(std::chrono::microseconds timeout) {
  std::unique_lock lock(mutex_);
  bool woken = cv_.wait_for(lock, timeout, [this] { return signaled_; });
  signaled_ = false;
  return woken;
}

bool Waker::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  bool woken = cv_.wait_until(lock, deadline, [this] { return signaled_; });
  signaled_ = false;
  return woken;
}

int Waker::PollFd() {
  if (!fdTried_) {
    fdTried_ = true;
    fd_.store(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  }
  return fd_.load();
}

void Waker::Consume() {
  if (int fd = fd_.load(); fd >= 0) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
  }
  std::lock_guard lock(mutex_);
  signaled_ = false;
}

}  // namespace tandem
