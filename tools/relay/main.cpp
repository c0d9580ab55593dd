// tandem-relay: a lossy link between two peers on this machine, for trying the program by hand.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "relay/RelayOptions.h"

using namespace tandem::relay;

namespace {

void PrintCounters(const LossyRelay& relay, const PeerPorts& ports) {
  // Links 0 and 1 carry A's data and control towards B, links 2 and 3 B's towards A.
  LinkCounters aToB = relay.Counters(0);
  aToB += relay.Counters(1);
  LinkCounters bToA = relay.Counters(2);
  bToA += relay.Counters(3);
  std::printf("A->B (%u -> %u): %s\n", ports.relayA, ports.bPort, FormatCounters(aToB).c_str());
  std::printf("B->A (%u -> %u): %s\n", ports.relayB, ports.aPort, FormatCounters(bToA).c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  RelayOptions options;
  try {
    options = ParseRelayOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tandem-relay: %s\n%s", e.what(), RelayUsage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(RelayUsage().c_str(), stdout);
    return 0;
  }

  // Block the stop signals before the relay thread exists, so only sigtimedwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    LossyRelay relay(options.impairments, options.ipv6);
    PeerPorts ports = JoinPeers(relay, options.ports);
    relay.Start();
    const char* host = options.ipv6 ? "[::1]" : "127.0.0.1";
    std::printf("tandem-relay: A sends to %s:%u, B sends to %s:%u; Ctrl-C stops\n", host,
                ports.relayA, host, ports.relayB);
    std::fflush(stdout);
    for (;;) {
      int signal = 0;
      if (options.statsMs > 0) {
        timespec wait{options.statsMs / 1000, (options.statsMs % 1000) * 1000000L};
        signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal < 0) {
          PrintCounters(relay, ports);
          continue;
        }
      } else {
        sigwait(&stopSignals, &signal);
      }
      break;
    }
    relay.Stop();
    PrintCounters(relay, ports);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tandem-relay: %s\n", e.what());
    return 1;
  }
  return 0;
}
