// The session's MIDI: packets out with their journal, packets in with losses repaired from the
// partner's journal, receiver feedback, and the partner's timestamps on our clock.
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/Bytes.h"
#include "rtp/RtpPacket.h"
#include "rtpmidi/Session.h"

namespace tandem::rtpmidi {

namespace {

// A partner's time that maps further than this from now is not on its CK clock: arrival time is
// used instead.
constexpr int64_t kPlausibleUs = 2'000'000;

}  // namespace

int64_t Session::Unwrap(uint32_t partnerTicks) const {
  return partnerRef_ + static_cast<int32_t>(partnerTicks - static_cast<uint32_t>(partnerRef_));
}

int64_t Session::PartnerTimeToLocalUs(uint32_t rtpTimestamp) const {
  if (!offsetKnown_) return -1;
  return origin_ + (Unwrap(rtpTimestamp) - offsetTicks_) * kUsPerTick;
}

int64_t Session::LocalUs(uint32_t partnerTicks) const {
  const int64_t synced = PartnerTimeToLocalUs(partnerTicks);
  const int64_t arrival =
      anchorUs_ + int64_t{static_cast<int32_t>(partnerTicks - anchorTicks_)} * kUsPerTick;
  if (offsetKnown_ && std::abs(synced - arrival) <= kPlausibleUs) return synced;
  return arrival;
}

void Session::OnData(std::span<const uint8_t> bytes, int64_t now) {
  rtp::RtpView v;
  if (!held_.empty() && rtp::ParseRtp(bytes, v) == rtp::RtpParseError::kOk &&
      v.ssrc == partnerSsrc_) {
    const auto step = static_cast<int16_t>(v.sequence - static_cast<uint16_t>(highestIn_));
    if (step == 1) {
      // The missing packet: it goes first, then the one that waited for it.
      TakeData(bytes, now, false);
      ReleaseHeld();
      return;
    }
    if (step > 1) ReleaseHeld();  // a newer one: the missing packet was lost
  }
  TakeData(bytes, now, true);
}

void Session::ReleaseHeld() {
  heldUntil_ = INT64_MAX;
  if (held_.empty()) return;
  const std::vector<uint8_t> held = std::move(held_);
  held_.clear();
  TakeData(held, heldArrival_, false);
}

void Session::TakeData(std::span<const uint8_t> bytes, int64_t now, bool mayHold) {
  rtp::RtpView v;
  CommandSection section;
  if (rtp::ParseRtp(bytes, v) != rtp::RtpParseError::kOk ||
      !ParseCommandSection(v.payload, section)) {
    ++counters_.malformed;
    return;
  }
  if (v.ssrc != partnerSsrc_) {
    ++counters_.refused;
    return;
  }
  uint32_t gap = 0;
  const bool first = !haveIncoming_;
  if (first) {
    haveIncoming_ = true;
    highestIn_ = 0x10000u + v.sequence;
  } else {
    const int16_t step = static_cast<int16_t>(v.sequence - static_cast<uint16_t>(highestIn_));
    if (step <= 0) {
      // Its commands were repaired from a later journal, or played already.
      ++counters_.late;
      return;
    }
    gap = static_cast<uint32_t>(step - 1);
    if (gap > 0 && mayHold) {
      held_.assign(bytes.begin(), bytes.end());
      heldArrival_ = now;
      heldUntil_ = now + kReorderHoldUs;
      return;
    }
    highestIn_ += static_cast<uint32_t>(step);
  }
  ++counters_.packetsIn;
  RecoveryJournal journal;
  bool haveJournal = false;
  if (section.journal) {
    haveJournal = ParseJournal(section.rest, journal);
    if (!haveJournal) ++counters_.malformed;
  }
  if (first && haveJournal) {
    // The session's first packets were lost: its journal reaches back to them.
    const auto behind = static_cast<uint16_t>(v.sequence - journal.checkpoint);
    if (behind < 0x8000) gap = behind;
  }

  // Where this packet's time lies on our clock.
  if (offsetKnown_) partnerRef_ = Unwrap(v.timestamp);
  const int64_t byArrival =
      anchorUs_ + int64_t{static_cast<int32_t>(v.timestamp - anchorTicks_)} * kUsPerTick;
  if (!anchored_ || std::abs(byArrival - now) > kPlausibleUs) {
    anchored_ = true;
    anchorUs_ = now;
    anchorTicks_ = v.timestamp;
  }
  const int64_t packetAt = LocalUs(v.timestamp);

  if (gap > 0) {
    counters_.lost += gap;
    sysex_.Reset();  // a message in progress lost a segment
    if (haveJournal) {
      const bool strike = now - packetAt < kRecentNoteUs;
      for (Repair& r : journalIn_.Repairs(journal, highestIn_, strike)) {
        ++counters_.recovered;
        events_.push_back(MidiIn{std::move(r.bytes), packetAt, v.timestamp, true});
      }
    }
  }
  for (Command& c : section.commands) {
    const uint32_t ts = v.timestamp + c.delta;
    switch (sysex_.Add(c.bytes)) {
      case SysexAssembler::Result::kNotSysex:
        journalIn_.Played(c.bytes, highestIn_);
        events_.push_back(MidiIn{std::move(c.bytes), LocalUs(ts), ts, false});
        break;
      case SysexAssembler::Result::kComplete:
        events_.push_back(MidiIn{sysex_.Message(), LocalUs(ts), ts, false});
        break;
      default:
        break;
    }
  }

  ++packetsSinceFeedback_;
  if (packetsSinceFeedback_ >= kFeedbackPackets || now - lastFeedback_ >= kFeedbackIntervalUs) {
    SendFeedback(now);
  } else {
    feedbackDue_ = std::min(feedbackDue_, lastFeedback_ + kFeedbackIntervalUs);
  }
}

void Session::SendFeedback(int64_t now) {
  feedbackDue_ = INT64_MAX;
  if (!haveIncoming_) return;
  lastFeedback_ = now;
  packetsSinceFeedback_ = 0;
  ToPartner(Port::kControl, BuildFeedbackPacket({config_.ssrc, static_cast<uint16_t>(highestIn_)}));
}

void Session::SendMidi(std::span<const uint8_t> message, int64_t atUs) {
  if (state_ != State::kConnected || message.empty() || message[0] < 0x80) return;
  if (message[0] == 0xF0) {
    // Long SysEx travels in segments, each with room left in its packet for the journal.
    for (auto& s : SplitSysex(message, config_.maxPayload / 2 - 8)) {
      queue_.emplace_back(atUs, std::move(s));
    }
    return;
  }
  if (message.size() > 3) return;  // a short message is never longer
  queue_.emplace_back(atUs, std::vector<uint8_t>(message.begin(), message.end()));
}

std::vector<uint8_t> Session::JournalFor(uint16_t sequence, int64_t now) {
  std::vector<uint8_t> bytes;
  EncodeJournal(journalOut_.Build(sequence, now), bytes);
  if (bytes.size() > config_.maxPayload / 2) {
    // Too much history for one packet: this one carries an empty journal (checkpoint = itself).
    bytes.clear();
    RecoveryJournal empty;
    empty.s = true;
    empty.checkpoint = sequence;
    EncodeJournal(empty, bytes);
  }
  return bytes;
}

void Session::SendPacket(std::vector<Command> commands, uint32_t timestamp,
                         std::vector<uint8_t> journal) {
  std::vector<uint8_t> payload;
  if (!EncodeCommandSection(commands, true, payload)) return;
  payload.insert(payload.end(), journal.begin(), journal.end());
  rtp::RtpHeader h;
  h.marker = false;  // Windows peers drop packets with the marker set
  h.payloadType = kPayloadType;
  h.sequence = sequence_;
  h.timestamp = timestamp;
  h.ssrc = config_.ssrc;
  std::vector<uint8_t> datagram;
  rtp::BuildRtp(h, payload, datagram);
  ToPartner(Port::kData, std::move(datagram));
  ++sequence_;
}

void Session::Flush(int64_t now) {
  if (state_ != State::kConnected) {
    queue_.clear();
    return;
  }
  size_t next = 0;
  while (next < queue_.size()) {
    const uint16_t sequence = sequence_;
    std::vector<uint8_t> journal = JournalFor(sequence, now);
    const size_t room = std::min(config_.maxPayload - journal.size(), size_t{4095});
    const int64_t first = std::clamp(queue_[next].first, now - kRecentNoteUs, now);
    std::vector<Command> commands;
    std::vector<int64_t> moments;
    while (next < queue_.size()) {
      const int64_t at = std::clamp(queue_[next].first, first, now);
      commands.push_back(
          Command{static_cast<uint32_t>(Ticks(at) - Ticks(first)), queue_[next].second});
      if (commands.size() > 1 && CommandSectionSize(commands) > room) {
        commands.pop_back();
        break;
      }
      moments.push_back(at);
      ++next;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
      journalOut_.Record(commands[i].bytes, sequence, moments[i]);
    }
    SendPacket(std::move(commands), static_cast<uint32_t>(Ticks(first)), std::move(journal));
    ++counters_.packetsOut;
  }
  if (queue_.empty()) return;
  queue_.clear();
  guardStep_ = 0;
  nextGuard_ = now + kGuardDelaysUs[0];
}

}  // namespace tandem::rtpmidi
