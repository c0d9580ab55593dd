// The fate of each datagram on one direction of the relay: dropped, duplicated, held back or
// delayed, every decision drawn from a fixed seed. No I/O, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace tandem::relay {

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

}  // namespace tandem::relay
