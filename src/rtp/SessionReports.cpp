// The session's RTCP side: what the partner's reports say about us, when our own reports go,
// and the reports, BYEs and SSRC changes themselves.
#include <algorithm>
#include <cmath>

#include "rtp/Rtcp.h"
#include "rtp/SessionCore.h"

namespace tandem::rtp {
namespace {

// RFC 3550 6.3.5: a member silent for this many report intervals has left.
constexpr double kTimeoutIntervals = 5;
// UDP and IPv4 headers, counted in the average report size (RFC 3550 6.2).
constexpr double kUdpIpOverhead = 28;
constexpr uint64_t kNtpUnixOffset = 2'208'988'800;  // seconds from 1900 to 1970
// SRs remembered for matching the partner's LSR: several report intervals, so a report that
// names an SR before the last (its answer to the last one was lost) still gives a round trip.
constexpr size_t kSentSrsKept = 16;
// LSR and DLSR count 1/65536 s and are cut, not rounded: a round trip this far below zero is
// rounding; beyond it the report lies.
constexpr Micros kRttRoundingSlack = 2 * 1'000'000 / 65536 + 1;
// A jitter beyond this is no network's: a report that claims it is not believed.
constexpr double kMaxBelievableJitterSeconds = 60;

Micros SecondsToMicros(double s) {
  return static_cast<Micros>(std::llround(s * 1e6));
}

}  // namespace

void SessionCore::TakeReportAboutUs(const ReportBlock& b, Micros now) {
  ++link_.reportBlocks;
  link_.haveReport = true;
  link_.sentFractionLost = b.fractionLost / 256.0;
  // Duplicates make the count negative (RFC 3550 6.4.1); none can exceed what we sent.
  const int64_t sent = packetCount_;
  if (b.cumulativeLost > sent || b.cumulativeLost < -sent) ++stats_.reportFiguresRefused;
  link_.sentCumulativeLost = std::clamp<int64_t>(b.cumulativeLost, 0, sent);
  // The partner measures our jitter in our timestamp units.
  const double jitterSeconds = b.jitter * timestampUnit_;
  if (jitterSeconds > kMaxBelievableJitterSeconds) {
    ++stats_.reportFiguresRefused;
  } else {
    link_.sentJitterMs = jitterSeconds * 1e3;
  }
  // RFC 3550 6.4.1: LSR 0 means the partner has had no SR of ours yet.
  if (b.lastSr == 0) return;
  auto sr = std::find_if(sentSrs_.begin(), sentSrs_.end(),
                         [&](const SentSr& x) { return x.middle == b.lastSr; });
  if (sr == sentSrs_.end()) {
    ++stats_.reportFiguresRefused;
    return;
  }
  // The round trip is the time since that SR left, less the time the partner held it. Our own
  // send time is used rather than the NTP clock, which may step meanwhile.
  const Micros held = static_cast<Micros>(uint64_t{b.delaySinceSr} * 1'000'000 / 65536);
  const Micros rtt = now - sr->at - held;
  if (rtt < -kRttRoundingSlack) {
    ++stats_.reportFiguresRefused;
    return;
  }
  link_.haveRtt = true;
  link_.rttMs = static_cast<double>(std::max<Micros>(rtt, 0)) * 1e-3;
}

LinkFigures SessionCore::Link() const {
  LinkFigures out = link_;
  // The partner is the source whose data came last; a source that said goodbye only when no
  // other sends.
  const Source* partner = nullptr;
  for (uint32_t ssrc : order_) {
    const Source& s = *sources_.at(ssrc);
    if (!s.sequence.Initialised()) continue;
    const bool better = partner == nullptr ||
                        (partner->state == SourceState::kBye && s.state != SourceState::kBye) ||
                        ((partner->state == SourceState::kBye) == (s.state == SourceState::kBye) &&
                         s.lastData >= partner->lastData);
    if (better) partner = &s;
  }
  if (partner != nullptr) {
    out.haveReceived = true;
    out.receivedFractionLost = partner->lastFractionLost / 256.0;
    out.receivedCumulativeLost = std::max<int64_t>(partner->sequence.CumulativeLost(), 0);
    const double unit = partner->timestampUnit > 0 ? partner->timestampUnit : timestampUnit_;
    out.receivedJitterMs = partner->jitter.Jitter() * unit * 1e3;
  }
  return out;
}

RtcpIntervalInput SessionCore::IntervalInput(bool forTimeout) const {
  RtcpIntervalInput in;
  in.members = 1;
  in.senders = WeSent() ? 1 : 0;
  for (const auto& [ssrc, s] : sources_) {
    if (s->state == SourceState::kBye) continue;
    ++in.members;
    if (s->isSender) ++in.senders;
  }
  in.rtcpBandwidth = config_.sessionBandwidth * 0.05;
  in.averageRtcpSize = averageRtcpSize_;
  in.weSent = WeSent();
  // RFC 3550 6.3.5: timeouts use the full minimum, not the halved one of the first report.
  in.initial = initial_ && !forTimeout;
  in.minimumSeconds = config_.rtcpMinimumSeconds;
  return in;
}

double SessionCore::DeterministicInterval() const {
  return DeterministicRtcpInterval(IntervalInput(false));
}

void SessionCore::Schedule(Micros from) {
  std::uniform_real_distribution<double> unit01(0.0, 1.0);
  lastInterval_ = RandomisedRtcpInterval(IntervalInput(false), unit01(random_));
  nextReport_ = from + SecondsToMicros(lastInterval_);
}

void SessionCore::SetRtcpMinimum(double seconds, Micros now) {
  if (!std::isfinite(seconds) || seconds <= 0) return;
  config_.rtcpMinimumSeconds = seconds;
  Schedule(now);
}

void SessionCore::Sweep(Micros now) {
  const Micros timeout =
      SecondsToMicros(kTimeoutIntervals * DeterministicRtcpInterval(IntervalInput(true)));
  // RFC 3550 6.3.8: a member that sent no data for two intervals is no longer a sender.
  const Micros senderTimeout = SecondsToMicros(2 * lastInterval_);
  std::vector<uint32_t> gone;
  for (auto& [ssrc, s] : sources_) {
    if (s->isSender && now - s->lastData > senderTimeout) s->isSender = false;
    if (!s->waiting.empty()) continue;  // not before the application took its packets
    const bool byeDone = s->state == SourceState::kBye && now - s->byeAt >= kByeGrace;
    if (byeDone || now - s->lastHeard > timeout) gone.push_back(ssrc);
  }
  for (uint32_t ssrc : gone) {
    if (sources_[ssrc]->held) ++stats_.sequenceDropped;
    sources_.erase(ssrc);
    order_.erase(std::find(order_.begin(), order_.end(), ssrc));
  }
  if (!gone.empty()) haveCursor_ = false;
}

uint64_t SessionCore::Ntp(Micros now) const {
  const Micros unixMicros = now + config_.wallclockOffset;
  const uint64_t seconds = static_cast<uint64_t>(unixMicros / 1'000'000) + kNtpUnixOffset;
  const uint64_t micros = static_cast<uint64_t>(unixMicros % 1'000'000);
  return seconds << 32 | (micros << 32) / 1'000'000;
}

uint32_t SessionCore::RtpTimestampAt(Micros now) const {
  // RFC 3550 6.4.1: the RTP time of the SR's NTP instant, extrapolated from our last packet.
  if (!sentAnything_ || timestampUnit_ <= 0) return timestamp_;
  const double elapsed =
      std::fmod(std::max(static_cast<double>(now - lastSendTime_), 0.0) * 1e-6 / timestampUnit_,
                4294967296.0);
  return lastSentTimestamp_ + static_cast<uint32_t>(static_cast<uint64_t>(elapsed));
}

std::vector<ReportBlock> SessionCore::Blocks(Micros now, bool take) {
  std::vector<ReportBlock> blocks;
  for (uint32_t ssrc : order_) {
    Source& s = *sources_[ssrc];
    if (!s.dataSinceReport || !s.sequence.Initialised()) continue;
    if (blocks.size() == kMaxReportBlocks) break;
    ReportBlock b;
    b.ssrc = ssrc;
    b.fractionLost = take ? s.sequence.TakeFractionLost() : 0;
    if (take) s.lastFractionLost = b.fractionLost;
    b.cumulativeLost =
        static_cast<int32_t>(std::clamp<int64_t>(s.sequence.CumulativeLost(), -0x800000, 0x7fffff));
    b.highestSequence = s.sequence.ExtendedMax();
    b.jitter = static_cast<uint32_t>(std::min(s.jitter.Jitter(), 4294967295.0));
    if (s.haveSr) {
      b.lastSr = s.lastSrMiddle;
      b.delaySinceSr = static_cast<uint32_t>((now - s.lastSrArrival) * 65536 / 1'000'000);
    }
    if (take) s.dataSinceReport = false;
    blocks.push_back(b);
  }
  return blocks;
}

void SessionCore::AppendReport(std::vector<uint8_t>& out, Micros now, bool takeBlocks) {
  const std::vector<ReportBlock> blocks = Blocks(now, takeBlocks);
  // RFC 3550 6.4: an SR when we sent data since the report before last, else an RR.
  if (WeSent()) {
    const SenderInfo info{Ntp(now), RtpTimestampAt(now), packetCount_, octetCount_};
    AppendSr(out, config_.ssrc, info, blocks);
    sentSrs_.push_back({static_cast<uint32_t>(info.ntp >> 16), now});
    if (sentSrs_.size() > kSentSrsKept) sentSrs_.pop_front();
  } else {
    AppendRr(out, config_.ssrc, blocks);
  }
  AppendSdesCname(out, config_.ssrc, config_.cname);
}

std::vector<uint8_t> SessionCore::MakeReport(Micros now) {
  std::vector<uint8_t> out;
  AppendReport(out, now, true);
  averageRtcpSize_ += (static_cast<double>(out.size()) + kUdpIpOverhead - averageRtcpSize_) / 16;
  sentAnything_ = true;
  packetsAtReportBefore_ = packetsAtLastReport_;
  packetsAtLastReport_ = packetCount_;
  initial_ = false;
  Sweep(now);
  Schedule(now);
  return out;
}

std::vector<uint8_t> SessionCore::MakeBye(Micros now) {
  std::vector<uint8_t> out;
  if (!sentAnything_) return out;
  AppendReport(out, now, false);
  const uint32_t self = config_.ssrc;
  AppendBye(out, std::span(&self, 1));
  return out;
}

std::vector<uint8_t> SessionCore::ChangeSsrc(uint32_t ssrc, Micros now) {
  std::vector<uint8_t> bye = MakeBye(now);
  config_.ssrc = ssrc;
  // The sender counts of an SR belong to one SSRC: the new one starts from nothing.
  packetCount_ = 0;
  octetCount_ = 0;
  packetsAtLastReport_ = 0;
  packetsAtReportBefore_ = 0;
  sentAnything_ = false;
  ++stats_.ssrcChanges;
  return bye;
}

}  // namespace tandem::rtp
