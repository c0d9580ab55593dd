// An RTP session (RFC 3550) over UDP, IPv4 or IPv6: data on an even port P, RTCP on P + 1.
// This facade owns the two sockets; the protocol logic lives in a core that does no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/Dtls.h"
#include "net/IpAddress.h"
#include "net/Srtp.h"

namespace tandem::rtp {

class DatagramPath;

// Results: 0 on success, one of these on failure.
enum Error : int {
  kOk = 0,
  kErrNotCreated = -1,         // the session is not created
  kErrAlreadyCreated = -2,     // Create on a created session
  kErrOddPort = -3,            // the port base must be even
  kErrSocket = -4,             // a socket could not be made
  kErrBind = -5,               // a port is busy or cannot be bound
  kErrBadDestination = -6,     // destination address or port unusable
  kErrNoDestination = -7,      // sending with no destination
  kErrTooBig = -8,             // payload larger than a datagram can carry
  kErrSend = -9,               // the socket refused the datagram
  kErrBadTimestampUnit = -10,  // not between 1e-9 and 3600 seconds
  kErrBadPort = -11,           // port base 0 (its control port would be 1)
  kErrReceive = -12,           // a socket read failed for a reason other than "nothing waits"
  kErrNoSource = -13,          // no current source (GotoFirst/NextSourceWithData said false)
  kErrBadArgument = -14,       // payload type above 127, or no bytes for a non-zero length
  kErrSrtp = -15,              // the SRTP library could not be set up, or refused to protect
  kErrNotReady = -16,          // the DTLS handshake is not done yet: nothing may leave
};

struct Packet {
  uint8_t payloadType = 0;
  bool marker = false;
  uint16_t sequence = 0;
  uint32_t extendedSequence = 0;  // sequence extended by the count of wrap-arounds (RFC 3550 A.1)
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  std::vector<uint8_t> payload;
  int64_t arrival = 0;  // monotonic microseconds when its datagram was read (0: not stamped)
};

struct SessionStats {
  uint64_t rtpReceived = 0;
  uint64_t rtcpReceived = 0;
  uint64_t malformedDropped = 0;  // short, bad version, bad lengths, bad RTCP
  uint64_t ownSsrcDropped = 0;
  uint64_t rtcpSent = 0;
  uint64_t rtpSent = 0;
  uint64_t sequenceDropped = 0;  // a packet after a sequence jump that no packet followed
  uint64_t limitDropped = 0;     // too many sources, or too many packets waiting for one
  uint64_t receiveErrors = 0;    // socket reads that failed
  uint64_t rtcpSendErrors = 0;   // reports or BYEs the socket refused
  uint64_t refusedSender = 0;    // from a host other than a destination, with the check on
  uint64_t refusedAuth = 0;      // failed SRTP/SRTCP authentication or the replay check, arrived
                                 // before the handshake gave keys, or a handshake without one
  uint64_t ssrcChanges = 0;      // a partner used our SSRC, so we took another
  uint64_t portMoves = 0;  // a destination port followed where the partner's packets came from
  // Sealed packets of a partner whose handshake with us is under way, before we have its keys.
  uint64_t beforeKeysDropped = 0;
  // Figures in the partner's reports about us that could not be true and were ignored or
  // clamped: a last-SR time of no SR we sent, a delay that makes the round trip negative, a loss
  // count beyond what we sent, a jitter of minutes.
  uint64_t reportFiguresRefused = 0;
};

// How the link to the partner looks (RFC 3550 6.4): what the partner reports about our packets,
// and what we measure of its packets.
struct LinkFigures {
  bool haveReport = false;         // a report block about our packets has arrived
  bool haveRtt = false;            // ... and one of them named an SR of ours
  double rttMs = 0;                // round trip, from that block's LSR and DLSR (RFC 3550 6.4.1)
  double sentFractionLost = 0;     // 0 to 1: our packets the partner missed since its last report
  int64_t sentCumulativeLost = 0;  // our packets the partner missed since we started, >= 0
  double sentJitterMs = 0;         // the partner's interarrival jitter of our packets
  uint64_t reportBlocks = 0;       // report blocks about us taken in

  bool haveReceived = false;        // the partner's data has arrived
  double receivedFractionLost = 0;  // 0 to 1: its packets we missed, over our last report's span
  int64_t receivedCumulativeLost = 0;
  double receivedJitterMs = 0;

  uint16_t sendPort = 0;  // the data port we send to now (0: no session)

