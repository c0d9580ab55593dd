#include "rtp/SessionCore.h"

#include <algorithm>
#include <cmath>

#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"

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

// The arrival time in timestamp units, modulo 2^32 as RTP timestamps are.
uint32_t ArrivalUnits(Micros now, double unit) {
  double units = std::fmod(static_cast<double>(now) * 1e-6 / unit, 4294967296.0);
  if (units < 0) units += 4294967296.0;
  return static_cast<uint32_t>(static_cast<uint64_t>(std::llround(units)));
}

// From a 1 GHz clock to one tick an hour: anything else is a mistake, and could overflow.
bool ValidUnit(double seconds) {
  return seconds >= 1e-9 && seconds <= 3600;
}

}  // namespace

SessionCore::SessionCore(const CoreConfig& config, Micros now)
    : config_(config),
      random_(config.seed),
      sequence_(config.firstSequence),
      timestamp_(config.firstTimestamp) {
  // RFC 3550 6.2: start from the probable size of our first report: RR, SDES with the CNAME.
  const size_t sdes = (4 + 4 + 2 + std::min<size_t>(config_.cname.size(), 255) + 1 + 3) / 4 * 4;
  averageRtcpSize_ = 8 + static_cast<double>(sdes) + kUdpIpOverhead;
  Schedule(now);
}

int SessionCore::SetTimestampUnit(double seconds) {
  if (!ValidUnit(seconds)) return kErrBadTimestampUnit;
  timestampUnit_ = seconds;
  return kOk;
}

int SessionCore::AddDestination(uint32_t ipHostOrder, uint16_t port) {
  return AddDestination(IpAddress::V4(ipHostOrder), port);
}

int SessionCore::AddDestination(const IpAddress& address, uint16_t port) {
  // No control port above 65535; no "any", broadcast or multicast address, which we never mean
  // to reach. A mapped IPv4 address is kept as IPv4, so one partner is never listed twice.
  if (address.NamesNoPeer() || port == 0 || port == 65535) return kErrBadDestination;
  const Destination d{address.Unmapped(), port, static_cast<uint16_t>(port + 1)};
  if (std::find(destinations_.begin(), destinations_.end(), d) == destinations_.end()) {
    destinations_.push_back(d);
  }
  return kOk;
}

void SessionCore::MoveDestinationPort(size_t index, uint16_t port, bool control) {
  if (index >= destinations_.size() || port == 0) return;
  (control ? destinations_[index].controlPort : destinations_[index].port) = port;
}

int SessionCore::BuildData(std::span<const uint8_t> payload, uint8_t payloadType, bool marker,
                           std::vector<uint8_t>& out) const {
  if (payloadType > 127) return kErrBadArgument;
  if (payload.size() > kMaxRtpPayload) return kErrTooBig;
  if (destinations_.empty()) return kErrNoDestination;
  out.clear();
  BuildRtp({marker, payloadType, sequence_, timestamp_, config_.ssrc}, payload, out);
  return kOk;
}

void SessionCore::CommitSent(size_t payloadSize, uint32_t tsIncrement, Micros now) {
  lastSentTimestamp_ = timestamp_;
  lastSendTime_ = now;
  ++sequence_;
  timestamp_ += tsIncrement;
  ++packetCount_;
  octetCount_ += static_cast<uint32_t>(payloadSize);
  sentAnything_ = true;
  ++stats_.rtpSent;
}

Source* SessionCore::FindOrAdd(uint32_t ssrc, Micros now) {
  if (auto it = sources_.find(ssrc); it != sources_.end()) return it->second.get();
  if (sources_.size() >= kMaxSources) return nullptr;
  auto source = std::make_unique<Source>(ssrc);
  source->lastHeard = now;
  Source* raw = source.get();
  sources_.emplace(ssrc, std::move(source));
  order_.push_back(ssrc);
  return raw;
}

const Source* SessionCore::FindSource(uint32_t ssrc) const {
  auto it = sources_.find(ssrc);
  return it == sources_.end() ? nullptr : it->second.get();
}

void SessionCore::File(Source& s, std::unique_ptr<Packet> packet) {
  if (s.waiting.size() >= kMaxWaitingPerSource) {
    ++stats_.limitDropped;
    return;
  }
  s.waiting.push_back(std::move(packet));
  ++stats_.rtpReceived;
}

void SessionCore::NoteArrival(Source& s, uint32_t rtpTimestamp, Micros now) {
  const double unit = s.timestampUnit > 0 ? s.timestampUnit : timestampUnit_;
  if (unit > 0) s.jitter.OnPacket(rtpTimestamp, ArrivalUnits(now, unit));
  if (s.state == SourceState::kNew) s.state = SourceState::kActive;
  s.isSender = true;
  s.dataSinceReport = true;
  s.lastData = now;
}

