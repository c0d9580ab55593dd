#include "events/Listmidi.h"

#include <algorithm>
#include <iterator>

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
  std::lock_guard lock(wakerMutex_);
  if (waker_) waker_->Notify();
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
    // Back from the tail over the same source's later records; records mostly arrive in order,
    // so this usually stops at once.
    auto pos = items_.end();
    while (pos != items_.begin()) {
      const EventRecord& before = **std::prev(pos);
      if (before.source != record->source || before.sequence <= record->sequence) break;
      --pos;
    }
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

void ThreadMidiList::SetWaker(Waker* waker) {
  std::lock_guard lock(wakerMutex_);
  waker_ = waker;
}

void ThreadMidiList::RemoveWaker(Waker* waker) {
  std::lock_guard lock(wakerMutex_);
  if (waker_ == waker) waker_ = nullptr;
}

}  // namespace tandem
