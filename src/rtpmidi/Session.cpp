#include "rtpmidi/Session.h"

#include <algorithm>
#include <utility>

#include "rtp/RtpPacket.h"

namespace tandem::rtpmidi {

namespace {

// When both of us invite at once, the other's invitations may still arrive (resent, delayed)
// this long after ours won.
constexpr int64_t kCrossingUs = 5'000'000;

}  // namespace

Session::Session(SessionConfig config, int64_t now)
    : config_(std::move(config)),
      origin_(now),
      sequence_(config_.firstSequence),
      journalOut_(config_.firstSequence) {
  config_.maxPayload = std::clamp<size_t>(config_.maxPayload, 64, rtp::kMaxRtpPayload);
}

std::vector<Datagram> Session::TakeDatagrams() {
  return std::exchange(out_, {});
}
std::vector<Event> Session::TakeEvents() {
  return std::exchange(events_, {});
}

void Session::Push(Port port, const IpAddress& to, uint16_t toPort, std::vector<uint8_t> bytes) {
  out_.push_back(Datagram{port, to, toPort, std::move(bytes)});
}

void Session::ToPartner(Port port, std::vector<uint8_t> bytes) {
  Push(port, partner_, port == Port::kControl ? partnerControl_ : partnerData_, std::move(bytes));
}

void Session::SendCommand(Port port, const char (&command)[3], bool withName) {
  CommandPacket p;
  p.command[0] = command[0], p.command[1] = command[1];
  p.version = kProtocolVersion;
  p.token = token_;
  p.ssrc = config_.ssrc;
  if (withName) p.name = config_.name;
  ToPartner(port, BuildCommandPacket(p));
}

bool Session::FromPartner(const IpAddress& from) const {
  return state_ != State::kListening && from == partner_;
}

bool Session::Invite(const IpAddress& address, uint16_t controlPort, uint32_t token, int64_t now) {
  if (state_ != State::kListening || controlPort == 0 || controlPort == 0xFFFF) return false;
  Reset();
  partner_ = address.Unmapped();
  partnerControl_ = controlPort;
  partnerData_ = static_cast<uint16_t>(controlPort + 1);
  token_ = token;
  inviter_ = true;
  state_ = State::kInvitingControl;
  attempts_ = 1;
  nextResend_ = now + kInviteIntervalUs;
  SendCommand(Port::kControl, "IN", true);
  return true;
}

bool Session::Accept(int64_t now) {
  if (state_ != State::kPending) return false;
  inviter_ = false;
  state_ = State::kAnswering;
  pendingSince_ = now;
  SendCommand(Port::kControl, "OK", true);
  return true;
}

bool Session::Refuse(int64_t /*now*/) {
  if (state_ != State::kPending) return false;
  SendCommand(Port::kControl, "NO", true);
  Reset();
  return true;
}

void Session::End(int64_t now) {
  switch (state_) {
    case State::kConnected:
      Finish(EndReason::kLocal, true, now);
      break;
    case State::kPending:
      Refuse(now);
      break;
    case State::kAnswering:
    case State::kInvitingControl:
    case State::kInvitingData:
      SendCommand(Port::kControl, "BY", false);
      Reset();
      break;
    case State::kListening:
      break;
  }
}

void Session::Reset() {
  state_ = State::kListening;
  inviter_ = false;
  partner_ = IpAddress{};
  partnerControl_ = partnerData_ = 0;
  partnerSsrc_ = 0;
  partnerName_.clear();
  token_ = 0;
  attempts_ = 0;
  syncsSent_ = 0;
  ckOutstanding_ = ckAnswered_ = false;
  offsetKnown_ = false;
  roundTripUs_ = -1;
  queue_.clear();
  journalOut_ = JournalSender(sequence_);
  nextGuard_ = INT64_MAX;
  haveIncoming_ = false;
  packetsSinceFeedback_ = 0;
  lastFeedback_ = INT64_MIN / 2;
  feedbackDue_ = INT64_MAX;
  sysex_.Reset();
  journalIn_ = JournalReceiver();
  held_.clear();
  heldUntil_ = INT64_MAX;
  anchored_ = false;
}

void Session::Finish(EndReason reason, bool sendBye, int64_t now) {
  if (sendBye) SendCommand(Port::kControl, "BY", false), SendCommand(Port::kData, "BY", false);
  for (Repair& r : journalIn_.ReleaseAll()) {
    events_.push_back(MidiIn{std::move(r.bytes), now, 0, false});
  }
  events_.push_back(Ended{reason});
  Reset();
}

void Session::BecomeConnected(int64_t now) {
  state_ = State::kConnected;
  connectedAt_ = lastHeard_ = lastSyncAnswer_ = lastPartnerSync_ = now;
  syncsSent_ = 0;
  nextSync_ = inviter_ ? now : now + kAnswererSyncUs;
  journalOut_ = JournalSender(sequence_);
  events_.push_back(Connected{partnerName_, partner_, partnerControl_, partnerData_});
}

void Session::OnDatagram(Port port, const IpAddress& fromAddress, uint16_t fromPort,
                         std::span<const uint8_t> bytes, int64_t now) {
  const IpAddress from = fromAddress.Unmapped();
  if (IsCommand(bytes)) {
    OnCommand(port, from, fromPort, bytes, now);
    return;
  }
  if (state_ == State::kListening) return;
  if (!FromPartner(from)) {
    ++counters_.refused;
    return;
  }
  if (state_ != State::kConnected) return;
  lastHeard_ = now;
  OnData(bytes, now);
}

void Session::OnCommand(Port port, const IpAddress& from, uint16_t fromPort,
                        std::span<const uint8_t> bytes, int64_t now) {
  const bool stranger = state_ != State::kListening && !FromPartner(from);
  if (HasCommand(bytes, "CK") || HasCommand(bytes, "RS")) {
    if (state_ == State::kListening) return;
    if (stranger) {
      ++counters_.refused;
      return;
    }
    if (HasCommand(bytes, "CK")) {
      OnClock(port, fromPort, bytes, now);
      return;
    }
    FeedbackPacket rs;
    if (!ParseFeedbackPacket(bytes, rs)) {
      ++counters_.malformed;
      return;
    }
    if (state_ != State::kConnected) return;
    lastHeard_ = now;
    journalOut_.Confirm(rs.sequence);
    if (rs.sequence == static_cast<uint16_t>(sequence_ - 1)) nextGuard_ = INT64_MAX;
    return;
  }
  CommandPacket in;
  if (!ParseCommandPacket(bytes, in)) {
    ++counters_.malformed;
    return;
  }
  if (HasCommand(bytes, "IN")) {
    OnInvitation(port, from, fromPort, in, now);
    return;
  }
  if (state_ == State::kListening) return;
  if (stranger) {
    ++counters_.refused;
    return;
  }
  if (HasCommand(bytes, "OK")) {
    if (in.token != token_) return;
    if (state_ == State::kInvitingControl && port == Port::kControl) {
      partnerSsrc_ = in.ssrc;
      partnerName_ = in.name;
      state_ = State::kInvitingData;
      attempts_ = 1;
      nextResend_ = now + kInviteIntervalUs;
      SendCommand(Port::kData, "IN", true);
    } else if (state_ == State::kInvitingData && port == Port::kData) {
      partnerData_ = fromPort;
      if (!in.name.empty()) partnerName_ = in.name;
      BecomeConnected(now);
    }
  } else if (HasCommand(bytes, "NO")) {
    if (state_ == State::kInvitingControl || state_ == State::kInvitingData) {
      events_.push_back(Refused{in.name.empty() ? partnerName_ : in.name});
      Reset();
    }
  } else if (HasCommand(bytes, "BY")) {
    if (state_ == State::kConnected) {
      if (in.ssrc == partnerSsrc_) Finish(EndReason::kPartnerLeft, false, now);
    } else if (state_ == State::kPending || state_ == State::kAnswering) {
      if (in.ssrc == partnerSsrc_) {
        events_.push_back(InvitationWithdrawn{});
        Reset();
      }
    }
  }
}

void Session::OnInvitation(Port port, const IpAddress& from, uint16_t fromPort,
                           const CommandPacket& in, int64_t now) {
  const bool partner = FromPartner(from);
  if (state_ != State::kListening && !partner) {
    // One partner at a time.
    ++counters_.refused;
    CommandPacket no;
    no.command[0] = 'N', no.command[1] = 'O';
    no.version = kProtocolVersion;
    no.token = in.token;
    no.ssrc = config_.ssrc;
    no.name = config_.name;
    Push(port, from, fromPort, BuildCommandPacket(no));
    return;
  }
  // Both of us invite each other: the lower SSRC's invitation goes on, the other side answers
  // it. Ours wins here, so theirs is let be, also when it comes late after ours made the session.
  const bool inviting = state_ == State::kInvitingControl || state_ == State::kInvitingData;
  if (partner && inviter_ && in.token != token_ && in.ssrc > config_.ssrc &&
      (inviting || (state_ == State::kConnected && in.ssrc == partnerSsrc_ &&
                    now - connectedAt_ < kCrossingUs))) {
    return;
  }
  if (partner && in.token == token_ && !inviter_) {
    // The inviter asks again: our answer was lost, or this is its data-port IN.
    if (state_ == State::kPending) {
      pendingSince_ = now;
    } else if (port == Port::kControl && state_ != State::kPending) {
      SendCommand(Port::kControl, "OK", true);
    } else if (port == Port::kData && state_ == State::kAnswering) {
      partnerData_ = fromPort;
      SendCommand(Port::kData, "OK", true);
      BecomeConnected(now);
    } else if (port == Port::kData && state_ == State::kConnected) {
      SendCommand(Port::kData, "OK", true);
    }
    return;
  }
  if (port != Port::kControl) return;  // a data-port IN for no invitation we know
  if (state_ == State::kConnected) {
    // The partner started over without saying goodbye: this session is gone.
    Finish(EndReason::kPartnerLeft, false, now);
  } else if (state_ != State::kListening) {
    Reset();  // a new invitation from the same partner, or both of us inviting at once
  }
  state_ = State::kPending;
  inviter_ = false;
  partner_ = from;
  partnerControl_ = fromPort;
  partnerData_ = static_cast<uint16_t>(fromPort + 1);
  partnerSsrc_ = in.ssrc;
  partnerName_ = in.name;
  token_ = in.token;
  pendingSince_ = now;
  events_.push_back(InvitationPending{partnerName_, partner_, partnerControl_});
}

void Session::Tick(int64_t now) {
  switch (state_) {
    case State::kListening:
      return;
    case State::kInvitingControl:
    case State::kInvitingData:
      if (now < nextResend_) return;
      if (attempts_ >= kInviteAttempts) {
        events_.push_back(NoAnswer{});
        Reset();
        return;
      }
      ++attempts_;
      nextResend_ = now + kInviteIntervalUs;
      SendCommand(state_ == State::kInvitingControl ? Port::kControl : Port::kData, "IN", true);
      return;
    case State::kPending:
    case State::kAnswering:
      if (now - pendingSince_ >= kPendingTimeoutUs) {
        events_.push_back(InvitationWithdrawn{});
        Reset();
      }
      return;
    case State::kConnected:
      break;
  }
  const int64_t silentSince = inviter_ ? lastSyncAnswer_ : lastHeard_;
  if (now - silentSince >= kSilenceUs) {
    Finish(EndReason::kSilent, true, now);
    return;
  }
  if (!queue_.empty()) Flush(now);
  if (now >= heldUntil_) ReleaseHeld();
  if (now >= nextSync_) {
    if (inviter_) {
      // A sync whose answer never came (lost on the way) is tried again soon, so a lossy path
      // does not look silent after a few unlucky minutes.
      if (syncsSent_ < kSyncBurstCount || ckOutstanding_ ||
          now - lastSyncAnswer_ >= kSyncIntervalUs) {
        StartSync(now);
        ++syncsSent_;
        nextSync_ = now + (syncsSent_ < kSyncBurstCount ? kSyncBurstIntervalUs : kSyncRetryUs);
      } else {
        nextSync_ = lastSyncAnswer_ + kSyncIntervalUs;
      }
    } else {
      // Some partners never start a sync; we do, so the offset is known and they hear from us.
      const int64_t quietSince = std::max(connectedAt_, lastPartnerSync_);
      if (now - quietSince >= kAnswererSyncUs) StartSync(now);
      nextSync_ = std::max(quietSince, now) + kAnswererSyncUs;
    }
  }
  if (now >= feedbackDue_) SendFeedback(now);
  if (now >= nextGuard_) {
    if (journalOut_.HasHistory()) {
      SendPacket({}, static_cast<uint32_t>(Ticks(now)), JournalFor(sequence_, now));
    }
    ++guardStep_;
    nextGuard_ = guardStep_ < static_cast<int>(std::size(kGuardDelaysUs))
                     ? now + kGuardDelaysUs[guardStep_]
                     : INT64_MAX;
  }
}

int64_t Session::NextWakeUs() const {
  switch (state_) {
    case State::kListening:
      return INT64_MAX;
    case State::kInvitingControl:
    case State::kInvitingData:
      return nextResend_;
    case State::kPending:
    case State::kAnswering:
      return pendingSince_ + kPendingTimeoutUs;
    case State::kConnected:
      break;
  }
  if (!queue_.empty()) return origin_;
  const int64_t silentSince = inviter_ ? lastSyncAnswer_ : lastHeard_;
  return std::min({silentSince + kSilenceUs, nextSync_, feedbackDue_, nextGuard_, heldUntil_});
}

}  // namespace tandem::rtpmidi
