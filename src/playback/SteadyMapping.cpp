#include "playback/SteadyMapping.h"

#include <algorithm>

namespace tandem {

void SteadyMapping::Restart(uint32_t source, uint32_t senderMs, int64_t arrivalUs) {
  if (have_) ++resyncs_;
  have_ = true;
  source_ = source;
  lastTimestamp_ = senderMs;
  senderMs_ = senderMs;
  offset_ = arrivalUs - senderMs_ * 1000;
  learntAt_ = arrivalUs + kWindowUs;
  lastUpdate_ = arrivalUs;
  slewFrom_ = arrivalUs;
  outliers_ = 0;
  window_.clear();
  window_.push_back({arrivalUs, offset_});
}

int64_t SteadyMapping::Map(uint32_t source, uint32_t senderMs, int64_t arrivalUs) {
  // A new session of the peer numbers its time afresh.
  if (!have_ || source != source_) {
    Restart(source, senderMs, arrivalUs);
    return arrivalUs;
  }
  // Timestamps wrap at 2^32 ms; consecutive ones are close, so their difference unwraps them.
  const int64_t unwrapped = senderMs_ + static_cast<int32_t>(senderMs - lastTimestamp_);
  const int64_t sender = unwrapped * 1000;
  const int64_t delta = arrivalUs - sender;

  const int64_t distance = delta - offset_;
  if (distance > kResyncUs || distance < -kResyncUs) {
    if (++outliers_ >= kResyncAfter) {
      Restart(source, senderMs, arrivalUs);
      return arrivalUs;
    }
    // Not believed, so it does not move the reference the next timestamps unwrap from.
    return std::min(sender + offset_, arrivalUs);
  }
  outliers_ = 0;
  senderMs_ = unwrapped;
  lastTimestamp_ = senderMs;

  // The window's minimum in a deque of increasing deltas: a new sample makes every larger one
  // behind it useless, and the oldest leave as the window slides.
  while (!window_.empty() && window_.back().delta >= delta) window_.pop_back();
  window_.push_back({arrivalUs, delta});
  const int64_t newest = std::max(arrivalUs, lastUpdate_);
  while (window_.size() > 1 && window_.front().arrival < newest - kWindowUs) window_.pop_front();
  const int64_t minimum = window_.front().delta;

  lastUpdate_ = newest;
  const int64_t want = minimum - offset_;
  // The time since the offset last caught up buys the right to move; unused time is not saved
  // up, and a move too small to buy yet waits for more time to pass.
  const int64_t rate = want > kFineUs || want < -kFineUs ? kSlewUsPerSecond : kFineSlewUsPerSecond;
  const int64_t allowed = (newest - slewFrom_) * rate / 1'000'000;
  if (arrivalUs < learntAt_ || (want >= -allowed && want <= allowed)) {
    offset_ = minimum;
    slewFrom_ = newest;
  } else if (allowed > 0) {
    offset_ += want > 0 ? allowed : -allowed;
    slewFrom_ += allowed * 1'000'000 / rate;
  }
  return sender + offset_;
}

}  // namespace tandem
