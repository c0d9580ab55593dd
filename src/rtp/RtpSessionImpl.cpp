// The facade's datagram path: reading the sockets or the path, the sender check, DTLS and SRTP
// between them and the core, and the partner's ports latched from what got through.
#include "rtp/RtpSessionImpl.h"

#include <cerrno>
#include <random>

#include "net/PeerAddress.h"
#include "rtp/RtpPacket.h"

namespace tandem::rtp {
namespace {

// One Poll reads at most this many datagrams per socket, so a flood cannot hold the caller.
constexpr int kMaxReadsPerPoll = 4096;

uint32_t RandomSsrc() {
  try {
    return std::random_device{}();
  } catch (const std::exception&) {
    std::mt19937 g(static_cast<uint32_t>(MonotonicMicros()) ^ static_cast<uint32_t>(::getpid()));
    return g();
  }
}

// The SSRC a datagram names as its sender: an RTP header's, or the first RTCP packet's.
std::optional<uint32_t> SenderSsrc(std::span<const uint8_t> bytes, bool isControl) {
  const size_t at = isControl ? 4 : 8;
  if (bytes.size() < at + 4 || (bytes[0] >> 6) != 2) return std::nullopt;
  return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 |
         bytes[at + 3];
}

}  // namespace

void RtpSession::Impl::SendControl(std::vector<uint8_t> bytes) {
  if (bytes.empty()) return;
  if (dtls && !srtp) return;  // nothing but the handshake before it is done
  if (srtp && !srtp->ProtectRtcp(bytes)) {
    ++core->Stats().rtcpSendErrors;
    return;
  }
  if (path) {
    ++(path->Send(bytes) == 0 ? core->Stats().rtcpSent : core->Stats().rtcpSendErrors);
    return;
  }
  for (const Destination& d : core->Destinations()) {
    if (control.SendTo(bytes, d.ip, d.controlPort) == 0) {
      ++core->Stats().rtcpSent;
    } else {
      ++core->Stats().rtcpSendErrors;
    }
  }
}

bool RtpSession::Impl::Drain(UdpSocket& socket, bool isControl) {
  for (int i = 0; i < kMaxReadsPerPoll; ++i) {
    const UdpSocket::Received r = socket.ReceiveFrom(buffer);
    if (r.result == -EAGAIN) return true;
    if (r.result == -EINTR) continue;
    if (r.result < 0) {
      ++core->Stats().receiveErrors;
      return false;
    }
    if (r.truncated) {
      ++core->Stats().malformedDropped;
      continue;
    }
    // Refused before anything reads the bytes: a stranger's datagram costs one comparison.
    if (senderCheck && !FromDestination(r.from)) {
      ++core->Stats().refusedSender;
      continue;
    }
    const std::span<const uint8_t> received(buffer.data(), static_cast<size_t>(r.result));
    if (!Admit(received, isControl, &r.from, r.fromPort)) continue;
    const Input input =
        Take(static_cast<size_t>(r.result), isControl, r.fromPort != socket.LocalPort());
    if (symmetric && (input == Input::kAccepted || input == Input::kHeld)) {
      Latch(r.from, r.fromPort, isControl);
    }
  }
  return true;
}

bool RtpSession::Impl::DrainPath() {
  for (int i = 0; i < kMaxReadsPerPoll; ++i) {
    const int64_t n = path->Receive(buffer);
    if (n == -EAGAIN) return true;
    if (n == -EINTR) continue;
    if (n < 0) {
      ++core->Stats().receiveErrors;
      return false;
    }
    if (static_cast<size_t>(n) > buffer.size()) {
      ++core->Stats().malformedDropped;
      continue;
    }
    const auto length = static_cast<size_t>(n);
    const std::span<const uint8_t> received(buffer.data(), length);
    const bool isControl = LooksLikeRtcp(received);
    if (!Admit(received, isControl)) continue;
    // Only our partner reaches us on the path, so our own SSRC there is never our echo.
    Take(length, isControl, true);
  }
  return true;
}

Input RtpSession::Impl::Take(size_t length, bool isControl, bool otherPort) {
  if (srtp) {
    const std::span<uint8_t> sealed(buffer.data(), length);
    const auto opened = isControl ? srtp->UnprotectRtcp(sealed) : srtp->UnprotectRtp(sealed);
    if (!opened) {
      ++core->Stats().refusedAuth;
      return Input::kDropped;
    }
    length = *opened;
  }
  const std::span<const uint8_t> bytes(buffer.data(), length);
  const Micros now = MonotonicMicros();
  if (auto ssrc = SenderSsrc(bytes, isControl); ssrc && *ssrc == core->Ssrc()) {
    // Our own SSRC from our own port is a loop (we send to ourselves), dropped as such by
    // the core; from any other port it is another participant that drew the same one.
    if (otherPort) ChangeSsrc(*ssrc, now);
  }
  return isControl ? core->OnControl(bytes, now) : core->OnData(bytes, now);
}

bool RtpSession::Impl::Admit(std::span<const uint8_t> received, bool isControl,
                             const sockaddr_storage* from, uint16_t fromPort) {
  if (net::ClassifyDatagram(received) == net::DatagramKind::Dtls) {
    if (dtls && !isControl) {
      // The handshake answers where the partner's comes from: its router may have mapped it
      // to a port we could not know. Only the destination's own host moves it.
      const int index = symmetric && from && fromPort != 0 ? DestinationIndexOf(*from) : -1;
      if (index >= 0) {
        handshakeIndex = index;
        handshakePort = fromPort;
      }
      const uint64_t generation = dtls->Generation();
      dtls->OnDatagram(received, MonotonicMicros());
      AfterHandshakeStep();
      // This datagram finished a handshake: the partner proved itself from this port, so
      // data follows it there.
      if (index >= 0 && dtls->Generation() > generation) Latch(*from, fromPort, false);
    } else {
      // A partner that seals its session with a handshake we do not run.
      ++core->Stats().refusedAuth;
    }
    return false;
  }
  if (dtls && !srtp) {
    // Not to be taken without keys. From a partner that has spoken DTLS to us it is sealed
    // under keys we are about to have (its Finished is late); from one that never did, the
    // partner runs no handshake: refused.
    if (dtls->Stats().datagramsIn == 0) {
      ++core->Stats().refusedAuth;
    } else {
      ++core->Stats().beforeKeysDropped;
    }
    return false;
  }
  return true;
}

void RtpSession::Impl::AfterHandshakeStep() {
  const auto& destinations = core->Destinations();
  for (const auto& datagram : dtls->TakeOutgoing()) {
    if (path) {
      path->Send(datagram);
    } else if (handshakeIndex >= 0 && static_cast<size_t>(handshakeIndex) < destinations.size()) {
      data.SendTo(datagram, destinations[static_cast<size_t>(handshakeIndex)].ip, handshakePort);
    } else {
      for (const Destination& d : destinations) data.SendTo(datagram, d.ip, d.port);
    }
  }
  if (auto keys = dtls->TakeKeys()) {
    try {
      srtp = std::make_unique<SrtpContext>(keys->profile == net::SrtpKeying::Profile::AeadAes128Gcm,
                                           keys->local, keys->remote, core->Ssrc());
    } catch (const std::exception&) {
      // Without a context nothing leaves or opens; the handshake counts as failed.
      srtp.reset();
    }
  }
}

void RtpSession::Impl::Latch(const sockaddr_storage& from, uint16_t fromPort, bool isControl) {
  const int index = DestinationIndexOf(from);
  if (index < 0 || fromPort == 0) return;
  const Destination& d = core->Destinations()[static_cast<size_t>(index)];
  if ((isControl ? d.controlPort : d.port) == fromPort) return;
  core->MoveDestinationPort(static_cast<size_t>(index), fromPort, isControl);
  ++core->Stats().portMoves;
}

int RtpSession::Impl::DestinationIndexOf(const sockaddr_storage& from) const {
  const auto& destinations = core->Destinations();
  for (size_t i = 0; i < destinations.size(); ++i) {
    const Destination& d = destinations[i];
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ToSockaddr(d.ip, d.port, d.ip.IsV4() ? AF_INET : AF_INET6, address, length) &&
        SameHostAddress(from, address)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void RtpSession::Impl::ChangeSsrc(uint32_t theirs, Micros now) {
  uint32_t fresh = RandomSsrc();
  while (fresh == theirs || fresh == core->Ssrc()) fresh = RandomSsrc();
  SendControl(core->ChangeSsrc(fresh, now));  // still protected under the old stream
  if (!srtp) return;
  try {
    srtp->ChangeSsrc(fresh);
  } catch (const std::exception&) {
    // The old stream refuses the new SSRC, so nothing leaves in clear: sends fail instead.
  }
}

}  // namespace tandem::rtp
