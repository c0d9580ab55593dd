#include "rtp/Source.h"

#include <algorithm>

namespace tandem::rtp {
namespace {
constexpr uint32_t kSeqMod = 1u << 16;
constexpr uint16_t kMaxDropout = 3000;
constexpr uint16_t kMaxMisorder = 100;
}  // namespace

void SequenceTracker::Init(uint16_t seq) {
  initialised_ = true;
  baseSeq_ = seq;
  maxSeq_ = seq;
  badSeq_ = kSeqMod + 1;  // so seq == badSeq_ is false
  cycles_ = 0;
  received_ = 0;
  receivedPrior_ = 0;
  expectedPrior_ = 0;
}

int64_t SequenceTracker::Expected() const {
  if (!initialised_) return 0;
  return int64_t{cycles_} + maxSeq_ - baseSeq_ + 1;
}

SequenceTracker::Verdict SequenceTracker::Update(uint16_t seq, uint32_t& extended) {
  if (!initialised_) {
    Init(seq);
    ++received_;
    extended = seq;
    return Verdict::kAccepted;
  }
  const uint16_t udelta = static_cast<uint16_t>(seq - maxSeq_);
  if (udelta < kMaxDropout) {
    // In order, with a permissible gap.
    if (seq < maxSeq_) cycles_ += kSeqMod;
    maxSeq_ = seq;
    extended = cycles_ + seq;
  } else if (udelta <= kSeqMod - kMaxMisorder) {
    // A big jump. RFC 3550 A.1 trusts it only when the next packet follows it: the sender
    // restarted its numbering. The caller holds the first packet meanwhile, so neither is lost.
    // Unlike A.1 we keep the extended numbers increasing across the restart, so a receiver
    // ordering by them places the new packets after the old ones.
    if (seq != badSeq_) {
      badSeq_ = (seq + 1u) & (kSeqMod - 1);
      return Verdict::kJumpHeld;
    }
    const uint16_t held = static_cast<uint16_t>(seq - 1);
    const uint32_t next = ExtendedMax() + 1;
    const uint32_t nextLow = next & (kSeqMod - 1);
    const uint32_t heldExtended = next - nextLow + held + (held < nextLow ? kSeqMod : 0);
    extended = heldExtended + 1;
    Init(held);
    baseSeq_ = heldExtended;
    maxSeq_ = seq;
    cycles_ = extended - seq;
    received_ = 2;
    return Verdict::kRestarted;
  } else {
    // Duplicate or reordered. A late packet numbered above maxSeq_ is from before the last wrap.
    extended = cycles_ + seq;
    if (seq > maxSeq_ && cycles_ >= kSeqMod) extended -= kSeqMod;
  }
  ++received_;
  return Verdict::kAccepted;
}

uint8_t SequenceTracker::TakeFractionLost() {
  const int64_t expected = Expected();
  const int64_t expectedInterval = expected - expectedPrior_;
  expectedPrior_ = expected;
  const int64_t receivedInterval = int64_t{received_} - receivedPrior_;
  receivedPrior_ = received_;
  const int64_t lostInterval = expectedInterval - receivedInterval;
  if (expectedInterval <= 0 || lostInterval <= 0) return 0;
  return static_cast<uint8_t>(std::min<int64_t>((lostInterval << 8) / expectedInterval, 255));
}

void JitterEstimator::OnPacket(uint32_t rtpTimestamp, uint32_t arrivalUnits) {
  const uint32_t transit = arrivalUnits - rtpTimestamp;
  if (haveTransit_) {
    int64_t d = static_cast<int32_t>(transit - transit_);
    if (d < 0) d = -d;
    jitter_ += (static_cast<double>(d) - jitter_) / 16.0;
  }
  haveTransit_ = true;
  transit_ = transit;
}

}  // namespace tandem::rtp
