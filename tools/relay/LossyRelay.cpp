#include "relay/LossyRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace tandem::relay {

namespace {

constexpr size_t kMaxDatagram = 65536;
constexpr int kIdleWaitMs = 200;
constexpr int kMaxReadsPerWake = 64;  // so one flooded link cannot starve the others

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string DottedIp(uint32_t ipHostOrder) {
  std::ostringstream out;
  out << (ipHostOrder >> 24) << '.' << ((ipHostOrder >> 16) & 0xFF) << '.'
      << ((ipHostOrder >> 8) & 0xFF) << '.' << (ipHostOrder & 0xFF);
  return out.str();
}

// A loopback socket address: ipHostOrder on IPv4, ::1 on IPv6.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress LoopbackAddress(uint32_t ipHostOrder, uint16_t port, bool ipv6) {
  SocketAddress a;
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(port);
    a.length = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(ipHostOrder);
    in->sin_port = htons(port);
    a.length = sizeof(sockaddr_in);
  }
  return a;
}

const char* LoopbackName(bool ipv6) {
  return ipv6 ? "[::1]" : "127.0.0.1";
}

// A non-blocking UDP socket bound on 127.0.0.1:port (or [::1]:port); -1 when the port cannot be
// had.
int BindUdp(uint16_t port, int* error, bool ipv6) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // A large receive buffer so a burst is not lost in the kernel before the relay decides.
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const SocketAddress address = LoopbackAddress(kLoopback, port, ipv6);
  if (bind(fd, address.get(), address.length) != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

struct FdPair {
  int data = -1;
  int control = -1;
  uint16_t base = 0;
};

// Binds base and base + 1; with base 0, a free even pair picked by the kernel's ephemeral ports.
FdPair BindPair(uint16_t base, bool ipv6) {
  int error = 0;
  const std::string where = std::string("relay: cannot bind ") + LoopbackName(ipv6) + ":";
  if (base != 0) {
    if (base == 65535)
      throw std::invalid_argument("relay: port 65535 has no control port above it");
    FdPair pair{BindUdp(base, &error, ipv6), -1, base};
    if (pair.data < 0) {
      throw std::runtime_error(where + std::to_string(base) + ": " + std::strerror(error));
    }
    pair.control = BindUdp(static_cast<uint16_t>(base + 1), &error, ipv6);
    if (pair.control < 0) {
      close(pair.data);
      throw std::runtime_error(where + std::to_string(base + 1) + ": " + std::strerror(error));
    }
    return pair;
  }
  for (int attempt = 0; attempt < 200; ++attempt) {
    int first = BindUdp(0, &error, ipv6);
    if (first < 0) break;
    uint16_t port = BoundPort(first);
    int second = -1;
    FdPair pair;
    if (port % 2 == 0 && port < 65535) {
      second = BindUdp(static_cast<uint16_t>(port + 1), &error, ipv6);
      pair = {first, second, port};
    } else if (port % 2 == 1) {
      second = BindUdp(static_cast<uint16_t>(port - 1), &error, ipv6);
      pair = {second, first, static_cast<uint16_t>(port - 1)};
    }
    if (second >= 0) return pair;
    close(first);
  }
  throw std::runtime_error("relay: no free pair of loopback UDP ports");
}

}  // namespace

struct LossyRelay::Link {
  Link(int fd_, uint16_t port_, const LinkPorts& ports, const Impairments& impairments,
       uint64_t seed, bool ipv6)
      : fd(fd_),
        port(port_),
        destination(LoopbackAddress(ports.destIp, ports.destPort, ipv6)),
        impairer(impairments, seed) {}
  ~Link() {
    if (fd >= 0) close(fd);
  }
  int fd;
  int sendFd = -1;  // where forwarded datagrams leave from; -1: fd
  uint16_t port;
  SocketAddress destination;
  LinkImpairer impairer;
  uint64_t sendErrors = 0;
};

LossyRelay::LossyRelay(Impairments impairments, bool ipv6)
    : impairments_(impairments), ipv6_(ipv6) {
  Validate(impairments_);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) throw std::runtime_error(std::string("relay: eventfd: ") + std::strerror(errno));
}

LossyRelay::~LossyRelay() {
  Stop();
  links_.clear();
  if (wakeFd_ >= 0) close(wakeFd_);
}

namespace {
void CheckDestination(const LinkPorts& ports) {
  if ((ports.destIp >> 24) != 127) {
    throw std::invalid_argument("relay: destination " + DottedIp(ports.destIp) +
                                " is not a loopback address");
  }
  if (ports.destPort == 0) throw std::invalid_argument("relay: destination port 0");
}
}  // namespace

void LossyRelay::AddBoundLink(int fd, uint16_t port, const LinkPorts& ports) {
  links_.push_back(std::make_unique<Link>(fd, port, ports, impairments_,
                                          LinkSeed(impairments_.seed, links_.size()), ipv6_));
}

