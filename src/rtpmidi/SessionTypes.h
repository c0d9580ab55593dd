// What an RTP-MIDI session gives its caller: datagrams to send, events, counters, and the
// protocol's timings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "net/IpAddress.h"
#include "rtpmidi/Payload.h"

namespace tandem::rtpmidi {

enum class Port : uint8_t { kControl, kData };

// A datagram to send from our socket on `port` to (to, toPort).
struct Datagram {
  Port port = Port::kControl;
  IpAddress to;
  uint16_t toPort = 0;
  std::vector<uint8_t> bytes;
};

// Events for the caller.
struct InvitationPending {  // someone invites us: call Accept() or Refuse()
  std::string name;
  IpAddress from;
  uint16_t controlPort = 0;
};
struct InvitationWithdrawn {};  // the pending inviter stopped asking before we decided
struct Connected {
  std::string name;  // the partner's session name
  IpAddress address;
  uint16_t controlPort = 0;
  uint16_t dataPort = 0;
};
struct NoAnswer {};  // our invitation went unanswered 12 times
struct Refused {     // the partner said NO
  std::string name;
};
enum class EndReason : uint8_t {
  kLocal,        // we called End()
  kPartnerLeft,  // the partner said BY
  kSilent,       // nothing from the partner for kSilenceUs
};
struct Ended {
  EndReason reason = EndReason::kLocal;
};
// One MIDI message from the partner. `atUs` is the moment the partner played it, on the caller's
// clock (through the CK offset; so it lies in the past by the one-way delay), or, until the offset
// is known or when it is implausible, the arrival of a recent packet plus the delta times. The
// caller adds its own playout delay. `repair` marks a message the journal called for after a loss
// (count them as "recovered"). SysEx comes whole (segments are joined here).
struct MidiIn {
  std::vector<uint8_t> bytes;
  int64_t atUs = 0;
  uint32_t rtpTimestamp = 0;
  bool repair = false;
};
using Event = std::variant<InvitationPending, InvitationWithdrawn, Connected, NoAnswer, Refused,
                           Ended, MidiIn>;

struct SessionConfig {
  std::string name;            // ours, e.g. "Tandem on HOST"
  uint32_t ssrc = 0;           // ours; random, from the caller
  uint16_t firstSequence = 0;  // our first RTP sequence number; random, from the caller
  size_t maxPayload = kDefaultMaxPayload;
};

struct SessionCounters {
  uint64_t refused = 0;     // datagrams from strangers while a session is up, and INs we said NO to
  uint64_t malformed = 0;   // datagrams we could not parse
  uint64_t lost = 0;        // partner packets missing by sequence number
  uint64_t recovered = 0;   // repair messages produced from journals
  uint64_t late = 0;        // partner packets older than one already taken (dropped)
  uint64_t packetsIn = 0;   // partner data packets taken
  uint64_t packetsOut = 0;  // MIDI packets we sent
};

// Timing of the protocol.
inline constexpr int64_t kInviteIntervalUs = 1'000'000;   // IN resent this often
inline constexpr int kInviteAttempts = 12;                // then NoAnswer
inline constexpr int64_t kPendingTimeoutUs = 15'000'000;  // an undecided invitation is dropped
// The inviter syncs 20 times 0.1 s apart after connecting, so the least legs are found before
// the first notes, then every 10 s.
inline constexpr int64_t kSyncBurstIntervalUs = 100'000;
inline constexpr int kSyncBurstCount = 20;
inline constexpr int64_t kSyncIntervalUs = 10'000'000;
inline constexpr int64_t kSyncRetryUs = 1'000'000;  // a sync left unanswered is tried again
// An answerer whose partner has not started a sync in this long starts one itself.
inline constexpr int64_t kAnswererSyncUs = 15'000'000;
inline constexpr int64_t kSilenceUs = 60'000'000;  // no CK answer / nothing heard: ended
// RS at least this often while data comes, or after this many packets.
inline constexpr int64_t kFeedbackIntervalUs = 100'000;
inline constexpr int kFeedbackPackets = 32;
// Journal-only packets after the last MIDI packet, so a lost final note-off is repaired without
// waiting for the next note: this long after it, then after each other.
// Each is sent only while the partner has not confirmed the history, and the last comes within
// the journal's horizon.
inline constexpr int64_t kGuardDelaysUs[] = {100'000, 300'000, 1'000'000, 1'500'000, 2'000'000};
// A packet after a sequence gap waits this long for the missing one, which a network that
// reorders delivers a moment later; only then is the gap a loss the journal repairs.
inline constexpr int64_t kReorderHoldUs = 10'000;

}  // namespace tandem::rtpmidi
