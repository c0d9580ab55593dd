#include "rtp/SessionCore.h"

#include <algorithm>
#include <cmath>

#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"

namespace tandem::rtp {
namespace {

// UDP and IPv4 headers, counted in the average report size (RFC 3550 6.2).
constexpr double kUdpIpOverhead = 28;

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