size_t LossyRelay::AddLink(const LinkPorts& ports) {
  if (thread_.joinable()) throw std::logic_error("relay: links are added before Start()");
  CheckDestination(ports);
  int error = 0;
  int fd = BindUdp(ports.listenPort, &error, ipv6_);
  if (fd < 0) {
    throw std::runtime_error(std::string("relay: cannot bind ") + LoopbackName(ipv6_) + ":" +
                             std::to_string(ports.listenPort) + ": " + std::strerror(error));
  }
  AddBoundLink(fd, BoundPort(fd), ports);
  return links_.size() - 1;
}

uint16_t LossyRelay::AddLinkPair(uint16_t listenBase, uint16_t destBase, uint32_t destIp) {
  if (thread_.joinable()) throw std::logic_error("relay: links are added before Start()");
  if (destBase == 65535) throw std::invalid_argument("relay: destination port 65535 has no pair");
  LinkPorts data{listenBase, destBase, destIp};
  LinkPorts control{0, static_cast<uint16_t>(destBase + 1), destIp};
  CheckDestination(data);
  FdPair pair = BindPair(listenBase, ipv6_);
  AddBoundLink(pair.data, pair.base, data);
  AddBoundLink(pair.control, static_cast<uint16_t>(pair.base + 1), control);
  return pair.base;
}

void LossyRelay::ReplyThrough(size_t one, size_t other) {
  if (thread_.joinable()) throw std::logic_error("relay: links are paired before Start()");
  if (one >= links_.size() || other >= links_.size()) throw std::out_of_range("relay: no link");
  links_[one]->sendFd = links_[other]->fd;
  links_[other]->sendFd = links_[one]->fd;
}

void LossyRelay::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LossyRelay::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
  thread_.join();
}

uint16_t LossyRelay::ListenPort(size_t link) const {
  return link < links_.size() ? links_[link]->port : 0;
}

LinkCounters LossyRelay::Counters(size_t link) const {
  std::lock_guard lock(mutex_);
  if (link >= links_.size()) return {};
  LinkCounters counters = links_[link]->impairer.Counts();
  counters.sendErrors = links_[link]->sendErrors;
  counters.forwarded -= counters.sendErrors;
  return counters;
}

LinkCounters LossyRelay::Totals() const {
  LinkCounters total;
  for (size_t i = 0; i < links_.size(); ++i) total += Counters(i);
  return total;
}

void LossyRelay::Run() {
  std::vector<pollfd> fds;
  for (auto& link : links_) fds.push_back({link->fd, POLLIN, 0});
  fds.push_back({wakeFd_, POLLIN, 0});
  std::vector<uint8_t> buffer(kMaxDatagram);

  while (!stop_.load()) {
    int64_t nextDue = std::numeric_limits<int64_t>::max();
    {
      std::lock_guard lock(mutex_);
      const int64_t now = NowUs();
      for (auto& link : links_) {
        for (auto& bytes : link->impairer.TakeDue(now)) {
          const int from = link->sendFd >= 0 ? link->sendFd : link->fd;
          ssize_t sent = sendto(from, bytes.data(), bytes.size(), 0, link->destination.get(),
                                link->destination.length);
          if (sent != static_cast<ssize_t>(bytes.size())) ++link->sendErrors;
        }
        if (auto due = link->impairer.NextDueUs()) nextDue = std::min(nextDue, *due);
      }
    }

    timespec wait{};
    if (nextDue == std::numeric_limits<int64_t>::max()) {
      wait.tv_sec = 0;
      wait.tv_nsec = kIdleWaitMs * 1000000L;
    } else {
      int64_t us = std::max<int64_t>(0, nextDue - NowUs());
      wait.tv_sec = us / 1000000;
      wait.tv_nsec = (us % 1000000) * 1000;
    }
    int ready = ppoll(fds.data(), fds.size(), &wait, nullptr);
    if (ready <= 0) continue;  // timeout, or a signal: go round and send what is due

    if (fds.back().revents & POLLIN) {
      uint64_t value = 0;
      [[maybe_unused]] ssize_t got = read(wakeFd_, &value, sizeof value);
    }
    for (size_t i = 0; i < links_.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      for (int reads = 0; reads < kMaxReadsPerWake; ++reads) {
        ssize_t got = recv(links_[i]->fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) break;  // drained (EAGAIN), or an ICMP error from the last send
        std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + got);
        std::lock_guard lock(mutex_);
        links_[i]->impairer.Arrive(std::move(bytes), NowUs());
      }
    }
  }
}

PeerPorts JoinPeers(LossyRelay& relay, PeerPorts ports) {
  if (ports.aPort == 0 || ports.bPort == 0) {
    throw std::invalid_argument("relay: both peers' listen ports are needed");
  }
  const size_t first = relay.LinkCount();
  ports.relayA = relay.AddLinkPair(ports.relayA, ports.bPort);
  ports.relayB = relay.AddLinkPair(ports.relayB, ports.aPort);
  // Each peer then hears the other from the very port it sends to, as through a router: a peer
  // that answers where packets come from (RFC 4961) keeps talking to the relay.
  relay.ReplyThrough(first, first + 2);
  relay.ReplyThrough(first + 1, first + 3);
  return ports;
}

uint16_t FindFreePortPair() {
  FdPair pair = BindPair(0, false);
  close(pair.data);
  close(pair.control);
  return pair.base;
}

}  // namespace tandem::relay
