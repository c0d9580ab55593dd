// Which host a datagram came from, whatever the address family of the socket that took it.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace tandem {

// True when a and b name the same host. Ports are not compared: a NAT on the way may rewrite
// the partner's ports, never its address. An IPv4-mapped IPv6 address (::ffff:a.b.c.d), as a
// dual-stack socket reports an IPv4 sender, is the same host as the IPv4 address a.b.c.d. Two
// IPv6 link-local addresses differ when both name their interface and the interfaces differ.
// Any other family never matches.
bool SameHostAddress(const sockaddr_storage& a, const sockaddr_storage& b);

// An IPv4 address and port (both in host byte order) as a socket address.
sockaddr_storage Ipv4SocketAddress(uint32_t ipHostOrder, uint16_t port);

}  // namespace tandem
