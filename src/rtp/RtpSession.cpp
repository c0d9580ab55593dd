#include "rtp/RtpSession.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "net/DatagramPath.h"
#include "net/PeerAddress.h"
#include "net/UdpSocket.h"
#include "rtp/RtpPacket.h"
#include "rtp/SessionCore.h"

namespace tandem::rtp {
namespace {

// One Poll reads at most this many datagrams per socket, so a flood cannot hold the caller.
constexpr int kMaxReadsPerPoll = 4096;

Micros MonotonicMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

Micros WallclockOffset() {
  using namespace std::chrono;
  const Micros wall = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return wall - MonotonicMicros();
}

// RFC 3550 6.5.1: a CNAME unique to this participant; the process id keeps two peers on one
// host apart.
std::string MakeCname() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
    return "tandem." + std::to_string(::getpid()) + "@localhost";
  }
  return "tandem." + std::to_string(::getpid()) + "@" + host;
}

// RFC 3550 5.1/8.1: random SSRC, starting sequence number and timestamp.
void Randomise(CoreConfig& c) {
  try {
    std::random_device device;
    c.ssrc = device();
    c.firstSequence = static_cast<uint16_t>(device());
    c.firstTimestamp = device();
    c.seed = uint64_t{device()} << 32 | device();
  } catch (const std::exception&) {
    // No entropy source: the clocks and the process id still differ between sessions.
    std::seed_seq seq{static_cast<uint64_t>(MonotonicMicros()),
                      static_cast<uint64_t>(WallclockOffset()), static_cast<uint64_t>(::getpid())};
    std::mt19937_64 g(seq);
    c.ssrc = static_cast<uint32_t>(g());
    c.firstSequence = static_cast<uint16_t>(g());
    c.firstTimestamp = static_cast<uint32_t>(g());
    c.seed = g();
  }
}

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

CoreConfig RandomConfig(double rtcpMinimum) {
  CoreConfig c;
  Randomise(c);
  c.cname = MakeCname();
  c.rtcpMinimumSeconds = rtcpMinimum;
  c.wallclockOffset = WallclockOffset();
  return c;
}

}  // namespace

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
  void SendControl(std::vector<uint8_t> bytes) {
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

  // Reads what waits on one socket; false when a read failed.
  bool Drain(UdpSocket& socket, bool isControl) {
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

  // Reads what waits on the path; false when a read failed.
  bool DrainPath() {
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

  // One datagram in buffer: opened when protected, then handed to the core. `otherPort`: it did
  // not come from the port it was read on, so our SSRC in it is another participant's.
  Input Take(size_t length, bool isControl, bool otherPort) {
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

  // RFC 7983: DTLS records go to the handshake, and nothing sealed is taken before its keys.
  // False when the datagram goes no further. `from`: the sender, when a socket read it.
  bool Admit(std::span<const uint8_t> received, bool isControl,
             const sockaddr_storage* from = nullptr, uint16_t fromPort = 0) {
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

  // Sends what the handshake has to say, and takes the keys of a handshake just done.
  void AfterHandshakeStep() {
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
        srtp =
            std::make_unique<SrtpContext>(keys->profile == net::SrtpKeying::Profile::AeadAes128Gcm,
                                          keys->local, keys->remote, core->Ssrc());
      } catch (const std::exception&) {
        // Without a context nothing leaves or opens; the handshake counts as failed.
        srtp.reset();
      }
    }
  }

  // RFC 4961: reply to the port the partner's packets come from, since a router on its side may
  // have given them another one than it listens on. Only the destination's own host moves it,
  // and only with a datagram that got through (authenticated, when SRTP is on), so nobody else
  // can steer our packets away.
  void Latch(const sockaddr_storage& from, uint16_t fromPort, bool isControl) {
    const int index = DestinationIndexOf(from);
    if (index < 0 || fromPort == 0) return;
    const Destination& d = core->Destinations()[static_cast<size_t>(index)];
    if ((isControl ? d.controlPort : d.port) == fromPort) return;
    core->MoveDestinationPort(static_cast<size_t>(index), fromPort, isControl);
    ++core->Stats().portMoves;
  }

  int DestinationIndexOf(const sockaddr_storage& from) const {
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

  bool FromDestination(const sockaddr_storage& from) const { return DestinationIndexOf(from) >= 0; }

  // RFC 3550 8.2: say BYE under the old SSRC, then go on under a new random one.
  void ChangeSsrc(uint32_t theirs, Micros now) {
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
};

RtpSession::RtpSession() : impl_(std::make_unique<Impl>()) {}

RtpSession::~RtpSession() {
  Destroy();
}

int RtpSession::Create(uint16_t portBase, uint32_t localIp) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->core) return kErrAlreadyCreated;
  if (portBase % 2 != 0) return kErrOddPort;
  if (portBase == 0) return kErrBadPort;
  const auto bind = [localIp](UdpSocket& socket, uint16_t port) {
    return localIp == 0 ? socket.BindDualStack(port) : socket.Bind(port, localIp);
  };
  int rc = bind(impl_->data, portBase);
  if (rc == 0) rc = bind(impl_->control, static_cast<uint16_t>(portBase + 1));
  if (rc != 0) {
    impl_->data.Close();
    impl_->control.Close();
    const bool portProblem = rc == -EADDRINUSE || rc == -EACCES || rc == -EADDRNOTAVAIL;
    return portProblem ? kErrBind : kErrSocket;
  }
  impl_->core.emplace(RandomConfig(impl_->rtcpMinimum), MonotonicMicros());
  impl_->lastLink = {};
  return kOk;
}

int RtpSession::Create(std::shared_ptr<DatagramPath> path) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->core) return kErrAlreadyCreated;
  if (!path) return kErrBadArgument;
  impl_->core.emplace(RandomConfig(impl_->rtcpMinimum), MonotonicMicros());
  // The partner is the one destination; the path knows the way to it.
  if (impl_->core->AddDestination(path->Peer(), 2) != kOk) {
    impl_->core.reset();
    return kErrBadDestination;
  }
  impl_->path = std::move(path);
  impl_->lastLink = {};
  return kOk;
}

