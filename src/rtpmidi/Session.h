// An RTP-MIDI session with one partner, in Apple's session protocol: invitations (IN, OK, NO) on a
// control port and on the data port next to it, CK clock sync, RS receiver feedback, BY to leave;
// MIDI as RTP with the payload of Payload.h and the journal of Journal.h.
//
// No sockets, no clock and no randomness: the caller hands in each received datagram (which of
// its two ports, from where, the bytes) and the time, and takes out datagrams to send and events.
// The caller owns two UDP sockets, control on port P and data on P + 1, and after every call
// sends what TakeDatagrams() returns, plays what TakeEvents() returns, and calls Tick() at
// NextWakeUs().
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "net/IpAddress.h"
#include "rtpmidi/Journal.h"
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
// The inviter syncs at 0, 0.5 s and 1 s after connecting, then every 10 s.
inline constexpr int64_t kSyncBurstIntervalUs = 500'000;
inline constexpr int kSyncBurstCount = 3;
inline constexpr int64_t kSyncIntervalUs = 10'000'000;
// An answerer whose partner has not started a sync in this long starts one itself.
inline constexpr int64_t kAnswererSyncUs = 15'000'000;
inline constexpr int64_t kSilenceUs = 60'000'000;  // no CK answer / nothing heard: ended
// RS at least this often while data comes, or after this many packets.
inline constexpr int64_t kFeedbackIntervalUs = 1'000'000;
inline constexpr int kFeedbackPackets = 32;
// Journal-only packets after the last MIDI packet, so a lost final note-off is repaired without
// waiting for the next note: this long after it, then after each other.
inline constexpr int64_t kGuardDelaysUs[] = {100'000, 300'000, 1'000'000};

// Apple's session command packets, for tests and the fuzz target.
struct CommandPacket {
  char command[2] = {0, 0};  // "IN", "OK", "NO", "BY"
  uint32_t version = 2;
  uint32_t token = 0;
  uint32_t ssrc = 0;
  std::string name;
};
struct ClockPacket {
  uint32_t ssrc = 0;
  uint8_t count = 0;
  uint64_t timestamps[3] = {0, 0, 0};
};
// The sequence number travels in the high 16 bits of the 32-bit field, where Apple's peers and
// Wireshark read it; the low 16 bits are sent as 0 and ignored on receipt.
struct FeedbackPacket {
  uint32_t ssrc = 0;
  uint16_t sequence = 0;
};
// Whether a datagram is a session command (0xFFFF first) rather than RTP.
bool IsCommand(std::span<const uint8_t> bytes);
bool ParseCommandPacket(std::span<const uint8_t> bytes, CommandPacket& out);
bool ParseClockPacket(std::span<const uint8_t> bytes, ClockPacket& out);
bool ParseFeedbackPacket(std::span<const uint8_t> bytes, FeedbackPacket& out);
std::vector<uint8_t> BuildCommandPacket(const CommandPacket& packet);
std::vector<uint8_t> BuildClockPacket(const ClockPacket& packet);
std::vector<uint8_t> BuildFeedbackPacket(const FeedbackPacket& packet);

class Session {
 public:
  enum class State : uint8_t {
    kListening,        // no partner; an IN raises InvitationPending
    kPending,          // an invitation waits for Accept() or Refuse()
    kAnswering,        // accepted on control; waiting for the data-port IN
    kInvitingControl,  // our IN on the control port, waiting for OK
    kInvitingData,     // OK on control; our IN on the data port, waiting for OK
    kConnected,
  };

  // `now` starts our clock: our RTP and CK timestamps count 100 µs steps from it.
  Session(SessionConfig config, int64_t now);

  // Invites the partner at (address, controlPort); its data port is controlPort + 1. `token` is
  // the initiator token (random, from the caller). Ends nothing: only from kListening (false
  // otherwise).
  bool Invite(const IpAddress& address, uint16_t controlPort, uint32_t token, int64_t now);
  // Answers the pending invitation; false when none is pending.
  bool Accept(int64_t now);
  bool Refuse(int64_t now);
  // Leaves the session (BY on both ports) or stops inviting. Raises Ended{kLocal} when a session
  // was up; notes held from the partner come out as note-off MidiIn events (repair = false).
  void End(int64_t now);

  // A datagram arrived on our `port` socket from (from, fromPort).
  void OnDatagram(Port port, const IpAddress& from, uint16_t fromPort,
                  std::span<const uint8_t> bytes, int64_t now);
  // Timers: resends, clock sync, receiver feedback, silence; also sends queued MIDI.
  void Tick(int64_t now);
  // When Tick() must next run (absolute, on the caller's clock; a time already past means at
  // once); INT64_MAX when nothing waits.
  int64_t NextWakeUs() const;

  // Queues one MIDI message played at `atUs` (a short message or a whole SysEx F0..F7); ignored
  // unless connected. Flush() sends everything queued in as few packets as fit maxPayload, so a
  // chord queued together travels in one packet with its delta times.
  void SendMidi(std::span<const uint8_t> message, int64_t atUs);
  void Flush(int64_t now);

