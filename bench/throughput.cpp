// The highest sustained event rate from A's input to B's output, for a controller sweep: each
// rate runs for a few seconds, and it is carried when every event comes out, in order, and the
// delay does not grow (the queues on the way stay short).
//
// usage: throughput [--seconds N]
#include <cstdlib>

#include "TwoPeers.h"

namespace tandem::bench {
namespace {

struct Result {
  size_t played = 0, out = 0, wrong = 0;
  size_t maxQueued = 0;  // A's outgoing and send queues plus B's reception queue, at most
  double firstDelay = 0, lastDelay = 0;  // mean delay of the first and the last tenth, ms
  bool Carried() const {
    return wrong == 0 && out == played && lastDelay < firstDelay + 20 && lastDelay < 50;
  }
};

Result Run(int rate, int seconds) {
  TwoPeers peers(0);
  Result r;
  std::vector<Clock::time_point> at;
  const auto total = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
  at.reserve(total);
  const auto start = Clock::now();
  auto value = [](size_t i) {  // up and down the controller's range
    const size_t phase = i % 254;
    return static_cast<uint8_t>(phase < 127 ? phase : 254 - phase);
  };
  while (r.played < total) {
    const double elapsed = Ms(Clock::now() - start) / 1000.0;
    const auto due = std::min(total, static_cast<size_t>(elapsed * rate) + 1);
    for (; r.played < due; ++r.played) {
      at.push_back(Clock::now());
      if (!peers.Play({0xB0, 1, value(r.played)})) throw std::runtime_error("A's input closed");
    }
    r.maxQueued =
        std::max<size_t>(r.maxQueued, static_cast<size_t>(peers.A().OutgoingQueue.Count() +
                                                          peers.A().SendQueue.Count() +
                                                          peers.B().ReceiveQueue.Count()));
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  WaitUntil([&] { return peers.Output().Count() >= total; }, std::chrono::seconds(5));
  auto out = peers.Output().Messages();
  r.out = out.size();
  std::vector<double> delays;
  for (size_t i = 0; i < std::min(out.size(), total); ++i) {
    const auto& m = out[i].bytes;
    if (m.size() != 3 || m[0] != 0xB0 || m[1] != 1 || m[2] != value(i)) ++r.wrong;
    delays.push_back(Ms(out[i].when - at[i]));
  }
  const size_t tenth = std::max<size_t>(1, delays.size() / 10);
  if (delays.size() >= tenth) {
    double first = 0, last = 0;
    for (size_t i = 0; i < tenth; ++i) {
      first += delays[i];
      last += delays[delays.size() - 1 - i];
    }
    r.firstDelay = first / static_cast<double>(tenth);
    r.lastDelay = last / static_cast<double>(tenth);
  }
  return r;
}

}  // namespace
}  // namespace tandem::bench

int main(int argc, char** argv) {
  using namespace tandem::bench;
  int seconds = 3;
  if (argc == 3 && std::string(argv[1]) == "--seconds") seconds = std::max(1, std::atoi(argv[2]));
  try {
    std::printf("load average %.2f; controller sweep, %d s per rate\n", LoadAverage(), seconds);
    std::printf("%8s %9s %9s %7s %10s %13s %13s\n", "events/s", "played", "out", "wrong",
                "max queued", "delay first", "delay last");
    int best = 0;
    for (int rate : {1000, 2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000}) {
      Result r = Run(rate, seconds);
      std::printf("%8d %9zu %9zu %7zu %10zu %10.2f ms %10.2f ms  %s\n", rate, r.played, r.out,
                  r.wrong, r.maxQueued, r.firstDelay, r.lastDelay,
                  r.Carried() ? "carried" : "NOT carried");
      std::fflush(stdout);
      if (!r.Carried()) break;
      best = rate;
    }
    std::printf("highest rate carried: %d events/s\n", best);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "throughput: %s\n", e.what());
    return 1;
  }
  return 0;
}
