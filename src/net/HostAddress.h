// The machine's own name and addresses, and destination addresses typed by the user.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/IpAddress.h"

namespace tandem {

std::string HostName();

// Every IPv4 address of the machine's interfaces that are up, and every global or unique-local
// IPv6 one, in text form, without duplicates: the IPv4 ones a peer elsewhere could use first,
// then the IPv6 ones, loopback addresses last. Link-local IPv6 addresses are left out: they need
// an interface name that only makes sense on this machine.
std::vector<std::string> InterfaceAddresses();

// What the user is shown at session set-up: the host name, then InterfaceAddresses().
std::vector<std::string> LocalHostLines();

// A destination of either family: an IPv4 or IPv6 literal, or a host name, taking the first
// usable address in the resolver's order of preference (RFC 6724). Nothing for any other text,
// nor for an address that names no peer (IpAddress::NamesNoPeer). Only texts that can be host
// names are looked up, so a typo never waits on a name server.
std::optional<IpAddress> ResolveDestination(const std::string& text);

// Dotted form of an address in host byte order.
std::string DottedIpv4(uint32_t hostOrder);

}  // namespace tandem
