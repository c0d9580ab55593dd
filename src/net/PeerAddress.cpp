#include "net/PeerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <optional>

namespace tandem {

namespace {

// The IPv4 address (network byte order) that an IPv4 or IPv4-mapped IPv6 address names.
std::optional<uint32_t> AsIpv4(const sockaddr_storage& s) {
  if (s.ss_family == AF_INET) return reinterpret_cast<const sockaddr_in&>(s).sin_addr.s_addr;
  if (s.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(s);
    if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
      uint32_t v4;
      std::memcpy(&v4, a6.sin6_addr.s6_addr + 12, sizeof v4);
      return v4;
    }
  }
  return std::nullopt;
}

}  // namespace

bool SameHostAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
  const auto a4 = AsIpv4(a), b4 = AsIpv4(b);
  if (a4 || b4) return a4 && b4 && *a4 == *b4;
  if (a.ss_family != AF_INET6 || b.ss_family != AF_INET6) return false;
  const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
  const auto& b6 = reinterpret_cast<const sockaddr_in6&>(b);
  if (!IN6_ARE_ADDR_EQUAL(&a6.sin6_addr, &b6.sin6_addr)) return false;
  return a6.sin6_scope_id == 0 || b6.sin6_scope_id == 0 || a6.sin6_scope_id == b6.sin6_scope_id;
}

sockaddr_storage Ipv4SocketAddress(uint32_t ipHostOrder, uint16_t port) {
  sockaddr_storage s{};
  auto& a = reinterpret_cast<sockaddr_in&>(s);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(ipHostOrder);
  a.sin_port = htons(port);
  return s;
}

}  // namespace tandem
