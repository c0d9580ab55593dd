// Inside the RTP session facade: its sockets or path, and what stands between them and the core:
// the sender check, the DTLS handshake, SRTP and the latching of the partner's ports.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "net/DatagramPath.h"
#include "net/Dtls.h"
#include "net/Srtp.h"
#include "net/UdpSocket.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSession.h"
#include "rtp/SessionCore.h"

namespace tandem::rtp {

// Monotonic microseconds: the session's own clock.
Micros MonotonicMicros();

struct RtpSession::Impl {
  mutable std::mutex mutex;
  std::optional<SessionCore> core;
  UdpSocket data;
  UdpSocket control;
  SessionStats lastStats;  // kept after Destroy until the next Create
  LinkFigures lastLink;
  double rtcpMinimum = 5;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kMaxUdpPayload + 1);
  std::vector<uint8_t> outgoing;
  bool senderCheck = false;
  bool symmetric = false;
  std::unique_ptr<SrtpContext> srtp;
  std::shared_ptr<DatagramPath> path;  // when set, every datagram goes this way, not the sockets
  std::unique_ptr<net::DtlsSession> dtls;
  // Where the handshake answers: the port of the partner's last handshake datagram, which its
  // router may have given another port than the destination's (index -1: the destinations').
  int handshakeIndex = -1;
  uint16_t handshakePort = 0;

  // Sends bytes to every destination's control port; counts refusals.
  void SendControl(std::vector<uint8_t> bytes);

  // Reads what waits on one socket; false when a read failed.
  bool Drain(UdpSocket& socket, bool isControl);

  // Reads what waits on the path; false when a read failed.
  bool DrainPath();

  // One datagram in buffer: opened when protected, then handed to the core. `otherPort`: it did
  // not come from the port it was read on, so our SSRC in it is another participant's.
  Input Take(size_t length, bool isControl, bool otherPort);

  // RFC 7983: DTLS records go to the handshake, and nothing sealed is taken before its keys.
  // False when the datagram goes no further. `from`: the sender, when a socket read it.
  bool Admit(std::span<const uint8_t> received, bool isControl,
             const sockaddr_storage* from = nullptr, uint16_t fromPort = 0);

  // Sends what the handshake has to say, and takes the keys of a handshake just done.
  void AfterHandshakeStep();

  // RFC 4961: reply to the port the partner's packets come from, since a router on its side may
  // have given them another one than it listens on. Only the destination's own host moves it,
  // and only with a datagram that got through (authenticated, when SRTP is on), so nobody else
  // can steer our packets away.
  void Latch(const sockaddr_storage& from, uint16_t fromPort, bool isControl);

  int DestinationIndexOf(const sockaddr_storage& from) const;

  bool FromDestination(const sockaddr_storage& from) const { return DestinationIndexOf(from) >= 0; }

  // RFC 3550 8.2: say BYE under the old SSRC, then go on under a new random one.
  void ChangeSsrc(uint32_t theirs, Micros now);
};

}  // namespace tandem::rtp
