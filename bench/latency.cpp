// Capture-to-output delay between two peers on loopback: notes played into A's input at random
// moments, timed until they leave B's output, for a reception buffer of 0 and of 50 ms. Beside
// them, a bare UDP round trip on the same loopback, and the step of the millisecond clock (which
// times the displays; the due tests wait on the microsecond clock).
//
// usage: latency [--events N] [--seed N]
#include <poll.h>

#include <cstdlib>
#include <random>

#include "TwoPeers.h"
#include "model/StatusTimer.h"
#include "send/Fonctionutile.h"

namespace tandem::bench {
namespace {

std::vector<double> UdpRoundTrips(int count) {
  const int a = test::BoundSocket(0), b = test::BoundSocket(0);
  if (a < 0 || b < 0) throw std::runtime_error("no loopback socket");
  auto to = [](int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(test::PortOf(fd));
    return addr;
  };
  const sockaddr_in toA = to(a), toB = to(b);
  auto receive = [](int fd, uint8_t* buffer) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 1000) == 1 && ::recv(fd, buffer, 64, 0) > 0;
  };
  std::vector<double> rtts;
  uint8_t packet[64] = {0x80, 77};
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    ::sendto(a, packet, 16, 0, reinterpret_cast<const sockaddr*>(&toB), sizeof toB);
    if (!receive(b, packet)) continue;
    ::sendto(b, packet, 16, 0, reinterpret_cast<const sockaddr*>(&toA), sizeof toA);
    if (!receive(a, packet)) continue;
    rtts.push_back(Ms(Clock::now() - start));
  }
  ::close(a);
  ::close(b);
  return rtts;
}

int32_t ClockStep() {
  int32_t first = ClockMs();
  while (ClockMs() == first) std::this_thread::yield();
  int32_t second = ClockMs();
  while (ClockMs() == second) std::this_thread::yield();
  return ClockMs() - second;
}

void Run(int32_t buffer, int events, uint32_t seed, const std::string& passphrase = "") {
  TwoPeers peers(buffer, passphrase);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> gap(5, 40), key(36, 96);
  std::vector<std::vector<uint8_t>> played;
  std::vector<Clock::time_point> at;
  int note = 60;
  for (int i = 0; i < events; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gap(rng)));
    if (i % 2 == 0) note = key(rng);
    std::vector<uint8_t> message = {static_cast<uint8_t>(i % 2 == 0 ? 0x90 : 0x80),
                                    static_cast<uint8_t>(note),
                                    static_cast<uint8_t>(i % 2 ? 64 : 90)};
    at.push_back(Clock::now());
    if (!peers.Play(message)) throw std::runtime_error("A's input closed");
    played.push_back(message);
  }
  WaitUntil([&] { return peers.Output().Count() >= played.size(); }, std::chrono::seconds(3));
  auto out = peers.Output().Messages();
  std::vector<double> delays;
  size_t wrong = 0;
  for (size_t i = 0; i < std::min(out.size(), played.size()); ++i) {
    if (out[i].bytes != played[i]) {
      ++wrong;
      continue;
    }
    delays.push_back(Ms(out[i].when - at[i]));
  }
  std::printf("buffer %2d ms%s: %s  (%zu of %zu events out, %zu not as played)\n", buffer,
              passphrase.empty() ? "" : ", SRTP", Summary(delays).c_str(), out.size(),
              played.size(), wrong);
  // What the RTCP reports said of the same run, as the window's Link line shows it.
  std::printf("              link at A: %s\n", LinkLine(peers.A().Link()).c_str());
}

}  // namespace
}  // namespace tandem::bench

int main(int argc, char** argv) {
  int events = 600;
  uint32_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--events")
      events = std::max(2, std::atoi(argv[i + 1]));
    else if (option == "--seed")
      seed = static_cast<uint32_t>(std::atoi(argv[i + 1]));
  }
  using namespace tandem::bench;
  try {
    std::printf("load average %.2f; %d events per run at random gaps of 5 to 40 ms\n",
                LoadAverage(), events);
    std::printf(
        "clock step   : %d ms (ClockMs, for the displays; waits are timed in microseconds)\n",
        tandem::bench::ClockStep());
    std::printf("UDP round trip: %s\n", Summary(UdpRoundTrips(2000)).c_str());
    Run(0, events, seed);
    Run(50, events, seed + 1);
    // The same road protected with a passphrase, for the cost of SRTP on the way.
    Run(0, events, seed, "latency bench");
    std::printf("UDP round trip: %s  (again, after)\n", Summary(UdpRoundTrips(2000)).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "latency: %s\n", e.what());
    return 1;
  }
  return 0;
}