int RtpSession::Destroy() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  // RFC 3550 6.1: leave with a BYE, so the peers forget us now rather than after a timeout.
  impl_->SendControl(impl_->core->MakeBye(MonotonicMicros()));
  impl_->srtp.reset();
  impl_->path.reset();
  impl_->dtls.reset();
  impl_->handshakeIndex = -1;
  impl_->data.Close();
  impl_->control.Close();
  impl_->lastStats = impl_->core->Stats();
  impl_->lastLink = impl_->core->Link();
  impl_->lastLink.sendPort = 0;
  impl_->core.reset();
  return kOk;
}

bool RtpSession::IsCreated() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->core.has_value();
}

int RtpSession::SetTimestampUnit(double seconds) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  return impl_->core->SetTimestampUnit(seconds);
}

int RtpSession::AddDestination(uint32_t ipHostOrder, uint16_t port) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  if (impl_->path) return kErrBadDestination;  // the path goes to its partner alone
  return impl_->core->AddDestination(ipHostOrder, port);
}

int RtpSession::AddDestination(const IpAddress& address, uint16_t port) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  if (impl_->path) return kErrBadDestination;  // the path goes to its partner alone
  // Sockets bound to one IPv4 address cannot reach an IPv6 partner.
  if (impl_->data.Family() == AF_INET && !address.Unmapped().IsV4()) return kErrBadDestination;
  return impl_->core->AddDestination(address, port);
}

void RtpSession::SetSenderCheck(bool on) {
  std::lock_guard lock(impl_->mutex);
  impl_->senderCheck = on;
}

void RtpSession::SetSymmetric(bool on) {
  std::lock_guard lock(impl_->mutex);
  impl_->symmetric = on;
}

int RtpSession::EnableSrtp(const SrtpKey& key) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  try {
    impl_->srtp = std::make_unique<SrtpContext>(key, impl_->core->Ssrc());
  } catch (const std::exception&) {
    return kErrSrtp;
  }
  return kOk;
}

int RtpSession::EnableDtls(const net::DtlsConfig& config) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  try {
    impl_->srtp.reset();
    impl_->handshakeIndex = -1;
    impl_->dtls = std::make_unique<net::DtlsSession>(config);
    impl_->dtls->Start(MonotonicMicros());
  } catch (const std::exception&) {
    impl_->dtls.reset();
    return kErrSrtp;
  }
  impl_->AfterHandshakeStep();
  return kOk;
}

SecurityStatus RtpSession::Security() const {
  std::lock_guard lock(impl_->mutex);
  SecurityStatus s;
  if (!impl_->dtls) return s;
  s.dtls = true;
  s.keyed = impl_->srtp != nullptr;
  s.handshaking = impl_->dtls->Handshaking();
  s.lastFailure = impl_->dtls->LastFailure();
  s.handshakes = impl_->dtls->Generation();
  s.cipher = impl_->dtls->Cipher();
  s.peerFingerprint = impl_->dtls->PeerFingerprint();
  s.stats = impl_->dtls->Stats();
  return s;
}

