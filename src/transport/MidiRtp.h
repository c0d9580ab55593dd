// The RTP session thread: sets the session up from the window's settings, then on every pass
// refreshes the bandwidth figure, takes every received packet into the model and sends at most
// one record from the head of the send queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "model/FormCtrl.h"
#include "net/IpAddress.h"
#include "platform/Worker.h"
#include "rtp/RtpSession.h"
#include "send/Fonctionutile.h"
#include "transport/Payload.h"

namespace tandem {

// What the session thread needs of an RTP session, so tests can stand in for the network.
// Results are those of rtp::RtpSession: 0 or a negative rtp::Error.
class RtpLink {
 public:
  virtual ~RtpLink() = default;
  virtual int Create(uint16_t portBase) = 0;
  // A session over a connection of its own (from invitation codes) rather than sockets.
  virtual int CreateOnPath(std::shared_ptr<rtp::DatagramPath> path) {
    (void)path;
    return rtp::kErrSocket;
  }
  virtual int Destroy() = 0;
  virtual int SetTimestampUnit(double seconds) = 0;
  virtual int AddDestination(uint32_t ipHostOrder, uint16_t port) = 0;
  // A destination of either family; a link that only speaks IPv4 refuses IPv6 ones.
  virtual int AddDestinationAddress(const IpAddress& address, uint16_t port) {
    const IpAddress a = address.Unmapped();
    return a.IsV4() ? AddDestination(a.V4HostOrder(), port) : rtp::kErrBadDestination;
  }
  virtual int IncrementTimestamp(uint32_t units) = 0;
  virtual int SendPacket(const uint8_t* payload, size_t length, uint8_t payloadType, bool marker,
                         uint32_t tsIncrement) = 0;
  virtual int Poll() = 0;
  // The sockets to wait on for arrivals (-1: none), and the ms until the session's next RTCP
  // report (-1: none), so the thread sleeps until there is something to do.
  virtual int DataFd() const { return -1; }
  virtual int ControlFd() const { return -1; }
  virtual int64_t MillisUntilRtcp() const { return -1; }
  virtual bool GotoFirstSourceWithData() = 0;
  virtual bool GotoNextSourceWithData() = 0;
  virtual int SetCurrentSourceTimestampUnit(double seconds) = 0;
  virtual std::unique_ptr<rtp::Packet> GetNextPacket() = 0;
  // What the session refused on its own (malformed, looped back, limits); none by default.
  virtual rtp::SessionStats Stats() const { return {}; }
  // Round trip, loss and jitter from the session's RTCP; none by default.
  virtual rtp::LinkFigures Link() const { return {}; }
  // After Create: take datagrams only from the destination's address, and, with a key (from
  // the passphrase), key the session with a DTLS-SRTP handshake authenticated by it. A stand-in
  // has nothing to check.
  virtual int SetSecurity(bool senderCheck, const std::optional<rtp::SrtpKey>& key) {
    (void)senderCheck;
    (void)key;
    return 0;
  }
  // How the session is protected; a stand-in is in clear.
  virtual rtp::SecurityStatus Security() const { return {}; }
};

// The real session over UDP.
std::unique_ptr<RtpLink> MakeSessionLink();

// A stopped session thread may still be finishing a pass while the next one starts; the send
// step (read the head, send, then remove it) must never interleave between the two.
std::mutex& SendStepMutex();

class MidiRTP : public Worker {
 public:
  // The longest sleep: a cleared RtpActive is seen within it even without a stop request
  // (the window's command sends one).
  static constexpr std::chrono::milliseconds kLongestWait{1000};
  static constexpr uint32_t kStatsPeriodMs = 3000;
  static constexpr double kTimestampUnit = 0.001;  // millisecond timestamps

  explicit MidiRTP(TFormCtl& form);
  // `microClock` stamps what the link did not stamp at read and times the RTP timestamps.
  MidiRTP(TFormCtl& form, std::unique_ptr<RtpLink> link, ClockFn clock = ClockMs,
          MicroClockFn microClock = ClockUs);
  ~MidiRTP() override;