Input SessionCore::OnData(std::span<const uint8_t> datagram, Micros now) {
  RtpView v;
  if (ParseRtp(datagram, v) != RtpParseError::kOk) {
    ++stats_.malformedDropped;
    return Input::kMalformed;
  }
  if (v.ssrc == config_.ssrc) {
    ++stats_.ownSsrcDropped;
    return Input::kOwnSsrc;
  }
  Source* s = FindOrAdd(v.ssrc, now);
  if (s == nullptr) {
    ++stats_.limitDropped;
    return Input::kDropped;
  }
  s->lastHeard = now;

  auto packet = std::make_unique<Packet>();
  packet->payloadType = v.payloadType;
  packet->marker = v.marker;
  packet->sequence = v.sequence;
  packet->timestamp = v.timestamp;
  packet->ssrc = v.ssrc;
  packet->payload.assign(v.payload.begin(), v.payload.end());
  packet->arrival = now;

  uint32_t extended = 0;
  switch (s->sequence.Update(v.sequence, extended)) {
    case SequenceTracker::Verdict::kJumpHeld:
      if (s->held) ++stats_.sequenceDropped;  // an earlier jump nothing followed
      s->held = std::move(packet);
      return Input::kHeld;
    case SequenceTracker::Verdict::kRestarted:
      if (s->held) {
        s->held->extendedSequence = extended - 1;
        NoteArrival(*s, s->held->timestamp, now);
        File(*s, std::move(s->held));
      }
      break;
    case SequenceTracker::Verdict::kAccepted:
      if (s->held) {
        ++stats_.sequenceDropped;
        s->held.reset();
      }
      break;
  }
  packet->extendedSequence = extended;
  NoteArrival(*s, v.timestamp, now);
  const size_t before = s->waiting.size();
  File(*s, std::move(packet));
  return s->waiting.size() > before ? Input::kAccepted : Input::kDropped;
}

Input SessionCore::OnControl(std::span<const uint8_t> datagram, Micros now) {
  RtcpCompound c;
  if (ParseRtcp(datagram, c) != RtcpParseError::kOk) {
    ++stats_.malformedDropped;
    return Input::kMalformed;
  }
  // A valid compound starts with a report, whose sender is the compound's sender.
  if (c.reports.front().ssrc == config_.ssrc) {
    ++stats_.ownSsrcDropped;
    return Input::kOwnSsrc;
  }
  ++stats_.rtcpReceived;
  averageRtcpSize_ += (static_cast<double>(c.size) + kUdpIpOverhead - averageRtcpSize_) / 16;

  for (const RtcpReport& r : c.reports) {
    if (r.ssrc == config_.ssrc) continue;
    Source* s = FindOrAdd(r.ssrc, now);
    if (s == nullptr) {
      ++stats_.limitDropped;
      continue;
    }
    s->lastHeard = now;
    if (r.isSender) {
      // RFC 3550 6.4.1: LSR is the middle 32 bits of the SR's NTP timestamp.
      s->lastSrMiddle = static_cast<uint32_t>(r.sender.ntp >> 16);
      s->lastSrArrival = now;
      s->haveSr = true;
    }
    for (const ReportBlock& b : r.blocks) {
      if (b.ssrc == config_.ssrc) TakeReportAboutUs(b, now);
    }
  }
  for (const SdesChunk& chunk : c.sdes) {
    if (chunk.ssrc == config_.ssrc) continue;
    Source* s = FindOrAdd(chunk.ssrc, now);
    if (s == nullptr) {
      ++stats_.limitDropped;
      continue;
    }
    s->lastHeard = now;
    if (!chunk.cname.empty()) s->cname = chunk.cname;
  }
  for (const RtcpBye& bye : c.byes) {
    for (uint32_t ssrc : bye.ssrcs) {
      auto it = sources_.find(ssrc);
      if (it == sources_.end() || it->second->state == SourceState::kBye) continue;
      it->second->state = SourceState::kBye;
      it->second->byeAt = now;
    }
  }
  return Input::kAccepted;
}

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

bool SessionCore::GotoFirstSourceWithData() {
  haveCursor_ = false;
  for (size_t i = 0; i < order_.size(); ++i) {
    if (!sources_[order_[i]]->waiting.empty()) {
      cursor_ = i;
      haveCursor_ = true;
      return true;
    }
  }
  return false;
}

bool SessionCore::GotoNextSourceWithData() {
  if (!haveCursor_) return false;
  for (size_t i = cursor_ + 1; i < order_.size(); ++i) {
    if (!sources_[order_[i]]->waiting.empty()) {
      cursor_ = i;
      return true;
    }
  }
  haveCursor_ = false;
  return false;
}

int SessionCore::SetCurrentSourceTimestampUnit(double seconds) {
  if (!haveCursor_ || cursor_ >= order_.size()) return kErrNoSource;
  if (!ValidUnit(seconds)) return kErrBadTimestampUnit;
  Source& s = *sources_[order_[cursor_]];
  // Transit times in two different units cannot be compared: start the estimate afresh.
  const double effective = s.timestampUnit > 0 ? s.timestampUnit : timestampUnit_;
  if (effective != seconds) s.jitter = JitterEstimator{};
  s.timestampUnit = seconds;
  return kOk;
}

std::unique_ptr<Packet> SessionCore::TakeNextPacket() {
  if (!haveCursor_ || cursor_ >= order_.size()) return nullptr;
  auto& waiting = sources_[order_[cursor_]]->waiting;
  if (waiting.empty()) return nullptr;
  auto packet = std::move(waiting.front());
  waiting.pop_front();
  return packet;
}

std::vector<SourceInfo> SessionCore::Sources() const {
  std::vector<SourceInfo> out;
  for (uint32_t ssrc : order_) {
    const Source& s = *sources_.at(ssrc);
    SourceInfo info;
    info.ssrc = ssrc;
    info.cname = s.cname;
    info.sentData = s.sequence.Initialised();
    info.byeReceived = s.state == SourceState::kBye;
    info.jitter = s.jitter.Jitter();
    info.extendedHighest = s.sequence.ExtendedMax();
    info.received = s.sequence.Received();
    info.cumulativeLost = s.sequence.CumulativeLost();
    info.waiting = s.waiting.size();
    out.push_back(std::move(info));
  }
  return out;
}

}  // namespace tandem::rtp
