// What we know about one remote source (one SSRC): its sequence numbering, its interarrival
// jitter, its loss figures and the data packets waiting to be taken.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "rtp/RtpSession.h"

namespace tandem::rtp {

using Micros = int64_t;  // microseconds on a monotonic clock

// RFC 3550 A.1 sequence tracking, without the probation of a new source: its first packet is
// accepted at once.
class SequenceTracker {
 public:
  enum class Verdict {
    kAccepted,   // in order, late or duplicate: deliver it
    kJumpHeld,   // a big jump: hold the packet until the next one shows whether it is real
    kRestarted,  // the held packet was followed: deliver it (number extended - 1), then this one
  };

  void Init(uint16_t seq);
  bool Initialised() const { return initialised_; }
  // Updates the state for seq; extended is the packet's extended number unless kJumpHeld.
  Verdict Update(uint16_t seq, uint32_t& extended);

  uint32_t ExtendedMax() const { return cycles_ + maxSeq_; }
  uint32_t Received() const { return received_; }
  int64_t Expected() const;
  // RFC 3550 A.3: packets lost since the start (negative with duplicates).
  int64_t CumulativeLost() const { return Expected() - received_; }
  // RFC 3550 A.3: the fraction lost since the last call, in 1/256.
  uint8_t TakeFractionLost();

 private:
  bool initialised_ = false;
  uint16_t maxSeq_ = 0;
  uint32_t cycles_ = 0;  // count of wrap-arounds, times 65536
  uint32_t baseSeq_ = 0;
  uint32_t badSeq_ = 0;
  uint32_t received_ = 0;
  int64_t expectedPrior_ = 0;
  uint32_t receivedPrior_ = 0;
};

// RFC 3550 A.8 interarrival jitter, in timestamp units.
class JitterEstimator {
 public:
  // arrivalUnits: the arrival time in the source's timestamp units (modulo 2^32).
  void OnPacket(uint32_t rtpTimestamp, uint32_t arrivalUnits);
  double Jitter() const { return jitter_; }

 private:
  bool haveTransit_ = false;
  uint32_t transit_ = 0;
  double jitter_ = 0;
};

enum class SourceState {
  kNew,     // heard only through RTCP so far
  kActive,  // sent data
  kBye,     // said goodbye; removed once its packets are taken and a grace time has passed
};

struct Source {
  explicit Source(uint32_t id) : ssrc(id) {}

  uint32_t ssrc;
  SourceState state = SourceState::kNew;
  std::string cname;
  Micros lastHeard = 0;  // any RTP or RTCP packet
  Micros lastData = 0;   // last data packet
  Micros byeAt = 0;
  bool isSender = false;  // sent data within the last two report intervals
  bool dataSinceReport = false;
  double timestampUnit = 0;  // seconds; 0 = use the session's unit

  SequenceTracker sequence;
  JitterEstimator jitter;
  uint8_t lastFractionLost = 0;  // in our last report block about it, in 1/256

  // The last SR from this source, for our reception blocks (RFC 3550 6.4.1 LSR and DLSR).
  uint32_t lastSrMiddle = 0;
  Micros lastSrArrival = 0;
  bool haveSr = false;

  std::deque<std::unique_ptr<Packet>> waiting;
  std::unique_ptr<Packet> held;  // the first packet after a sequence jump, until confirmed
};

}  // namespace tandem::rtp
