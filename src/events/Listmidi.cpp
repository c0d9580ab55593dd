#include "events/Listmidi.h"

#include <algorithm>

#include "platform/Waker.h"

namespace tandem {

int32_t ThreadMidiList::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(items_.size());
}

bool ThreadMidiList::Admit() {
  if (capacity_ != 0 && items_.size() >= capacity_) {
    dropped_.fetch_add(1);
    return false;
  }
  return true;
}

void ThreadMidiList::Notify() {
  if (Waker* w = waker_.load()) w->Notify();
}

bool ThreadMidiList::Add(RecordPtr record) {
  if (!record) return false;
  {
    std::lock_guard lock(mutex_);
    if (!Admit()) return false;
    items_.push_back(std::move(record));
  }
  Notify();
  return true;
}

bool ThreadMidiList::InsertAt(RecordPtr record, int32_t position) {
  if (!record) return false;
  {
    std::lock_guard lock(mutex_);
    if (!Admit()) return false;
    auto pos = std::clamp<int64_t>(position, 0, static_cast<int64_t>(items_.size()));
    items_.insert(items_.begin() + pos, std::move(record));
  }
  Notify();
  return true;
}

EventRecord* ThreadMidiList::Get(int32_t position) const {
  std::lock_guard lock(mutex_);
  if (position < 0 || static_cast<size_t>(position) >= items_.size()) return nullptr;
  return items_[static_cast<size_t>(position)].get();
}

RecordPtr ThreadMidiList::DeleteFirst() {
  std::lock_guard lock(mutex_);
  if (items_.empty()) return nullptr;
  RecordPtr head = std::move(items_.front());
  items_.pop_front();
  return head;
}

bool ThreadMidiList::InsertOrdered(RecordPtr record) {
  if (!record) return false;
  {
    std::lock_guard lock(mutex_);
    if (!Admit()) return false;
    // The list is kept sorted, so the first record with a greater sequence is the upper bound.
    auto pos = std::upper_bound(items_.begin(), items_.end(), record->sequence,
                                [](uint32_t seq, const RecordPtr& r) { return seq < r->sequence; });
    items_.insert(pos, std::move(record));
  }
  Notify();
  return true;
}

RecordPtr ThreadMidiList::TakeFirstIf(const std::function<bool(const EventRecord&)>& due) {
  std::lock_guard lock(mutex_);
  if (items_.empty() || !due(*items_.front())) return nullptr;
  RecordPtr head = std::move(items_.front());
  items_.pop_front();
  return head;
}

void ThreadMidiList::Clear() {
  std::deque<RecordPtr> doomed;
  {
    std::lock_guard lock(mutex_);
    doomed.swap(items_);
  }
}

void ThreadMidiList::SetCapacity(size_t capacity) {
  std::lock_guard lock(mutex_);
  capacity_ = capacity;
}

void ThreadMidiList::SetWaker(Waker* waker) { waker_.store(waker); }

}  // namespace tandem