int RtpSession::IncrementTimestamp(uint32_t units) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  impl_->core->IncrementTimestamp(units);
  return kOk;
}

int RtpSession::SendPacket(const uint8_t* payload, size_t length, uint8_t payloadType, bool marker,
                           uint32_t tsIncrement) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  if (payload == nullptr && length > 0) return kErrBadArgument;
  if (impl_->dtls && !impl_->srtp) return kErrNotReady;
  const std::span<const uint8_t> bytes(payload, length);
  const int rc = impl_->core->BuildData(bytes, payloadType, marker, impl_->outgoing);
  if (rc != kOk) return rc;
  if (impl_->srtp && !impl_->srtp->ProtectRtp(impl_->outgoing)) {
    impl_->core->SkipSequence();
    return kErrSrtp;
  }
  // A datagram that no destination took is a failure; the sequence number is then not used up,
  // so a retry carries the same one. Unless protected: a retry under the same sequence number
  // would reuse its key stream on a different packet.
  bool taken = impl_->path && impl_->path->Send(impl_->outgoing) == 0;
  for (const Destination& d :
       impl_->path ? std::vector<Destination>{} : impl_->core->Destinations()) {
    if (impl_->data.SendTo(impl_->outgoing, d.ip, d.port) == 0) taken = true;
  }
  if (!taken) {
    if (impl_->srtp) impl_->core->SkipSequence();
    return kErrSend;
  }
  impl_->core->CommitSent(length, tsIncrement, MonotonicMicros());
  return kOk;
}

int RtpSession::Poll() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  const bool dataOk = impl_->path ? impl_->DrainPath() : impl_->Drain(impl_->data, false);
  const bool controlOk = impl_->path || impl_->Drain(impl_->control, true);
  const Micros now = MonotonicMicros();
  if (impl_->dtls) {
    const int64_t due = impl_->dtls->NextTimerUs(now);
    if (due >= 0 && due <= now) {
      impl_->dtls->OnTimer(now);
      impl_->AfterHandshakeStep();
    }
  }
  // Made (and its interval restarted) even while a handshake keeps it from leaving.
  if (impl_->core->ReportDue(now)) impl_->SendControl(impl_->core->MakeReport(now));
  return dataOk && controlOk ? kOk : kErrReceive;
}

bool RtpSession::GotoFirstSourceWithData() {
  std::lock_guard lock(impl_->mutex);
  return impl_->core && impl_->core->GotoFirstSourceWithData();
}

bool RtpSession::GotoNextSourceWithData() {
  std::lock_guard lock(impl_->mutex);
  return impl_->core && impl_->core->GotoNextSourceWithData();
}

int RtpSession::SetCurrentSourceTimestampUnit(double seconds) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return kErrNotCreated;
  return impl_->core->SetCurrentSourceTimestampUnit(seconds);
}

std::unique_ptr<Packet> RtpSession::GetNextPacket() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return nullptr;
  return impl_->core->TakeNextPacket();
}

int RtpSession::DataFd() const {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return -1;
  return impl_->path ? impl_->path->Fd() : impl_->data.Fd();
}

int RtpSession::ControlFd() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->core && !impl_->path ? impl_->control.Fd() : -1;
}

int64_t RtpSession::MillisUntilRtcp() const {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return -1;
  const Micros now = MonotonicMicros();
  Micros left = impl_->core->NextReportTime() - now;
  if (impl_->dtls) {
    if (const int64_t due = impl_->dtls->NextTimerUs(now); due >= 0)
      left = std::min(left, due - now);
  }
  return left <= 0 ? 0 : (left + 999) / 1000;
}

uint32_t RtpSession::Ssrc() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->core ? impl_->core->Ssrc() : 0;
}

SessionStats RtpSession::Stats() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->core ? impl_->core->Stats() : impl_->lastStats;
}

std::vector<SourceInfo> RtpSession::Sources() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->core ? impl_->core->Sources() : std::vector<SourceInfo>{};
}

LinkFigures RtpSession::Link() const {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->core) return impl_->lastLink;
  LinkFigures f = impl_->core->Link();
  if (!impl_->path && !impl_->core->Destinations().empty())
    f.sendPort = impl_->core->Destinations()[0].port;
  return f;
}

int RtpSession::SetRtcpMinimumInterval(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) return kErrBadArgument;
  std::lock_guard lock(impl_->mutex);
  impl_->rtcpMinimum = seconds;
  if (impl_->core) impl_->core->SetRtcpMinimum(seconds, MonotonicMicros());
  return kOk;
}

}  // namespace tandem::rtp
