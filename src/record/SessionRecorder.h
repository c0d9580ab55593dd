// Records the session as a MIDI file: one track for what we play, one for what the partner
// played as it went to our output. The threads that play hand each message over through a small
// locked buffer and never wait on the disk; a worker writes the buffer out twice a second.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Worker.h"
#include "record/MidiFile.h"

namespace tandem {

class SessionRecorder {
 public:
  enum Track : uint8_t { Ours = 0, Partner = 1 };
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kWritePeriod{500};
  // Messages held between two writes at most; a flood beyond it is counted, not recorded.
  static constexpr size_t kMaxPending = 1 << 16;

  SessionRecorder();
  ~SessionRecorder();
  SessionRecorder(const SessionRecorder&) = delete;
  SessionRecorder& operator=(const SessionRecorder&) = delete;

  // Starts a recording into `path`, its time 0 now. False, with the reason in `error`, when the
  // file cannot be written or a recording runs already; nothing changes then. Control thread.
  bool Start(const std::string& path, std::string& error);
  // Writes what is left and gives the file its end. False, with the reason, when a write failed
  // (the file then holds what was written before). Idempotent. Control thread.
  bool Stop(std::string& error);
  bool Recording() const { return active_.load(std::memory_order_acquire); }
  // The file of the recording started last, until Stop; empty without one. Control thread.
  const std::string& Path() const { return path_; }
  // Time 0 of the recording started last. Control thread.
  Clock::time_point Started() const { return start_; }
  // Why the worker stopped writing on its own (a full disk), once; empty otherwise.
  std::string TakeFailure();

  // Any thread: records a channel message (status with channel bits; `data2` is ignored for
  // messages with one data byte) at `when`. Anything else is not recorded. Without a recording
  // it costs one atomic load.
  void Take(Track track, int32_t status, int32_t data1, int32_t data2,
            Clock::time_point when = Clock::now()) {
    if (!active_.load(std::memory_order_acquire)) return;
    if (status < 0x80 || status > 0xEF) return;
    Push({when, track, static_cast<uint8_t>(status), static_cast<uint8_t>(data1 & 0x7F),
          static_cast<uint8_t>(data2 & 0x7F)});
  }

  uint64_t Dropped() const { return dropped_.load(); }
  uint64_t BytesWritten() const { return bytesWritten_.load(); }

 private:
  struct Taken {
    Clock::time_point when;
    Track track;
    uint8_t status, data1, data2;
  };
  class Writer;

  void Push(const Taken& taken);
  // Moves the buffer into the file and writes it out; false when the write failed.
  bool WritePending(std::string& error);

  std::atomic<bool> active_{false};
  std::mutex pendingMutex_;
  std::vector<Taken> pending_;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> bytesWritten_{0};
  // Owned by the worker while it runs, by the control thread otherwise.
  MidiFileWriter file_;
  Clock::time_point start_;
  std::vector<Taken> batch_;
  std::unique_ptr<Writer> writer_;
  std::string path_;
  std::mutex failureMutex_;
  std::string failure_;
};

}  // namespace tandem