  std::vector<Datagram> TakeDatagrams();
  std::vector<Event> TakeEvents();

  State GetState() const { return state_; }
  bool IsConnected() const { return state_ == State::kConnected; }
  const std::string& PartnerName() const { return partnerName_; }
  const IpAddress& PartnerAddress() const { return partner_; }
  uint32_t PartnerSsrc() const { return partnerSsrc_; }
  const SessionCounters& Counters() const { return counters_; }

  // Clock sync: whether a CK exchange has given the partner's clock offset, the latest round
  // trip, and a partner RTP timestamp (10 kHz, its CK clock) on our clock, unwrapped near the
  // partner's current time. Without a known offset: -1.
  bool OffsetKnown() const { return offsetKnown_; }
  int64_t RoundTripUs() const { return roundTripUs_; }
  int64_t PartnerTimeToLocalUs(uint32_t rtpTimestamp) const;

 private:
  int64_t Ticks(int64_t us) const { return (us - origin_) / kUsPerTick; }
  void Push(Port port, const IpAddress& to, uint16_t toPort, std::vector<uint8_t> bytes);
  void ToPartner(Port port, std::vector<uint8_t> bytes);
  void SendCommand(Port port, const char (&command)[3], bool withName);
  void SendClock(Port port, uint16_t toPort, uint8_t count, uint64_t t1, uint64_t t2, uint64_t t3);
  void StartSync(int64_t now);
  void SendFeedback(int64_t now);
  void SendPacket(std::vector<Command> commands, uint32_t timestamp, std::vector<uint8_t> journal);
  std::vector<uint8_t> JournalFor(uint16_t sequence, int64_t now);
  void OnCommand(Port port, const IpAddress& from, uint16_t fromPort,
                 std::span<const uint8_t> bytes, int64_t now);
  void OnInvitation(Port port, const IpAddress& from, uint16_t fromPort, const CommandPacket& in,
                    int64_t now);
  void OnClock(Port port, uint16_t fromPort, std::span<const uint8_t> bytes, int64_t now);
  void OnData(std::span<const uint8_t> bytes, int64_t now);
  void BecomeConnected(int64_t now);
  void Finish(EndReason reason, bool sendBye, int64_t now);
  void Reset();
  bool FromPartner(const IpAddress& from) const;
  int64_t Unwrap(uint32_t partnerTicks) const;
  int64_t LocalUs(uint32_t partnerTicks) const;

  SessionConfig config_;
  int64_t origin_;
  State state_ = State::kListening;
  bool inviter_ = false;

  // The partner, or the one inviting or invited.
  IpAddress partner_;
  uint16_t partnerControl_ = 0;
  uint16_t partnerData_ = 0;
  uint32_t partnerSsrc_ = 0;
  std::string partnerName_;
  uint32_t token_ = 0;
  int attempts_ = 0;
  int64_t nextResend_ = 0;
  int64_t pendingSince_ = 0;  // the latest IN of a pending invitation, or our OK
  int64_t connectedAt_ = 0;
  int64_t lastHeard_ = 0;

  // Clock sync. Our CK times are Ticks(now); the offset is the partner's clock minus ours.
  int syncsSent_ = 0;
  int64_t nextSync_ = 0;
  uint64_t pendingCk_ = 0;  // t1 of our CK0 awaiting its CK1
  bool ckOutstanding_ = false;
  uint64_t answeredCk_ = 0;  // t2 of the CK1 we answered last, to match its CK2
  bool ckAnswered_ = false;
  int64_t lastSyncAnswer_ = 0;   // the last CK1 that answered us
  int64_t lastPartnerSync_ = 0;  // the last CK0 the partner started
  bool offsetKnown_ = false;
  int64_t offsetTicks_ = 0;
  int64_t roundTripUs_ = -1;
  int64_t partnerRef_ = 0;  // a recent partner time, unwrapped, for unwrapping timestamps

  // Sending MIDI.
  uint16_t sequence_;
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> queue_;
  JournalSender journalOut_;
  int64_t nextGuard_ = INT64_MAX;
  int guardStep_ = 0;

  // Receiving MIDI.
  bool haveIncoming_ = false;
  uint32_t highestIn_ = 0;  // extended sequence number of the latest partner packet
  int packetsSinceFeedback_ = 0;
  int64_t lastFeedback_ = INT64_MIN / 2;
  int64_t feedbackDue_ = INT64_MAX;
  SysexAssembler sysex_;
  JournalReceiver journalIn_;
  bool anchored_ = false;  // without clock sync: a partner timestamp and when it arrived
  int64_t anchorUs_ = 0;
  uint32_t anchorTicks_ = 0;

  SessionCounters counters_;
  std::vector<Datagram> out_;
  std::vector<Event> events_;
};

}  // namespace tandem::rtpmidi
