// Plays a long random performance from one peer to another through a lossy relay, for every link
// condition and retransmission choice, and prints how many notes were left hanging, missed or
// added at the receiving peer's MIDI output.
//
// usage: stuck_notes [--notes N] [--rate NOTES_PER_S] [--quiet-ms MS] [--parallel N]
//                    [--seed N] [--relay-seed N] [--family 4|6] [--protocol tandem|rtpmidi]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "relay/StuckNotes.h"

namespace {

long Number(const char* option, const char* text, long min, long max) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > max) {
    std::fprintf(stderr, "stuck_notes: %s wants a whole number from %ld to %ld\n", option, min,
                 max);
    std::exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  tandem::stuck::TableOptions options;
  options.performance.notes = 1500;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h" || i + 1 >= argc) {
      std::fprintf(stderr,
                   "usage: stuck_notes [--notes N] [--rate NOTES_PER_S] [--quiet-ms MS] "
                   "[--parallel N] [--seed N] [--relay-seed N] [--family 4|6] [--protocol "
                   "tandem|rtpmidi]\n");
      return option == "--help" || option == "-h" ? 0 : 2;
    }
    const char* value = argv[++i];
    if (option == "--notes") {
      options.performance.notes = static_cast<size_t>(Number("--notes", value, 1, 100000));
    } else if (option == "--rate") {
      options.performance.notesPerSecond = static_cast<double>(Number("--rate", value, 1, 50));
    } else if (option == "--quiet-ms") {
      options.quietMs = static_cast<int>(Number("--quiet-ms", value, 0, 60000));
    } else if (option == "--parallel") {
      options.parallel = static_cast<int>(Number("--parallel", value, 1, 16));
    } else if (option == "--seed") {
      options.performance.seed = static_cast<uint64_t>(Number("--seed", value, 0, 1L << 62));
    } else if (option == "--relay-seed") {
      options.relaySeed = static_cast<uint64_t>(Number("--relay-seed", value, 0, 1L << 62));
    } else if (option == "--protocol") {
      if (std::string(value) != "tandem" && std::string(value) != "rtpmidi") {
        std::fprintf(stderr, "stuck_notes: --protocol wants tandem or rtpmidi\n");
        return 2;
      }
      options.protocol =
          std::string(value) == "rtpmidi" ? tandem::ProtocolRtpMidi : tandem::ProtocolTandem;
    } else if (option == "--family") {
      options.ipv6 = Number("--family", value, 4, 6) == 6;
    } else {
      std::fprintf(stderr, "stuck_notes: unknown option %s\n", option.c_str());
      return 2;
    }
  }

  std::printf(
      "%zu notes (%zu events) at %.0f notes/s, performance seed %llu, relay seed %llu, "
      "delay %d ms + up to %d ms, %d ms of quiet, %d cases at once, over %s\n",
      options.performance.notes, options.performance.notes * 2, options.performance.notesPerSecond,
      static_cast<unsigned long long>(options.performance.seed),
      static_cast<unsigned long long>(options.relaySeed), options.delayMs, options.jitterMs,
      options.quietMs, options.parallel, options.ipv6 ? "::1" : "127.0.0.1");
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  try {
    auto rows = tandem::stuck::RunTable(options);
    std::fputs(tandem::stuck::FormatTable(rows).c_str(), stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stuck_notes: %s\n", e.what());
    return 1;
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  std::printf("(%lld s)\n", static_cast<long long>(seconds.count()));
  return 0;
}
