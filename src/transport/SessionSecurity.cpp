// The session thread's side of a protected session: notes held while the handshake runs, what
// "Security" says, and the datagrams counted in "# Refused".
#include <algorithm>

#include "transport/MidiRtp.h"

namespace tandem {

int64_t MidiRTP::HoldForHandshake() {
  const int64_t nowUs = microClock_();
  int64_t wait = kNoDeadline;
  std::lock_guard lock(SendStepMutex());
  // Notes carry the moment they were played; one from a source that did not stamp it counts
  // from now, its first pass in the queue.
  for (int32_t i = 0, n = form_.SendQueue.Count(); i < n; ++i) {
    EventRecord* rec = form_.SendQueue.Get(i);
    if (rec && rec->kind == EventMidi && rec->arrivalUs == 0) rec->arrivalUs = nowUs;
  }
  uint64_t expired = 0;
  while (EventRecord* head = form_.SendQueue.Get(0)) {
    if (head->kind != EventMidi) break;
    const int64_t left = head->arrivalUs + kHeldNoteLimitUs - nowUs;
    if (left >= 0) {
      wait = left / 1000 + 1;
      break;
    }
    form_.SendQueue.DeleteFirst();
    ++expired;
  }
  if (expired) {
    dropped_ += expired;
    form_.CountDropped(expired);
  }
  return wait;
}

void MidiRTP::ShowSecurity(const rtp::SecurityStatus& security) {
  std::string text = "clear";
  // Without a passphrase, a handshake is keyed by the certificates two invitation codes named.
  const std::string by = onPath_ && !protected_ ? "certificate" : "passphrase";
  if (security.dtls) {
    if (security.keyed) {
      text = by + " · handshake done";
    } else if (security.lastFailure != net::DtlsFailure::None &&
               !(security.lastFailure == net::DtlsFailure::Timeout && security.handshaking)) {
      // A refusal is said until a handshake succeeds, through the retries in between; a
      // partner that did not answer may answer the next one.
      text = by + " · handshake failed (" + net::DtlsFailureText(security.lastFailure) + ")";
    } else {
      text = by + " · handshake…";
    }
  } else if (protected_) {
    text = "passphrase";  // a stand-in link keys nothing itself
  }
  // Held until a handshake succeeds: the retries in between meet the same certificate.
  if (onPath_) {
    if (security.keyed) {
      form_.PathCertificateRefused.store(false);
    } else if (security.lastFailure == net::DtlsFailure::Fingerprint) {
      form_.PathCertificateRefused.store(true);
    }
  }
  if (text == securityShown_) return;
  securityShown_ = text;
  form_.EditSecurity.SetText(text);
}

uint64_t MidiRTP::SessionDrops(const rtp::SessionStats& stats) {
  return stats.malformedDropped + stats.ownSsrcDropped + stats.sequenceDropped +
         stats.limitDropped + stats.beforeKeysDropped;
}

void MidiRTP::CountRefused(const rtp::SessionStats& stats, const net::DtlsStats& handshakes,
                           int32_t now) {
  // Packets protected by a passphrase we lack got past the session, but were refused here.
  const uint64_t accepted = stats.rtpReceived + stats.rtcpReceived - protectedSeen_;
  if (accepted != acceptedSeen_) {
    acceptedSeen_ = accepted;
    haveAccepted_ = true;
    lastAccepted_ = now;
  }
  // A typo in either passphrase looks like this: the partner's packets arrive, none opens, or
  // the handshake fails (one that got no answer is a partner not there yet, not one refused).
  const uint64_t authRefused = stats.refusedAuth + protectedSeen_ + handshakes.handshakesRefused;
  if (authRefused > authRefusedSeen_ &&
      (!haveAccepted_ ||
       static_cast<uint32_t>(now) - static_cast<uint32_t>(lastAccepted_) > kMismatchQuietMs)) {
    form_.EditStatutReceive.SetText("passphrase mismatch?");
  }
  authRefusedSeen_ = authRefused;
  // Counted by datagram, a refused handshake's as well as the ones no handshake took.
  const uint64_t refused =
      stats.refusedSender + stats.refusedAuth + protectedSeen_ + handshakes.datagramsRefused;
  if (refused != refusedShown_) {
    refusedShown_ = refused;
    form_.EditNbrRefused.SetText(std::to_string(refused));
  }
}

bool MidiRTP::LooksProtected(const rtp::Packet& packet) const {
  if (protected_) return false;
  // Our packets have one size per kind; exactly an SRTP tag more is a partner that set a
  // passphrase, whose bytes would play as noise.
  size_t size = 0;
  switch (packet.payloadType) {
    case PacketMidi:
      size = kMidiPayloadSize;
      break;
    case PacketMidiKeys:
    case PacketKeys:
      size = kKeysPayloadSize;
      break;
    case PacketChat:
      size = kChatPayloadSize;
      break;
    case PacketBuffer:
      size = kBufferPayloadSize;
      break;
    default:
      return false;
  }
  return packet.payload.size() == size + rtp::kSrtpTagSize;
}

}  // namespace tandem
