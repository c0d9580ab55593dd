// A non-blocking UDP socket, IPv4 or dual-stack IPv6. Results are 0 (or a byte count) on success
// and -errno on failure, so callers tell "nothing waits" (-EAGAIN) from real errors without reading
// errno.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/IpAddress.h"

namespace tandem {

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_), family_(other.family_) { other.fd_ = -1; }
  UdpSocket& operator=(UdpSocket&& other) noexcept;

  // Opens the socket and binds it to port (0 = any free port) on localIp (host byte order,
  // 0 = every address). Fails when open, or when the port is taken.
  int Bind(uint16_t port, uint32_t localIpHostOrder = 0);
  // Opens an IPv6 socket that also takes IPv4 (IPV6_V6ONLY off) and binds it to port on every
  // address, so a partner of either family reaches it. Where the machine has no IPv6 at all,
  // an IPv4 socket as Bind(port).
  int BindDualStack(uint16_t port);
  // AF_INET or AF_INET6 while open.
  int Family() const { return family_; }
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The bound port, or 0 when not open.
  uint16_t LocalPort() const;

  struct Received {
    int64_t result = 0;      // the datagram's full length, or -errno (-EAGAIN: nothing waits)
    bool truncated = false;  // the datagram was longer than the buffer; the buffer has its start
    uint32_t fromIp = 0;     // host byte order; 0 for an IPv6 sender
    uint16_t fromPort = 0;
    sockaddr_storage from{};  // the sender as the socket saw it, for SameHostAddress
  };
  // Takes one datagram if one waits; never blocks.
  Received ReceiveFrom(std::span<uint8_t> buffer);
  // Sends one datagram; 0 when the whole datagram was taken, else -errno.
  int SendTo(std::span<const uint8_t> bytes, uint32_t ipHostOrder, uint16_t port);
  // The same to an address of either family; -EAFNOSUPPORT for IPv6 from an IPv4 socket.
  int SendTo(std::span<const uint8_t> bytes, const IpAddress& to, uint16_t port);

 private:
  int fd_ = -1;
  int family_ = AF_INET;
};

}  // namespace tandem