  // An RTP-MIDI session: the round trip is its clock sync's, the loss comes from the partner's
  // sequence gaps, and the journal repaired this many messages.
  bool journal = false;
  uint64_t recovered = 0;
  // The journal's size in the packets we sent: median and largest, in bytes.
  uint32_t journalMedianBytes = 0;
  uint32_t journalLargestBytes = 0;
};

// How the session is protected, for the status line.
struct SecurityStatus {
  bool dtls = false;         // keys come from a DTLS handshake
  bool keyed = false;        // ... which is done: packets flow
  bool handshaking = false;  // a handshake runs (the first one, or the partner's new one)
  net::DtlsFailure lastFailure = net::DtlsFailure::None;
  uint64_t handshakes = 0;  // handshakes that gave keys
  std::string cipher;
  std::string peerFingerprint;
  net::DtlsStats stats;
};

// What the session knows about one remote source.
struct SourceInfo {
  uint32_t ssrc = 0;
  std::string cname;      // from its SDES, empty until one arrives
  bool sentData = false;  // a data packet has arrived from it
  bool byeReceived = false;
  double jitter = 0;  // interarrival jitter in its timestamp units (RFC 3550 A.8)
  uint32_t extendedHighest = 0;
  uint32_t received = 0;
  int64_t cumulativeLost = 0;
  size_t waiting = 0;  // packets not yet taken
};

class RtpSession {
 public:
  RtpSession();
  ~RtpSession();  // destroys the session (with a BYE) if it is created
  RtpSession(const RtpSession&) = delete;
  RtpSession& operator=(const RtpSession&) = delete;

  // Binds data on portBase and control on portBase + 1. With localIp 0 both sockets are
  // dual-stack on every address, so a partner of either family reaches them; else IPv4 only,
  // on that address (host byte order).
  int Create(uint16_t portBase, uint32_t localIp = 0);
  // Creates the session on a path of its own (an ICE connection) instead of sockets: RTP and
  // RTCP both travel on it, to its partner alone; AddDestination is then refused.
  int Create(std::shared_ptr<DatagramPath> path);
  // Sends a BYE, closes the sockets, forgets every source. kErrNotCreated when not created.
  int Destroy();
  bool IsCreated() const;

  // The timestamp unit in seconds (0.001 for millisecond timestamps), for jitter statistics.
  int SetTimestampUnit(double seconds);
  // Adds a destination: data to port, RTCP to port + 1 (ipHostOrder in host byte order).
  int AddDestination(uint32_t ipHostOrder, uint16_t port);
  // The same for an address of either family. kErrBadDestination also for an IPv6 address when
  // the sockets are IPv4 only.
  int AddDestination(const IpAddress& address, uint16_t port);
  // With the check on, datagrams are taken only from the host of a destination (any port); the
  // others are counted in refusedSender and go no further. Off by default; kept across Create.
  void SetSenderCheck(bool on);
  // With this on, a datagram from a destination's host that got through (and authenticated,
  // with SRTP) moves that destination's data or RTCP port to the one it came from, so we reply
  // through the partner's router (symmetric RTP, RFC 4961). Off by default; kept across Create.
  void SetSymmetric(bool on);
  // From now until Destroy, every packet leaves protected with SRTP/SRTCP under `key`, and only
  // datagrams that authenticate under it are taken (the others count in refusedAuth).
  // kErrSrtp when the library cannot be set up.
  int EnableSrtp(const SrtpKey& key);
  // From now until Destroy, keys come from a DTLS-SRTP handshake with the destination, on the
  // data port (RTCP uses the same keys). Until it is done only the handshake leaves:
  // SendPacket says kErrNotReady and reports wait. kErrSrtp when OpenSSL cannot be set up.
  int EnableDtls(const net::DtlsConfig& config);
  SecurityStatus Security() const;
  // Advances the session's RTP timestamp.
  int IncrementTimestamp(uint32_t units);
  // Sends one packet to every destination; the timestamp advances by tsIncrement after it.
  // kErrSend when no destination took it: the sequence number is then kept for the retry.
  int SendPacket(const uint8_t* payload, size_t length, uint8_t payloadType, bool marker,
                 uint32_t tsIncrement);

  // Reads every datagram waiting on both ports without blocking, files data packets by source,
  // handles RTCP, and sends our RTCP report when it is due. 0 also when nothing waited;
  // kErrReceive when a socket read failed (what was read before is still filed).
  int Poll();
  bool GotoFirstSourceWithData();
  bool GotoNextSourceWithData();
  int SetCurrentSourceTimestampUnit(double seconds);
  // The current source's next packet, or nullptr when it has no more.
  std::unique_ptr<Packet> GetNextPacket();

  // For waiting on arrivals with poll(2); -1 when not created.
  int DataFd() const;
  int ControlFd() const;
  // Milliseconds until our next RTCP report or handshake retransmission is due (0 when due now,
  // -1 when not created).
  int64_t MillisUntilRtcp() const;
  uint32_t Ssrc() const;
  SessionStats Stats() const;
  std::vector<SourceInfo> Sources() const;
  // The link figures as of the last reports (kept after Destroy until the next Create).
  LinkFigures Link() const;
  // The RTCP minimum interval in seconds (5 by default, as RFC 3550 6.2 recommends). Smaller
  // values are for tests; it applies from now on, and to sessions created later.
  int SetRtcpMinimumInterval(double seconds);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tandem::rtp
