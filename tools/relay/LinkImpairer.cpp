#include "relay/LinkImpairer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace tandem::relay {

void Validate(const Impairments& impairments) {
  auto rate = [](double value, const char* name) {
    if (!(value >= 0.0 && value <= 1.0)) {
      throw std::invalid_argument(std::string("relay: ") + name + " must lie between 0 and 1");
    }
  };
  auto millis = [](int value, const char* name) {
    if (value < 0 || value > 60000) {
      throw std::invalid_argument(std::string("relay: ") + name +
                                  " must lie between 0 and 60000 ms");
    }
  };
  rate(impairments.loss, "loss");
  rate(impairments.duplicate, "duplicate rate");
  rate(impairments.reorder, "reorder rate");
  millis(impairments.delayMs, "delay");
  millis(impairments.jitterMs, "jitter");
  millis(impairments.holdMs, "hold time");
}

LinkCounters& LinkCounters::operator+=(const LinkCounters& other) {
  received += other.received;
  forwarded += other.forwarded;
  dropped += other.dropped;
  duplicated += other.duplicated;
  reordered += other.reordered;
  overflow += other.overflow;
  sendErrors += other.sendErrors;
  return *this;
}

uint64_t SeededRandom::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double SeededRandom::Unit() {
  return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

uint64_t LinkSeed(uint64_t seed, size_t link) {
  SeededRandom mix(seed ^ (0xD1B54A32D192ED03ull * (link + 1)));
  return mix.Next();
}

LinkImpairer::LinkImpairer(const Impairments& impairments, uint64_t streamSeed)
    : impairments_(impairments), random_(streamSeed) {
  Validate(impairments_);
}

int64_t LinkImpairer::JitterUs(double unit) const {
  if (impairments_.jitterMs <= 0) return 0;
  return static_cast<int64_t>(unit * (impairments_.jitterMs * 1000.0 + 1.0));
}

void LinkImpairer::Schedule(std::vector<uint8_t> bytes, int64_t dueUs) {
  if (schedule_.size() >= kMaxPending) {
    ++counts_.overflow;
    return;
  }
  schedule_.emplace(std::make_pair(dueUs, order_++), std::move(bytes));
}

void LinkImpairer::ReleaseHeld(int64_t dueUs) {
  Held held = std::move(*held_);
  held_.reset();
  Schedule(held.bytes, dueUs);
  if (held.duplicate) Schedule(std::move(held.bytes), dueUs);
}

void LinkImpairer::Arrive(std::vector<uint8_t> bytes, int64_t nowUs) {
  const int64_t delayUs = impairments_.delayMs * int64_t{1000};
  const int64_t holdUs = impairments_.holdMs * int64_t{1000};
  if (held_ && nowUs >= held_->arrivedUs + holdUs) {
    ReleaseHeld(held_->arrivedUs + holdUs + delayUs + held_->jitterUs);
  }
  ++counts_.received;
  // Always five draws, so the n-th datagram's fate does not depend on what befell the others.
  const double lossDraw = random_.Unit();
  const double duplicateDraw = random_.Unit();
  const double reorderDraw = random_.Unit();
  const int64_t jitterUs = JitterUs(random_.Unit());
  const int64_t copyJitterUs = JitterUs(random_.Unit());

  if (lossDraw < impairments_.loss) {
    ++counts_.dropped;
    if (held_) ReleaseHeld(nowUs + delayUs + held_->jitterUs);
    return;
  }
  const bool duplicate = duplicateDraw < impairments_.duplicate;
  if (duplicate) ++counts_.duplicated;
  if (reorderDraw < impairments_.reorder) {
    ++counts_.reordered;
    // Only one datagram waits at a time: the one held before leaves now, this one takes its place.
    if (held_) ReleaseHeld(nowUs + delayUs + held_->jitterUs);
    held_ = Held{std::move(bytes), nowUs, jitterUs, duplicate};
    return;
  }
  const int64_t dueUs = nowUs + delayUs + jitterUs;
  if (duplicate) Schedule(bytes, nowUs + delayUs + copyJitterUs);
  Schedule(std::move(bytes), dueUs);
  // The held datagram goes out right behind this one.
  if (held_) ReleaseHeld(std::max(dueUs, nowUs + delayUs + held_->jitterUs));
}

std::vector<std::vector<uint8_t>> LinkImpairer::TakeDue(int64_t nowUs) {
  const int64_t holdUs = impairments_.holdMs * int64_t{1000};
  if (held_ && nowUs >= held_->arrivedUs + holdUs) {
    ReleaseHeld(held_->arrivedUs + holdUs + impairments_.delayMs * int64_t{1000} + held_->jitterUs);
  }
  std::vector<std::vector<uint8_t>> due;
  while (!schedule_.empty() && schedule_.begin()->first.first <= nowUs) {
    due.push_back(std::move(schedule_.begin()->second));
    schedule_.erase(schedule_.begin());
  }
  counts_.forwarded += due.size();
  return due;
}

std::optional<int64_t> LinkImpairer::NextDueUs() const {
  std::optional<int64_t> next;
  if (!schedule_.empty()) next = schedule_.begin()->first.first;
  if (held_) {
    int64_t release = held_->arrivedUs + impairments_.holdMs * int64_t{1000};
    if (!next || release < *next) next = release;
  }
  return next;
}

}  // namespace tandem::relay
