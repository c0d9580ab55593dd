#include "net/IpAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace tandem {

namespace {
constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
}  // namespace

IpAddress IpAddress::V4(uint32_t hostOrder) {
  IpAddress a;
  a.family = Family::kV4;
  a.bytes[0] = static_cast<uint8_t>(hostOrder >> 24);
  a.bytes[1] = static_cast<uint8_t>(hostOrder >> 16);
  a.bytes[2] = static_cast<uint8_t>(hostOrder >> 8);
  a.bytes[3] = static_cast<uint8_t>(hostOrder);
  return a;
}

IpAddress IpAddress::V6(const std::array<uint8_t, 16>& bytes, uint32_t scope) {
  IpAddress a;
  a.family = Family::kV6;
  a.bytes = bytes;
  a.scope = scope;
  return a;
}

uint32_t IpAddress::V4HostOrder() const {
  if (!IsV4()) return 0;
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

bool IpAddress::IsV4Mapped() const {
  return IsV6() && std::memcmp(bytes.data(), kMappedPrefix.data(), kMappedPrefix.size()) == 0;
}

IpAddress IpAddress::Unmapped() const {
  if (!IsV4Mapped()) return *this;
  IpAddress a;
  a.family = Family::kV4;
  std::memcpy(a.bytes.data(), bytes.data() + 12, 4);
  return a;
}

bool IpAddress::NamesNoPeer() const {
  const IpAddress a = Unmapped();
  if (a.IsV4()) return a.V4HostOrder() == 0 || a.V4HostOrder() == 0xffffffffu;
  if (!a.IsV6()) return true;
  if (a.bytes[0] == 0xff) return true;  // multicast: a session has exactly one partner
  for (uint8_t b : a.bytes) {
    if (b != 0) return false;
  }
  return true;  // ::
}

std::string ToString(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
  if (address.IsV4()) {
    if (!inet_ntop(AF_INET, address.bytes.data(), text, sizeof text)) return {};
    return text;
  }
  if (!address.IsV6() || !inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text)) return {};
  std::string out = text;
  if (address.scope != 0) {
    char name[IF_NAMESIZE] = {};
    out += '%';
    out += if_indextoname(address.scope, name) ? std::string(name) : std::to_string(address.scope);
  }
  return out;
}

std::optional<IpAddress> ParseIpAddress(const std::string& input) {
  std::string text = input;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty() || text.size() > INET6_ADDRSTRLEN + IF_NAMESIZE) return std::nullopt;
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return IpAddress::V4(ntohl(v4.s_addr));
  if (text.find(':') == std::string::npos) return std::nullopt;
  // getaddrinfo with AI_NUMERICHOST never asks a name server, and reads a %scope as well.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::optional<IpAddress> found;
  if (result->ai_family == AF_INET6 && result->ai_addrlen >= sizeof(sockaddr_in6)) {
    sockaddr_storage s{};
    std::memcpy(&s, result->ai_addr, sizeof(sockaddr_in6));
    found = FromSockaddr(s);
  }
  freeaddrinfo(result);
  return found;
}

bool ToSockaddr(const IpAddress& address, uint16_t port, int socketFamily, sockaddr_storage& out,
                socklen_t& length) {
  out = {};
  const IpAddress a = address.Unmapped();
  if (socketFamily == AF_INET) {
    if (!a.IsV4()) return false;
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, a.bytes.data(), 4);
    in->sin_port = htons(port);
    length = sizeof(sockaddr_in);
    return true;
  }
  if (socketFamily != AF_INET6 || (!a.IsV4() && !a.IsV6())) return false;
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  if (a.IsV4()) {
    std::memcpy(in6->sin6_addr.s6_addr, kMappedPrefix.data(), kMappedPrefix.size());
    std::memcpy(in6->sin6_addr.s6_addr + 12, a.bytes.data(), 4);
  } else {
    std::memcpy(in6->sin6_addr.s6_addr, a.bytes.data(), 16);
    in6->sin6_scope_id = a.scope;
  }
  length = sizeof(sockaddr_in6);
  return true;
}

IpAddress FromSockaddr(const sockaddr_storage& from, uint16_t* port) {
  if (from.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&from);
    if (port) *port = ntohs(in->sin_port);
    return IpAddress::V4(ntohl(in->sin_addr.s_addr));
  }
  if (from.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&from);
    if (port) *port = ntohs(in6->sin6_port);
    std::array<uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), in6->sin6_addr.s6_addr, 16);
    return IpAddress::V6(bytes, in6->sin6_scope_id).Unmapped();
  }
  if (port) *port = 0;
  return {};
}

}  // namespace tandem
