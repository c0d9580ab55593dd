// The playback thread: plays the peer's events once they have waited longer than the buffer the
// peer announced, and local audition copies after the local buffer. It keeps a table of the keys
// it believes sounding, so duplicated or outdated note events play once and in the right sense,
// and brings that table in line with the key snapshots the peer sends.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "events/Listmidi.h"
#include "model/Controls.h"
#include "model/FormCtrl.h"
#include "platform/Worker.h"
#include "playback/SteadyMapping.h"
#include "send/Fonctionutile.h"

namespace tandem {

struct KeyState {
  bool sounding = false;      // a note-on from the peer was played for the key, not yet ended
  uint32_t lastTime = 0;      // time of the newest received record applied to the key
  uint32_t lastSequence = 0;  // sequence of the received record that last changed the key
};

// What the playback did with what it was given; read by any thread.
struct PlaybackCounters {
  std::atomic<uint64_t> played{0};         // messages handed to the output
  std::atomic<uint64_t> stale{0};          // duplicate or outdated note events, dropped
  std::atomic<uint64_t> invalid{0};        // records that cannot be used: status, note or velocity
  std::atomic<uint64_t> outOfRange{0};     // notes transposed outside 0..127, not sent
  std::atomic<uint64_t> sourceChanges{0};  // the peer started a new session
  std::atomic<uint64_t> late{0};           // steady events whose moment had passed on arrival
};

// One pass of the playback thread as a plain function of the window's state and `now`, so tests
// step it with a fake clock. Only one thread may use an instance.
class PrepareRecPass {
 public:
  explicit PrepareRecPass(TFormCtl& form);

  // Acts on at most one due received record, then on at most one due local record, `now` being
  // ClockUs. Returns how many microseconds may pass before the next pass is needed: 0 when a
  // queue it took from holds more, else the time until a waiting head becomes due
  // (kNoDeadlineUs when both are empty).
  int64_t Pass(int64_t now);
  // Transposes, forces the channel, sends one message and shows it in the "OUT" column.
  void PlayEvent(int32_t note, int32_t status, int32_t velocity, uint32_t sequence, int32_t time,
                 bool isLocal);
  // Applies the record's key snapshot to keyStates, playing each key that must change.
  void RepairKeys(const EventRecord& record);

  // How long a record has waited since it came into this machine, in microseconds.
  static int64_t Waited(const EventRecord& record, int64_t now);

  const PlaybackCounters& Counters() const { return counters_; }

  // Events handed to an output ahead of their moment that are not yet counted as played.
  static constexpr size_t kMaxAhead = 1024;

  int32_t lastVelocity = 100;
  std::array<KeyState, 128> keyStates{};

 private:
  // What went out for a key's note-on, so its note-off ends that very note.
  struct SentNote {
    enum State : uint8_t { None, Sent, Suppressed } state = None;
    uint8_t outNote = 0;
    uint8_t channel = 0;  // 0..15
  };

  void ActOnReceived(const EventRecord& record);
  void NoteSource(uint32_t source);
  // When a received record is due (ClockUs); `late` says whether its moment had passed already
  // when it arrived (Steady only).
  int64_t ReceivedDue(const EventRecord& record, bool steady, bool& late);
  // Counts the events handed over early whose moment has come by `now`; returns the time until
  // the next one does (kNoDeadlineUs when none waits).
  int64_t CountArrived(int64_t now);

  TFormCtl& form_;
  IntSetting transposeOut_;
  IntSetting canalOut_;
  IntSetting localCanal_;
  int32_t receptionBuffer_ = 0;
  bool haveSource_ = false;
  uint32_t lastSource_ = 0;
  std::array<SentNote, 128> sentReceived_{};
  std::array<SentNote, 128> sentLocal_{};
  PlaybackCounters counters_;
  // The moment the record being acted on is due (ClockUs), and the pass's `now`: an output with
  // a lead gets the event early with this moment, so it sounds there.
  int64_t dueUs_ = 0;
  int64_t now_ = 0;
  // Moments of events handed over early, in order: they count as played when they sound.
  std::array<int64_t, kMaxAhead> ahead_{};
  size_t aheadHead_ = 0;
  size_t aheadCount_ = 0;
  SteadyMapping steady_;
  // The sender moment of the head last mapped, so a head examined again is not learnt twice.
  struct Mapped {
    uint32_t source = 0;
    uint32_t sequence = 0;
    int64_t arrival = -1;
    int64_t moment = 0;
  } mapped_;
};

class ThreadPrepareRec : public Worker {
 public:
  // The longest sleep while records wait: a changed LocalBuffer is seen within it. With both
  // queues empty only a producer or a stop request has anything for the thread.
  static constexpr std::chrono::milliseconds kLongestWait{100};
  static constexpr std::chrono::milliseconds kIdleWait{1000};

  explicit ThreadPrepareRec(TFormCtl& form, MicroClockFn clock = ClockUs);
  ~ThreadPrepareRec() override { Stop(); }

  const PlaybackCounters& Counters() const { return pass_.Counters(); }

 protected:
  void Run() override;

 private:
  TFormCtl& form_;
  MicroClockFn clock_;
  PrepareRecPass pass_;
};

}  // namespace tandem
