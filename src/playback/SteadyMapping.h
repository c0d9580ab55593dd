// Steady playout: where a received event's moment at its sender falls on this machine's clock.
// The sender's RTP timestamps carry the rhythm as played; the network delays each packet by a
// different amount. The packet it delayed least tells the offset between the two clocks best, so
// the mapping is the smallest (arrival - sender time) seen over a sliding window. Events played
// at sender time + that offset + the buffer keep their intervals, however late each one came.
#pragma once

#include <cstdint>
#include <deque>

namespace tandem {

class SteadyMapping {
 public:
  // Long enough to hold a packet that crossed an idle network, short enough to follow a
  // route change within seconds.
  static constexpr int64_t kWindowUs = 2'000'000;
  // Once learnt, the offset moves at most this much per second of arrivals: ten times the drift
  // of a poor crystal, so drift and a changed route are followed, while one packet that is oddly
  // early moves it little.
  static constexpr int64_t kSlewUsPerSecond = 1000;
  // The window's minimum wanders by a fraction of a millisecond as packets leave it, and each
  // step would be heard as notes out of time. Moves up to this size go at a tenth of the rate;
  // a drift that outruns that soon needs a larger move, which the full rate serves.
  static constexpr int64_t kFineUs = 1000;
  static constexpr int64_t kFineSlewUsPerSecond = 100;
  // A packet this far from the mapping is not believed; this many in a row mean the sender's
  // clock jumped, and the mapping starts afresh from them.
  static constexpr int64_t kResyncUs = 1'000'000;
  static constexpr int kResyncAfter = 3;

  // Learns from one received record (its source, RTP timestamp in ms and ClockUs arrival) and
  // returns its sender moment on ClockUs. A packet that is not believed is never mapped later
  // than its arrival, so it plays no later than it would by arrival alone.
  int64_t Map(uint32_t source, uint32_t senderMs, int64_t arrivalUs);
  void Reset() { have_ = false; }

  // The current offset, local minus sender, in microseconds.
  int64_t OffsetUs() const { return offset_; }
  uint64_t Resyncs() const { return resyncs_; }

 private:
  struct Sample {
    int64_t arrival;
    int64_t delta;
  };
  void Restart(uint32_t source, uint32_t senderMs, int64_t arrivalUs);

  bool have_ = false;
  uint32_t source_ = 0;
  uint32_t lastTimestamp_ = 0;
  int64_t senderMs_ = 0;  // the last timestamp, unwrapped
  int64_t offset_ = 0;
  int64_t learntAt_ = 0;    // until this arrival the offset is the window's minimum itself
  int64_t lastUpdate_ = 0;  // the latest arrival seen
  int64_t slewFrom_ = 0;    // the moment from which the offset has earned its next move
  int outliers_ = 0;
  uint64_t resyncs_ = 0;
  std::deque<Sample> window_;  // increasing deltas; the front is the window's minimum
};

}  // namespace tandem
