#include "net/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tandem {
namespace {
sockaddr_in Address(uint32_t ipHostOrder, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ipHostOrder);
  a.sin_port = htons(port);
  return a;
}
}  // namespace

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    family_ = other.family_;
    other.fd_ = -1;
  }
  return *this;
}

int UdpSocket::Bind(uint16_t port, uint32_t localIpHostOrder) {
  if (fd_ >= 0) return -EISCONN;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  // No SO_REUSEADDR: a port another session holds must stay busy for us.
  const sockaddr_in a = Address(localIpHostOrder, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    ::close(fd);
    return -e;
  }
  fd_ = fd;
  family_ = AF_INET;
  return 0;
}

int UdpSocket::BindDualStack(uint16_t port) {
  if (fd_ >= 0) return -EISCONN;
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    // A kernel built or booted without IPv6 still serves IPv4 partners.
    if (errno == EAFNOSUPPORT) return Bind(port);
    return -errno;
  }
  const int off = 0;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  a.sin6_port = htons(port);
  if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    ::close(fd);
    return -e;
  }
  fd_ = fd;
  family_ = AF_INET6;
  return 0;
}

void UdpSocket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

uint16_t UdpSocket::LocalPort() const {
  if (fd_ < 0) return 0;
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  uint16_t port = 0;
  FromSockaddr(a, &port);
  return port;
}

UdpSocket::Received UdpSocket::ReceiveFrom(std::span<uint8_t> buffer) {
  Received r;
  if (fd_ < 0) {
    r.result = -EBADF;
    return r;
  }
  socklen_t len = sizeof r.from;
  // MSG_TRUNC makes Linux return the datagram's real length, so a cut datagram is seen as such.
  const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&r.from), &len);
  if (n < 0) {
    r.result = -errno;  // EWOULDBLOCK is EAGAIN on Linux
    return r;
  }
  r.result = n;
  r.truncated = static_cast<size_t>(n) > buffer.size();
  r.fromIp = FromSockaddr(r.from, &r.fromPort).V4HostOrder();
  return r;
}

int UdpSocket::SendTo(std::span<const uint8_t> bytes, uint32_t ipHostOrder, uint16_t port) {
  return SendTo(bytes, IpAddress::V4(ipHostOrder), port);
}

int UdpSocket::SendTo(std::span<const uint8_t> bytes, const IpAddress& address, uint16_t port) {
  if (fd_ < 0) return -EBADF;
  sockaddr_storage to{};
  socklen_t length = 0;
  if (!ToSockaddr(address, port, family_, to, length)) return -EAFNOSUPPORT;
  for (;;) {
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&to), length);
    if (n >= 0) return static_cast<size_t>(n) == bytes.size() ? 0 : -EMSGSIZE;
    if (errno != EINTR) return -errno;
  }
}

}  // namespace tandem
