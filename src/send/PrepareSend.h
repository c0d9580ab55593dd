// The send preparation thread: moves records from the outgoing queue to the send queue, marks
// the keys sent, measures the playing speed, announces the local buffer and paces the key
// refreshes that let the peer repair lost note-ons and note-offs.
#pragma once

#include <cstdint>

#include "model/FormCtrl.h"
#include "platform/Worker.h"
#include "send/Fonctionutile.h"

namespace tandem {

// One pass of the thread, a plain function of the model and `now`, so tests step it with a fake
// clock. The clock given here is read at construction and by the speed measurement.
class PrepareSendPass {
 public:
  static constexpr int32_t kSpeedPeriodMs = 500;
  static constexpr int32_t kCadenceStopMs = 5000;
  static constexpr int32_t kSpeedWindowS = 5;

  explicit PrepareSendPass(TFormCtl& form, ClockFn clock = ClockMs);

  // Returns how many clock ms may pass before the next pass is needed: 0 while OutgoingQueue
  // holds more, else the time to the next speed measurement, refresh or end of the cadence.
  int32_t Pass(int32_t now);

  // The cadence state, for tests and diagnostics.
  bool Active() const { return active_; }
  int32_t Interval() const { return interval_; }

 private:
  void Measure(int32_t now);
  void Cadence(int32_t now);
  bool Forward(int32_t now);
  int32_t NextDeadline(int32_t now) const;

  TFormCtl& form_;
  SpeedCalculator speed_;
  // A text that is no whole number keeps the last good value: no thread dies from a setting.
  IntSetting base_;
  IntSetting mult_;
  int32_t lastSpeedTime_;
  int32_t baseValue_;
  int32_t multValue_;
  int32_t interval_;
  bool active_ = false;
  bool restartPending_ = false;
  int32_t lastRefreshTime_;
  int32_t lastEventTime_;
};

class ThreadPrepareSend : public Worker {
 public:
  // The longest sleep, a bound that is never reached: a speed measurement is due sooner.
  static constexpr std::chrono::milliseconds kLongestWait{1000};

  explicit ThreadPrepareSend(TFormCtl& form);
  ~ThreadPrepareSend() override;

 protected:
  void Run() override;

 private:
  TFormCtl& form_;
};

}  // namespace tandem
