#include "net/HostAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace tandem {

std::string HostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

std::string DottedIpv4(uint32_t hostOrder) {
  in_addr a{};
  a.s_addr = htonl(hostOrder);
  std::array<char, INET_ADDRSTRLEN> text{};
  if (!inet_ntop(AF_INET, &a, text.data(), text.size())) return {};
  return text.data();
}

namespace {

// Global unicast (2000::/3) and unique-local (fc00::/7): the IPv6 addresses a partner can use.
bool ReachableIpv6(const IpAddress& a) {
  return a.IsV6() && !a.IsV4Mapped() &&
         ((a.bytes[0] & 0xe0) == 0x20 || (a.bytes[0] & 0xfe) == 0xfc);
}

}  // namespace

std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> outside, outside6, loopback;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
    const int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    sockaddr_storage s{};
    std::memcpy(&s, i->ifa_addr, family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    const IpAddress address = FromSockaddr(s);
    std::vector<std::string>* into = nullptr;
    if (address.IsV4()) {
      into = (i->ifa_flags & IFF_LOOPBACK) ? &loopback : &outside;
    } else if (ReachableIpv6(address)) {
      into = &outside6;
    } else {
      continue;
    }
    std::string text = ToString(address);
    if (std::find(into->begin(), into->end(), text) == into->end()) into->push_back(text);
  }
  freeifaddrs(list);
  outside.insert(outside.end(), outside6.begin(), outside6.end());
  outside.insert(outside.end(), loopback.begin(), loopback.end());
  return outside;
}

std::vector<std::string> LocalHostLines() {
  std::vector<std::string> lines;
  if (auto name = HostName(); !name.empty()) lines.push_back(name);
  for (auto& a : InterfaceAddresses()) lines.push_back(a);
  return lines;
}

namespace {

bool LooksLikeHostName(const std::string& text) {
  if (text.empty() || text.size() > 253) return false;
  bool letter = false;
  for (char c : text) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    letter = letter || alpha;
    if (!alpha && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  // All digits and dots is a malformed address, not a name.
  return letter;
}

}  // namespace

std::optional<IpAddress> ResolveDestination(const std::string& text) {
  if (auto literal = ParseIpAddress(text)) {
    if (literal->NamesNoPeer()) return std::nullopt;
    return literal;
  }
  if (!LooksLikeHostName(text)) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::optional<IpAddress> found;
  for (addrinfo* r = result; r && !found; r = r->ai_next) {
    if (r->ai_family != AF_INET && r->ai_family != AF_INET6) continue;
    if (r->ai_addrlen > sizeof(sockaddr_storage)) continue;
    sockaddr_storage s{};
    std::memcpy(&s, r->ai_addr, r->ai_addrlen);
    const IpAddress a = FromSockaddr(s);
    if (!a.NamesNoPeer()) found = a;
  }
  freeaddrinfo(result);
  return found;
}

}  // namespace tandem
