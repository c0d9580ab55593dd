// Ten-note chords played into A's input every 250 ms: how far apart the first and the last note
// of each chord leave B's output, and how long the first one took. Reception buffer 0. Each chord
// comes up to 9 ms late, so the chords meet the 10 ms clock step at every point of it.
//
// usage: chord [--chords N]
#include <cstdlib>
#include <random>

#include "TwoPeers.h"

int main(int argc, char** argv) {
  using namespace tandem::bench;
  int chords = 40;
  if (argc == 3 && std::string(argv[1]) == "--chords") chords = std::max(1, std::atoi(argv[2]));
  constexpr int kNotes = 10;
  try {
    std::printf("load average %.2f; %d chords of %d notes, 250 ms apart\n", LoadAverage(), chords,
                kNotes);
    TwoPeers peers(0);
    std::vector<Clock::time_point> struck;
    std::mt19937 rng(7);
    auto next = Clock::now();
    for (int c = 0; c < chords; ++c) {
      std::this_thread::sleep_until(next + std::chrono::microseconds(rng() % 10000));
      struck.push_back(Clock::now());
      for (int n = 0; n < kNotes; ++n) peers.Play({0x90, static_cast<uint8_t>(48 + 3 * n), 90});
      std::this_thread::sleep_until(next + std::chrono::milliseconds(125));
      for (int n = 0; n < kNotes; ++n) peers.Play({0x80, static_cast<uint8_t>(48 + 3 * n), 64});
      next += std::chrono::milliseconds(250);
    }
    const size_t expected = static_cast<size_t>(chords) * kNotes * 2;
    WaitUntil([&] { return peers.Output().Count() >= expected; }, std::chrono::seconds(3));
    auto out = peers.Output().Messages();
    std::vector<double> spreads, firsts;
    int broken = 0;
    for (int c = 0; c < chords; ++c) {
      const size_t at = static_cast<size_t>(c) * kNotes * 2;
      if (at + kNotes > out.size()) break;
      bool whole = true;
      for (int n = 0; n < kNotes; ++n) {
        const auto& m = out[at + static_cast<size_t>(n)].bytes;
        whole = whole && m.size() == 3 && m[0] == 0x90 && m[1] == 48 + 3 * n;
      }
      if (!whole) {
        ++broken;
        continue;
      }
      spreads.push_back(Ms(out[at + kNotes - 1].when - out[at].when));
      firsts.push_back(Ms(out[at].when - struck[static_cast<size_t>(c)]));
    }
    std::printf("spread, first to last note: %s\n", Summary(spreads).c_str());
    std::printf("delay of the first note   : %s\n", Summary(firsts).c_str());
    std::printf("%zu of %zu messages out; %d chords not as played\n", out.size(), expected, broken);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "chord: %s\n", e.what());
    return 1;
  }
  return 0;
}