  // Reads the ports and the destination, lists this machine's addresses in MemoIpAddr and
  // creates the session. False, with the reason shown, when the session cannot run.
  bool Setup(int32_t now);
  // One pass of the loop. False once RtpActive was found cleared and the session destroyed.
  bool Pass(int32_t now);
  // How many clock ms the last pass allows before the next one, arrivals aside: 0 while
  // SendQueue holds more, one clock step after a failed send, else the time until the next
  // bandwidth figure or RTCP report.
  int32_t NextWait() const { return nextWait_; }

  // Only meaningful on the thread that runs the passes (or a test stepping them).
  int32_t ReceivedCount() const { return receivedCount_; }
  int32_t SentCount() const { return sentCount_; }
  // Packets that made nothing: unusable payloads, and records refused by a full ReceiveQueue.
  uint64_t DroppedCount() const { return dropped_; }
  // Datagrams the session itself dropped before they became packets.
  static uint64_t SessionDrops(const rtp::SessionStats& stats);
  // Datagrams refused as not our partner's: another address, a failed authentication or
  // replay, or (without a passphrase) a packet protected by one. As shown in "# Refused".
  uint64_t RefusedCount() const { return refusedShown_; }
  // Shown in "Reception" when only refused datagrams arrive for this long.
  static constexpr int32_t kMismatchQuietMs = 3000;
  // A note that waited longer than this for the handshake is of no use to the partner.
  static constexpr int64_t kHeldNoteLimitUs = 2'000'000;

 protected:
  void Run() override;

 private:
  // The thread's loop with "Protocol" on RTP-MIDI (RtpMidiWire.cpp).
  void RunRtpMidi();
  void Receive(int32_t now);
  void CountRefused(const rtp::SessionStats& stats, const net::DtlsStats& handshakes, int32_t now);
  bool LooksProtected(const rtp::Packet& packet) const;
  void Dispatch(const rtp::Packet& packet, int32_t now);
  // The arrival (ClockUs) a received packet is rebuilt with.
  int64_t ArrivalOf(const rtp::Packet& packet);
  // True when SendQueue was empty or its head went out.
  bool SendHead(int32_t now);
  // While the handshake runs: stamps what waits, and drops the notes that waited too long.
  // The ms until the head is due to be dropped (kNoDeadline: none).
  int64_t HoldForHandshake();
  void ShowSecurity(const rtp::SecurityStatus& security);
  void WaitForWork(int32_t now);

  TFormCtl& form_;
  std::unique_ptr<RtpLink> link_;
  ClockFn clock_;
  MicroClockFn microClock_;
  SentKeyTable sentKeys_{};
  int32_t receivedCount_ = 0;
  int32_t shownReceived_ = -1;
  int32_t sentCount_ = 0;
  uint64_t dropped_ = 0;
  uint64_t sessionDrops_ = 0;  // SessionDrops of the link, as last counted
  bool protected_ = false;     // a passphrase is set for this session
  bool onPath_ = false;        // the session runs on a connection from invitation codes
  bool keyed_ = true;          // packets may leave (a protected session: its handshake is done)
  std::string securityShown_;
  uint64_t protectedSeen_ = 0;  // packets protected by a passphrase we do not have
  uint64_t refusedShown_ = 0;
  uint64_t authRefusedSeen_ = 0;  // refusedAuth + protectedSeen_, as last counted
  uint64_t acceptedSeen_ = 0;     // datagrams the session took, as last counted
  bool haveAccepted_ = false;
  int32_t lastAccepted_ = 0;
  uint32_t lastStatsTime_ = 0;
  int64_t bandwidthBytes_ = 0;
  int64_t lastSendMs_ = -1;  // the RTP timestamp clock at the last successful send; -1: none
  int32_t nextWait_ = 0;
  // The head is a captured event held back until this moment (ClockUs); 0: none held.
  int64_t holdUntilUs_ = 0;
  // The group of packets sent together (a chord) being received, and when its first one arrived.
  static constexpr uint32_t kGroupTimestampMs = 1;  // one step of the sender's timestamp clock
  static constexpr int64_t kGroupWindowUs = 1000;
  bool haveGroup_ = false;
  uint32_t groupSource_ = 0;
  uint32_t groupTimestamp_ = 0;
  uint32_t groupSequence_ = 0;  // of the packet received last
  int64_t groupArrival_ = 0;
};

}  // namespace tandem
