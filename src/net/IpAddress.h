// An IPv4 or IPv6 address as a plain value: what a destination is, and what sockets are given.
// IPv4 addresses reach IPv6 sockets in their mapped form (::ffff:a.b.c.d), so both families share
// one dual-stack socket.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tandem {

struct IpAddress {
  enum class Family : uint8_t { kNone, kV4, kV6 };

  Family family = Family::kNone;
  std::array<uint8_t, 16> bytes{};  // network byte order; an IPv4 address in the first four
  uint32_t scope = 0;               // interface index of an IPv6 link-local address, else 0

  static IpAddress V4(uint32_t hostOrder);
  static IpAddress V6(const std::array<uint8_t, 16>& bytes, uint32_t scope = 0);

  bool IsV4() const { return family == Family::kV4; }
  bool IsV6() const { return family == Family::kV6; }
  uint32_t V4HostOrder() const;  // 0 unless IPv4
  bool IsV4Mapped() const;
  // An IPv4-mapped IPv6 address as the IPv4 address it carries; any other unchanged.
  IpAddress Unmapped() const;
  // 0.0.0.0, ::, 255.255.255.255 and IPv6 multicast (also mapped): no partner is reached there.
  bool NamesNoPeer() const;

  bool operator==(const IpAddress&) const = default;
};

// "192.0.2.1", "2001:db8::5", "fe80::1%eth0" (the scope by interface name when it has one).
std::string ToString(const IpAddress& address);

// A numeric address: dotted IPv4, or IPv6 with an optional %scope, with or without [brackets].
std::optional<IpAddress> ParseIpAddress(const std::string& text);

// The socket address for sending to address:port from a socket of socketFamily (AF_INET or
// AF_INET6). False when that socket cannot reach the address (IPv6 from an IPv4 socket).
bool ToSockaddr(const IpAddress& address, uint16_t port, int socketFamily, sockaddr_storage& out,
                socklen_t& length);
// The address and port of a received datagram's sender; an IPv4 sender that reached a dual-stack
// socket comes back as IPv4.
IpAddress FromSockaddr(const sockaddr_storage& from, uint16_t* port = nullptr);

}  // namespace tandem
