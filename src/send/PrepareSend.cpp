#include "send/PrepareSend.h"

#include <algorithm>
#include <limits>

namespace tandem {

namespace {

// Clock differences wrap like the 32-bit values they are; never signed overflow.
int32_t Elapsed(int32_t now, int32_t then) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(then));
}

// The interval grows by the multiplier; it saturates rather than wrapping to a negative value,
// which would turn a huge multiplier into a refresh on every pass.
int32_t Multiply(int32_t interval, int32_t mult) {
  int64_t product = int64_t{interval} * mult;
  if (product > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (product < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(product);
}

}  // namespace

PrepareSendPass::PrepareSendPass(TFormCtl& form, ClockFn clock)
    : form_(form), speed_(clock), base_(form.EditBaseValue, 5), mult_(form.EditMulValue, 2) {
  speed_.SetWindow(kSpeedWindowS);
  int32_t start = clock();
  lastSpeedTime_ = start;
  baseValue_ = base_.Get();
  multValue_ = mult_.Get();
  interval_ = baseValue_;
  lastRefreshTime_ = start;
  lastEventTime_ = start;
}

int32_t PrepareSendPass::Pass(int32_t now) {
  // Both are read on every pass so that "last good value" means the last text seen, not the
  // text found whenever the multiplier happens to be needed.
  baseValue_ = base_.Get();
  multValue_ = mult_.Get();
  Measure(now);
  Cadence(now);
  if (Forward(now) && form_.OutgoingQueue.Count() > 0) return 0;
  return NextDeadline(now);
}

int32_t PrepareSendPass::NextDeadline(int32_t now) const {
  // Each test fires once the elapsed time exceeds its limit: limit + 1 - elapsed from now.
  auto until = [now](int32_t since, int64_t limit) { return limit + 1 - Elapsed(now, since); };
  int64_t wait = until(lastSpeedTime_, kSpeedPeriodMs);
  if ((form_.RadioButtonCst.Checked() || form_.RadioButtonVariable.Checked()) && active_) {
    int64_t refresh = until(lastRefreshTime_, restartPending_ ? baseValue_ : interval_);
    // Due already: a restarted interval refreshes in the next pass, at once. But an interval
    // below zero would refresh in a busy loop; one refresh per clock step is its limit.
    if (refresh <= 0 && lastRefreshTime_ == now) refresh = 1;
    wait = std::min(wait, refresh);
    wait = std::min(wait, until(lastEventTime_, kCadenceStopMs));
  }
  return static_cast<int32_t>(std::clamp<int64_t>(wait, 0, kNoDeadline));
}

void PrepareSendPass::Measure(int32_t now) {
  if (Elapsed(now, lastSpeedTime_) <= kSpeedPeriodMs) return;
  auto speed = static_cast<int32_t>(speed_.GetSpeed());
  form_.LocalSpeed.store(static_cast<float>(speed));
  if (form_.CheckBoxAutomateLocalBuffer.Checked()) form_.LocalBuffer.store(AutoLocalBuffer(speed));
  // The peer learns our buffer on every measurement, automatic or not.
  auto record = MakeRecord(EventBuffer);
  record->bufferMs = form_.LocalBuffer.load();
  form_.SendQueue.Add(std::move(record));
  lastSpeedTime_ = now;
}

void PrepareSendPass::Cadence(int32_t now) {
  bool variable = form_.RadioButtonVariable.Checked();
  if (!(form_.RadioButtonCst.Checked() || variable) || !active_) return;
  if (restartPending_) {
    interval_ = baseValue_;
    restartPending_ = false;
  }
  if (Elapsed(now, lastRefreshTime_) > interval_) {
    form_.SendQueue.Add(MakeRecord(EventKeyRefresh));
    if (variable) interval_ = Multiply(interval_, multValue_);
    lastRefreshTime_ = now;
  }
  if (Elapsed(now, lastEventTime_) > kCadenceStopMs) {
    active_ = false;
    restartPending_ = false;
    interval_ = baseValue_;
  }
}

bool PrepareSendPass::Forward(int32_t now) {
  RecordPtr record = form_.OutgoingQueue.DeleteFirst();
  if (!record) return false;
  if (record->kind == EventMidi) {
    // Recorded at the moment it was played, when the capture stamped it; else now.
    form_.Recorder.Take(SessionRecorder::Ours, record->status | (record->channel & 0x0F),
                        record->note, record->velocity,
                        record->arrivalUs > 0 ? ClockUsReaches(record->arrivalUs)
                                              : SessionRecorder::Clock::now());
    active_ = true;
    restartPending_ = true;
    lastEventTime_ = now;
    // A note outside the key range is passed on but never used as an index.
    bool keyInRange = record->note >= 0 && record->note < 128;
    if (record->status == 144) {
      if (keyInRange) form_.KeysSent[static_cast<size_t>(record->note)].store(1);
      speed_.AddEvent(1);
    } else if (record->status == 128) {
      if (keyInRange) form_.KeysSent[static_cast<size_t>(record->note)].store(0);
    }
  }
  form_.SendQueue.Add(std::move(record));
  return true;
}

ThreadPrepareSend::ThreadPrepareSend(TFormCtl& form) : Worker("ThreadPrepareSend"), form_(form) {
  // Producers wake the thread, so a later change can wait for work instead of polling.
  form_.OutgoingQueue.SetWaker(&GetWaker());
}

ThreadPrepareSend::~ThreadPrepareSend() {
  Stop();
  form_.OutgoingQueue.RemoveWaker(&GetWaker());
}

void ThreadPrepareSend::Run() {
  // On the road of every note, with short bounded passes: ahead of ordinary work where allowed.
  RaisePriority();
  const ClockFn clock = ClockMs;
  PrepareSendPass pass(form_, clock);
  // A new record wakes the thread; otherwise it sleeps until its next deadline.
  for (;;) {
    const int32_t now = clock();
    const int32_t wait = pass.Pass(now);
    if (wait == 0 ? StopRequested() : !SleepUntil(NextPassTime(clock, now, wait, kLongestWait)))
      return;
  }
}

}  // namespace tandem
