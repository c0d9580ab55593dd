// A UDP relay for tests on loopback: it sits between two peers and drops, duplicates, reorders
// and delays their datagrams, every decision drawn from a fixed seed so a run can be repeated.
//
// The fate of each datagram is decided by LinkImpairer (relay/LinkImpairer.h), which does no I/O
// and reads no clock; the relay thread only moves bytes between sockets and the impairers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay/LinkImpairer.h"

namespace tandem::relay {

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host byte order

// One direction: listens on a loopback port and forwards to a loopback destination.
struct LinkPorts {
  uint16_t listenPort = 0;  // 0: any free port
  uint16_t destPort = 0;
  uint32_t destIp = kLoopback;  // host byte order; must be in 127.0.0.0/8; ::1 on an IPv6 relay
};

// Groups links and runs them on one thread with poll(2).
class LossyRelay {
 public:
  // An IPv6 relay listens on ::1 and forwards to ::1.
  explicit LossyRelay(Impairments impairments, bool ipv6 = false);
  ~LossyRelay();
  LossyRelay(const LossyRelay&) = delete;
  LossyRelay& operator=(const LossyRelay&) = delete;

  // Binds a link and returns its index. Throws std::invalid_argument for a destination outside
  // loopback and std::runtime_error when the port cannot be bound. Only before Start().
  size_t AddLink(const LinkPorts& ports);
  // Two links for an RTP port pair: listenBase -> destBase and listenBase+1 -> destBase+1.
  // With listenBase 0 a free even pair is chosen. Returns the listen base.
  uint16_t AddLinkPair(uint16_t listenBase, uint16_t destBase, uint32_t destIp = kLoopback);

  // Links `one` and `other` carry the two directions between the same peers: each forwards from
  // the other's socket, so a peer hears its partner from the port it sends to. Before Start().
  void ReplyThrough(size_t one, size_t other);

  void Start();
  // Stops the thread; datagrams still waiting are discarded. Idempotent.
  void Stop();

  uint16_t ListenPort(size_t link) const;
  size_t LinkCount() const { return links_.size(); }
  LinkCounters Counters(size_t link) const;
  LinkCounters Totals() const;

 private:
  struct Link;
  void Run();
  void AddBoundLink(int fd, uint16_t port, const LinkPorts& ports);

  Impairments impairments_;
  bool ipv6_;
  std::vector<std::unique_ptr<Link>> links_;
  mutable std::mutex mutex_;  // guards the impairers and counters against Counters()
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Ports of two peers joined through a relay: A listens on aPort (data) and aPort+1 (control) and
// sends to relayA; B likewise with bPort and relayB.
struct PeerPorts {
  uint16_t aPort = 0;
  uint16_t bPort = 0;
  uint16_t relayA = 0;  // where A sends; forwarded to B
  uint16_t relayB = 0;  // where B sends; forwarded to A
};

// Adds the four links between two peers. Relay ports given as 0 are chosen free; the ports
// actually used are returned.
PeerPorts JoinPeers(LossyRelay& relay, PeerPorts ports);

// An even port P with P and P+1 both free on loopback at the moment of the call.
uint16_t FindFreePortPair();

}  // namespace tandem::relay
