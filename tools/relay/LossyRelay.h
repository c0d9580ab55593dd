// A UDP relay for tests on loopback: it sits between two peers and drops, duplicates, reorders
// and delays their datagrams, every decision drawn from a fixed seed so a run can be repeated.
//
// The fate of each datagram is decided by LinkImpairer, which does no I/O and reads no clock; the
// relay thread only moves bytes between sockets and the impairers.
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

namespace tandem::relay {

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host byte order

struct Impairments {
  double loss = 0.0;       // probability that a datagram is dropped
  double duplicate = 0.0;  // probability that a datagram that goes through is sent twice
  double reorder = 0.0;    // probability that a datagram is held back behind the next one
  int delayMs = 0;         // fixed one-way delay
  int jitterMs = 0;        // plus a uniform 0..jitterMs on every copy sent
  int holdMs = 20;         // a held-back datagram leaves after this when nothing follows it
  uint64_t seed = 1;
};

// Throws std::invalid_argument naming the first value out of range.
void Validate(const Impairments& impairments);

struct LinkCounters {
  uint64_t received = 0;    // datagrams read from the listen socket
  uint64_t forwarded = 0;   // datagrams sent on, duplicates included
  uint64_t dropped = 0;     // lost on purpose
  uint64_t duplicated = 0;  // datagrams sent twice
  uint64_t reordered = 0;   // datagrams held back behind a later one
  uint64_t overflow = 0;    // dropped because too many were waiting
  uint64_t sendErrors = 0;  // the socket refused a datagram

  LinkCounters& operator+=(const LinkCounters& other);
};

// A small deterministic generator (splitmix64): the same seed gives the same draws on every
// platform, unlike the standard distributions.
class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [0, 1).
  double Unit();

 private:
  uint64_t state_;
};

// The seed of link number `link` of a relay seeded with `seed`: each direction draws its own
// stream, so traffic on one link never shifts the decisions of another.
uint64_t LinkSeed(uint64_t seed, size_t link);

// The fate of every datagram of one direction. Each datagram consumes the same number of draws
// whatever happens to it, so the decisions for the n-th datagram depend only on the seed and n,
// never on timing.
class LinkImpairer {
 public:
  static constexpr size_t kMaxPending = 65536;

  LinkImpairer(const Impairments& impairments, uint64_t streamSeed);

  // A datagram arrived at `nowUs` (microseconds on any monotonic clock).
  void Arrive(std::vector<uint8_t> bytes, int64_t nowUs);
  // The datagrams due at `nowUs`, in the order they are to be sent.
  std::vector<std::vector<uint8_t>> TakeDue(int64_t nowUs);
  // When the next datagram falls due; none when nothing waits.
  std::optional<int64_t> NextDueUs() const;
  size_t Pending() const { return schedule_.size() + (held_ ? 1 : 0); }
  // Decisions so far; `forwarded` counts what TakeDue handed out.
  const LinkCounters& Counts() const { return counts_; }

 private:
  struct Held {
    std::vector<uint8_t> bytes;
    int64_t arrivedUs;
    int64_t jitterUs;
    bool duplicate;
  };
  void Schedule(std::vector<uint8_t> bytes, int64_t dueUs);
  int64_t JitterUs(double unit) const;
  void ReleaseHeld(int64_t dueUs);

  Impairments impairments_;
  SeededRandom random_;
  // Keyed by (due time, arrival order): equal due times leave in the order they were scheduled.
  std::map<std::pair<int64_t, uint64_t>, std::vector<uint8_t>> schedule_;
  uint64_t order_ = 0;
  std::optional<Held> held_;
  LinkCounters counts_;
};

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

// The command line of tandem-relay.
struct RelayOptions {
  PeerPorts ports;
  Impairments impairments;
  int statsMs = 0;    // print the counters this often; 0: only at exit
  bool ipv6 = false;  // on ::1 rather than 127.0.0.1
  bool help = false;
};

// Parses the arguments after the program name. Throws std::invalid_argument with a message for
// the user on an unknown option, a missing or malformed value, or a value out of range.
RelayOptions ParseRelayOptions(const std::vector<std::string>& args);
std::string RelayUsage();
std::string FormatCounters(const LinkCounters& counters);

}  // namespace tandem::relay
