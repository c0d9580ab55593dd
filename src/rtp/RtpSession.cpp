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
#include "rtp/RtpSessionImpl.h"
#include "rtp/SessionCore.h"

namespace tandem::rtp {

Micros MonotonicMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

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

CoreConfig RandomConfig(double rtcpMinimum) {
  CoreConfig c;
  Randomise(c);
  c.cname = MakeCname();
  c.rtcpMinimumSeconds = rtcpMinimum;
  c.wallclockOffset = WallclockOffset();
  return c;
}

}  // namespace

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
