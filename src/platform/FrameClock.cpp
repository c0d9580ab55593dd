#include "platform/FrameClock.h"

#include <algorithm>
#include <cmath>

namespace tandem {

void FrameClock::Cycle(uint32_t frame, int64_t nowUs, uint32_t rate, uint32_t periodFrames) {
  const auto step = static_cast<int32_t>(frame - lastFrame_);
  // A new rate, or frames that went back or leapt (a restarted server): start afresh.
  if (count_ == 0 || rate != rate_ || rate == 0 || step < 0 || step > int64_t{rate} * 60) {
    rate_ = rate;
    window_ = std::clamp<size_t>(periodFrames == 0 ? kMaxCycles : rate / 2 / periodFrames, 16,
                                 kMaxCycles);
    frames_ = 0;
    baseUs_ = nowUs;
    count_ = 0;
    next_ = 0;
  } else {
    frames_ += step;
  }
  lastFrame_ = frame;
  if (rate_ == 0) return;
  lateness_[next_] = double(nowUs - baseUs_) - double(frames_) * FrameUs();
  next_ = (next_ + 1) % window_;
  count_ = std::min(count_ + 1, window_);

  // Until the window is full, the cycles seen fill it from the start, so the least is taken
  // without regard to order.
  double least = lateness_[0];
  for (size_t i = 1; i < count_; ++i) least = std::min(least, lateness_[i]);
  if (count_ > kStepCycles) {
    auto recent = [&](size_t back) { return lateness_[(next_ + window_ - 1 - back) % window_]; };
    double recentLeast = recent(0);
    for (size_t i = 1; i < kStepCycles; ++i) recentLeast = std::min(recentLeast, recent(i));
    if (recentLeast > least + kStepUs) {
      std::array<double, kStepCycles> kept;
      for (size_t i = 0; i < kStepCycles; ++i) kept[i] = recent(kStepCycles - 1 - i);
      std::copy(kept.begin(), kept.end(), lateness_.begin());
      count_ = kStepCycles;
      next_ = kStepCycles % window_;
      least = recentLeast;
    }
  }
  offset_ = least;
}

int64_t FrameClock::MomentOf(uint32_t frame) const {
  if (count_ == 0) return 0;
  const double frames = double(frames_ + static_cast<int32_t>(frame - lastFrame_));
  return baseUs_ + std::llround(offset_ + frames * FrameUs());
}

int64_t FrameClock::FramesUntil(int64_t us) const {
  if (count_ == 0) return 0;
  const double frame = std::floor((double(us - baseUs_) - offset_) / FrameUs());
  return static_cast<int64_t>(frame) - frames_;
}

}  // namespace tandem
