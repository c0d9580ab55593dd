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
#include "rtpmidi/Commands.h"
#include "rtpmidi/Journal.h"
#include "rtpmidi/Payload.h"
#include "rtpmidi/SessionTypes.h"

namespace tandem::rtpmidi {

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
  // Takes a data packet that arrived at `arrival`; with `mayHold`, one after a gap is held for
  // the missing packet instead.
  void TakeData(std::span<const uint8_t> bytes, int64_t arrival, bool mayHold);
  void ReleaseHeld();
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
  struct Leg {
    int64_t least = 0;  // ticks, the offset included
    int64_t at = 0;     // when that sample came
  };
  Leg legOut_, legIn_;  // our clock syncs' least samples of each leg
  static int64_t Drift(const Leg& leg, int64_t now);
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
  std::vector<uint8_t> held_;  // a packet after a gap, waiting for the missing one
  int64_t heldArrival_ = 0;
  int64_t heldUntil_ = INT64_MAX;
  bool anchored_ = false;  // without clock sync: a partner timestamp and when it arrived
  int64_t anchorUs_ = 0;
  uint32_t anchorTicks_ = 0;

  SessionCounters counters_;
  std::vector<Datagram> out_;
  std::vector<Event> events_;
};

}  // namespace tandem::rtpmidi
