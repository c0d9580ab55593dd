// The record every event travels in, and the locked queue that carries records between threads.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace tandem {

class Waker;

enum EventKind : int32_t {
  EventMidiBare = 0,
  EventMidi = 1,
  EventKeyRefresh = 2,
  EventChat = 3,
  EventBuffer = 4,
};

constexpr size_t kChatTextSize = 100;
constexpr size_t kChatMaxChars = 98;

// Fixed-size record; every field is zeroed at construction so nothing stale ever reaches the wire.
struct EventRecord {
  int32_t kind = 0;
  int32_t time = 0;           // capture time (ClockMs) or, when received, the RTP timestamp
  uint32_t sequence = 0;      // received records: extended RTP sequence number
  int32_t arrivalOffset = 0;  // received records: |time - ClockMs| when rebuilt
  // ClockUs when the record came into this machine: received records when their datagram was
  // read, captured records when the MIDI callback delivered them. The waits are measured from it.
  int64_t arrivalUs = 0;
  int32_t note = 0;
  int32_t status = 0;   // status byte without channel bits
  int32_t channel = 0;  // captured records only; never transmitted
  std::array<char, kChatTextSize> text{};
  int32_t bufferMs = 0;
  int32_t velocity = 0;
  std::array<uint8_t, 128> keyOn{};
  std::array<uint8_t, 128> keyRecent{};
  uint32_t source = 0;  // received records: SSRC of the session that sent them
  // Received records whose sender's clock is known on ours (RTP-MIDI's clock sync): the moment
  // they were played there, on ClockUs; 0 otherwise.
  int64_t momentUs = 0;
  // A key snapshot that speaks only of the keys marked here (a journal's note chapter), not of
  // all 128.
  bool partialKeys = false;
  std::array<uint8_t, 128> keyKnown{};
};

using RecordPtr = std::unique_ptr<EventRecord>;

inline RecordPtr MakeRecord(int32_t kind) {
  auto r = std::make_unique<EventRecord>();
  r->kind = kind;
  return r;
}

// A mutex-guarded list of records. The list owns what it holds; taking a record off hands its
// ownership to the caller, so nothing queued is ever leaked at shut-down.
class ThreadMidiList {
 public:
  ThreadMidiList() = default;
  ThreadMidiList(const ThreadMidiList&) = delete;
  ThreadMidiList& operator=(const ThreadMidiList&) = delete;

  int32_t Count() const;
  // Appends at the tail. Returns false (and frees the record) when the queue is at capacity.
  bool Add(RecordPtr record);
  // Inserts before `position` (0 = head, Count() = tail). Out-of-range positions are clamped.
  bool InsertAt(RecordPtr record, int32_t position);
  // The record at `position`, still owned by the list; nullptr when there is none.
  EventRecord* Get(int32_t position) const;
  // Removes the head and hands it to the caller; nullptr on an empty list.
  RecordPtr DeleteFirst();

  // Inserts after every record of the same source whose sequence is lower or equal (unsigned)
  // and after every record of another source, in one locked step. Sequence numbers order one
  // session only: a peer that restarts numbers afresh, and its old session's last records must
  // not play after its new session's first ones.
  bool InsertOrdered(RecordPtr record);
  // Takes the head only if `due` says so, in one locked step, so the record examined is the one
  // removed even when a producer inserts ahead of it meanwhile.
  RecordPtr TakeFirstIf(const std::function<bool(const EventRecord&)>& due);
  // Frees every record held.
  void Clear();

  // A bound on the length (0 = none); records beyond it are dropped and counted.
  void SetCapacity(size_t capacity);
  uint64_t Dropped() const { return dropped_.load(); }

  // The consumer's waker, notified after every Add/InsertAt so it need not poll. Once SetWaker
  // or RemoveWaker has returned, the previous waker is never touched again and may be destroyed.
  void SetWaker(Waker* waker);
  // Forgets `waker` if it is the one set, so a consumer that leaves never unsets its successor.
  void RemoveWaker(Waker* waker);

 private:
  bool Admit();  // called with the lock held
  void Notify();

  mutable std::mutex mutex_;
  std::deque<RecordPtr> items_;
  size_t capacity_ = 0;
  std::atomic<uint64_t> dropped_{0};
  std::mutex wakerMutex_;  // held while notifying, so a waker is not destroyed in the middle
  Waker* waker_ = nullptr;
};

}  // namespace tandem
