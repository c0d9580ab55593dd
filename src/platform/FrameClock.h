// Which moment on our monotonic clock each frame of an audio server's cycles has, from when the
// cycles were seen to run. Used inside a process callback only: no allocation, no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tandem {

class FrameClock {
 public:
  // At the start of every cycle: its first frame, the moment the callback runs, the nominal rate
  // and the frames in a cycle.
  void Cycle(uint32_t frame, int64_t nowUs, uint32_t rate, uint32_t periodFrames);

  // The moment of a frame near the last cycle, on our clock; 0 before any cycle.
  int64_t MomentOf(uint32_t frame) const;
  // Frames from the last cycle's first frame to a moment (negative when it lies before it).
  int64_t FramesUntil(int64_t us) const;

  bool Known() const { return count_ > 0; }

 private:
  // About half a second of cycles, and never more than this.
  static constexpr size_t kMaxCycles = 512;
  // Cycles that all ran this much later than the estimate say the frames fell behind (a cycle
  // lost to overload): the estimate follows them at once rather than half a second later.
  static constexpr int64_t kStepUs = 2000;
  static constexpr size_t kStepCycles = 8;

  double FrameUs() const { return 1e6 / rate_; }

  uint32_t rate_ = 0;
  uint32_t lastFrame_ = 0;
  int64_t frames_ = 0;  // frames since the first cycle seen, past 2^32
  // How late each recent cycle ran against its frames at the nominal rate (µs, from the first
  // cycle). A callback is never early, so the least of them is the frames' own moment.
  std::array<double, kMaxCycles> lateness_{};
  size_t window_ = 0;
  size_t count_ = 0;  // cycles seen, up to window_
  size_t next_ = 0;
  int64_t baseUs_ = 0;
  double offset_ = 0;  // the estimate: the moment of frame 0 after baseUs_
};

}  // namespace tandem
