// A way to the partner other than the session's own UDP sockets: one path that carries RTP and
// RTCP together (RFC 5761), such as an ICE connection. The path does the I/O; the session stays
// the same whichever way its datagrams travel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/IpAddress.h"

namespace tandem::rtp {

class DatagramPath {
 public:
  virtual ~DatagramPath() = default;
  // Sends one datagram to the partner: 0, or -errno.
  virtual int Send(std::span<const uint8_t> bytes) = 0;
  // Takes one waiting datagram into buffer without blocking: its full length (more than the
  // buffer when cut), or -EAGAIN when none waits, or another -errno.
  virtual int64_t Receive(std::span<uint8_t> buffer) = 0;
  // Readable while datagrams wait; -1 when there is none to wait on.
  virtual int Fd() const = 0;
  // The partner as far as the session's reports and figures go.
  virtual IpAddress Peer() const = 0;
};

// RFC 5761 4: on a shared path, RTCP packet types 192-223 sit where an RTP header has its marker
// bit and payload type; ours never sets the marker, so the second byte tells them apart.
inline bool LooksLikeRtcp(std::span<const uint8_t> datagram) {
  return datagram.size() >= 2 && datagram[1] >= 192 && datagram[1] <= 223;
}

}  // namespace tandem::rtp
