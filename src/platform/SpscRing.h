// A fixed ring between one producer and one consumer, for handing items to a real-time callback:
// pushing and popping neither allocate, lock nor wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace tandem {

template <typename T>
class SpscRing {
 public:
  // Holds up to `capacity` items; the storage is allocated here, once.
  explicit SpscRing(size_t capacity)
      : size_(capacity + 1), items_(std::make_unique<T[]>(capacity + 1)) {}

  // Producer side. False, and nothing stored, when the ring is full.
  bool Push(const T& item) {
    size_t tail = tail_.load(std::memory_order_relaxed);
    size_t next = tail + 1 == size_ ? 0 : tail + 1;
    if (next == head_.load(std::memory_order_acquire)) return false;
    items_[tail] = item;
    tail_.store(next, std::memory_order_release);
    return true;
  }

  // Consumer side. False when the ring is empty.
  bool Pop(T& item) {
    size_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    item = items_[head];
    head_.store(head + 1 == size_ ? 0 : head + 1, std::memory_order_release);
    return true;
  }

 private:
  const size_t size_;
  std::unique_ptr<T[]> items_;
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
};

}  // namespace tandem
