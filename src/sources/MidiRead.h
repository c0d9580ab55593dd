// MIDI input capture: opens the chosen input, and turns every channel message the player sends
// into a record for the peer (and a local audition copy when "Local Channel" is checked).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "midi/Midi.h"
#include "model/FormCtrl.h"
#include "platform/Worker.h"
#include "send/Fonctionutile.h"

namespace tandem {

class ThreadMidiRead : public Worker {
 public:
  // How often the thread looks at ReadMidiRunning when no message wakes it.
  static constexpr std::chrono::milliseconds kPollInterval{2000};
  // Messages waiting between the MIDI system's thread and this one; beyond, they are dropped.
  static constexpr size_t kInboxSize = 1024;

  ThreadMidiRead(TFormCtl& form, MidiSystem& midi, PortChoice input);
  ~ThreadMidiRead() override { Stop(); }

  // The work done for one captured message: shows it in the "IN" column and queues its records.
  // Returns false when the message was dropped (system and real-time messages, short or
  // malformed ones). `now` is ClockMs and `nowUs` ClockUs when the message was delivered.
  static bool MidiInputCallback(TFormCtl& form, const uint8_t* bytes, size_t length, int32_t now,
                                int64_t nowUs);

  uint64_t Captured() const { return captured_.load(); }
  // Messages dropped, as unusable or because the inbox was full.
  uint64_t Dropped() const { return dropped_.load(); }

 protected:
  void Run() override;

 private:
  struct Pending {
    std::array<uint8_t, 3> bytes{};
    uint8_t length = 0;
    int32_t time = 0;
    int64_t timeUs = 0;
  };

  // Runs on the MIDI system's thread: copies the message out and wakes this thread, nothing else.
  // `atUs` is the moment it was played when the MIDI system knows it, else 0.
  void Receive(const uint8_t* bytes, size_t length, int64_t atUs);
  void Drain();

  TFormCtl& form_;
  MidiSystem& midi_;
  PortChoice input_;

  std::mutex inboxMutex_;
  std::array<Pending, kInboxSize> inbox_{};
  size_t inboxHead_ = 0;
  size_t inboxCount_ = 0;

  std::atomic<uint64_t> captured_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace tandem
