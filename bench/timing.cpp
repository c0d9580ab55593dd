// The rhythm from A's input to B's output: a metronomic stream of note-ons and note-offs, 24
// events a second, played into A (in-memory MIDI), carried through the UDP relay with the given
// delay and jitter, and timed as B's in-memory output receives each message. For each case:
// latency p1, p50 and p99, the spread p99 - p1, and the inter-onset error (the gap between two
// events at B minus the same gap at A) at p1 and p99.
//
// usage: timing [--events N] [--warmup N] [--seed N] [--case NAME] [--jack FRAMES[,FRAMES...]]
//               [--protocol tandem|rtpmidi]
//   cases: clean-0, clean-50, jitter-30, jitter-30-steady (all by default)
//   --jack: the same cases through a private JACK dummy server with that period, frame-exact at
//   both ends, beside a reference client that waits exactly the buffer (see TimingJack.h).
//   --protocol rtpmidi: both peers speak RTP-MIDI. It announces no buffer, so B holds A's events
//   by its own buffer, set to the case's; the relay carries its control and data ports alike.
#include <cstdlib>
#include <map>
#include <optional>

#include "TimingJack.h"
#include "TwoPeers.h"
#include "relay/LossyRelay.h"

namespace tandem::bench {
namespace {

struct Case {
  const char* name;
  const char* label;
  int32_t buffer;  // A's local buffer, announced to B (RTP-MIDI: B's own, and A's alike)
  bool relay;      // through the relay, else straight over loopback
  int delayMs;     // the relay's fixed delay
  int jitterMs;    // plus 0 to this much on every datagram
  bool steady;     // B plays by A's timestamps
};

constexpr Case kCases[] = {
    {"clean-0", "clean, buffer 0", 0, false, 0, 0, false},
    {"clean-50", "clean, buffer 50", 50, false, 0, 0, false},
    {"jitter-30", "20 +/- 5 ms, buffer 30", 30, true, 15, 10, false},
    {"jitter-30-steady", "20 +/- 5 ms, buffer 30, Steady", 30, true, 15, 10, true},
};

struct Peer {
  std::shared_ptr<MemoryMidiSystem> midi = std::make_shared<MemoryMidiSystem>();
  std::unique_ptr<Application> app;
  TFormCtl& Form() { return app->Form(); }
};

std::string Figures(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  char line[96];
  std::snprintf(line, sizeof line, "%7.2f %7.2f %7.2f", Percentile(v, 0.01), Percentile(v, 0.50),
                Percentile(v, 0.99));
  return line;
}

// Sets the buffer and B's playout for the case, starts both sessions over `protocol` (through the
// relay when the case has one, in `link`) and opens A's capture.
void Connect(const Case& c, Protocol protocol, uint64_t seed, Peer& a, Peer& b,
             std::optional<relay::LossyRelay>& link) {
  const uint16_t portA = test::FreePortPair(), portB = test::FreePortPair();
  if (portA == 0 || portB == 0) throw std::runtime_error("no free port pair on loopback");
  uint16_t toB = portB, toA = portA;
  if (c.relay) {
    relay::Impairments impairments;
    impairments.delayMs = c.delayMs;
    impairments.jitterMs = c.jitterMs;
    impairments.seed = seed;
    link.emplace(impairments);
    relay::PeerPorts ports = relay::JoinPeers(*link, {portA, portB, 0, 0});
    toB = ports.relayA;
    toA = ports.relayB;
    link->Start();
  }
  // On our wire A announces its buffer. RTP-MIDI announces none: B plays A's events by its own
  // buffer, and A's, the same, holds its captured events as it does on our wire.
  for (Peer* p : {&a, &b}) {
    if (p == &b && protocol != ProtocolRtpMidi) continue;
    p->Form().EditBufferLocal.SetText(std::to_string(c.buffer));
    p->Form().ButtonSetLocalBufferClick();
  }
  b.Form().CheckBoxSteady.SetChecked(c.steady);
  StartSession(*b.app, portB, toA, protocol);
  StartSession(*a.app, portA, toB, protocol);
  if (protocol == ProtocolRtpMidi) AwaitRtpMidiSessions({a.app.get(), b.app.get()});
  a.Form().ButtonReadMidiClick();
}

// Once B holds A's events by the case's buffer: on our wire when A's announcement came, on
// RTP-MIDI at once (its own buffer).
void AwaitBuffer(const Case& c, Peer& b) {
  if (!WaitUntil([&] { return b.Form().ReceptionBuffer.load() == c.buffer; },
                 std::chrono::seconds(5)))
    throw std::runtime_error("B did not learn A's buffer");
}

// The wire as the tables name it.
const char* WireName(Protocol protocol) {
  return protocol == ProtocolRtpMidi ? "rtp-midi" : "tandem";
}

void Run(const Case& c, Protocol protocol, int events, int warmup, uint64_t seed) {
  Peer a, b;
  for (Peer* p : {&a, &b}) {
    AppConfig config;
    config.midi = p->midi;
    config.midiOut = PortChoice::Parse("memory-out");
    p->app = std::make_unique<Application>(config);
  }
  std::optional<relay::LossyRelay> link;
  Connect(c, protocol, seed, a, b, link);
  // A controller that means nothing, played until the capture has its input open.
  if (!WaitUntil([&] { return a.midi->Play({0xB0, 3, 0}); }, std::chrono::seconds(10)))
    throw std::runtime_error("A's capture did not open its input");
  AwaitBuffer(c, b);
  WaitUntil([&] { return b.midi->Output()->Count() > 0; }, std::chrono::seconds(2));
  b.midi->Output()->Clear();

  // A metronome: 24 events a second, note-on and note-off by turns, on keys that move so every
  // message is told from its neighbours.
  const int total = warmup + events;
  std::vector<std::vector<uint8_t>> played;
  std::vector<Clock::time_point> at;
  const auto period = std::chrono::nanoseconds(1'000'000'000 / 24);
  const auto start = Clock::now() + std::chrono::milliseconds(50);
  for (int i = 0; i < total; ++i) {
    std::this_thread::sleep_until(start + i * period);
    const auto key = static_cast<uint8_t>(48 + (i / 2) % 36);
    std::vector<uint8_t> message = {static_cast<uint8_t>(i % 2 == 0 ? 0x90 : 0x80), key,
                                    static_cast<uint8_t>(i % 2 == 0 ? 90 : 64)};
    at.push_back(Clock::now());
    if (!a.midi->Play(message)) throw std::runtime_error("A's input closed");
    played.push_back(message);
  }
  WaitUntil([&] { return b.midi->Output()->Count() >= played.size(); }, std::chrono::seconds(3));
  const auto out = b.midi->Output()->Messages();

  std::vector<double> latency, interOnset;
  size_t wrong = 0;
  const size_t n = std::min(out.size(), played.size());
  for (size_t i = static_cast<size_t>(warmup); i < n; ++i) {
    if (out[i].bytes != played[i]) {
      ++wrong;
      continue;
    }
    latency.push_back(Ms(out[i].when - at[i]));
    if (i > static_cast<size_t>(warmup) && out[i - 1].bytes == played[i - 1]) {
      interOnset.push_back(Ms((out[i].when - out[i - 1].when) - (at[i] - at[i - 1])));
    }
  }
  std::vector<double> sorted = latency;
  std::sort(sorted.begin(), sorted.end());
  std::sort(interOnset.begin(), interOnset.end());
  std::printf("%-32s %s %7.2f   %6.2f %6.2f  %4s  %zu/%d%s\n", c.label, Figures(latency).c_str(),
              Percentile(sorted, 0.99) - Percentile(sorted, 0.01), Percentile(interOnset, 0.01),
              Percentile(interOnset, 0.99), b.Form().EditNbrLate.Text().c_str(),
              n > static_cast<size_t>(warmup) ? n - static_cast<size_t>(warmup) : 0, events,
              wrong ? (", " + std::to_string(wrong) + " not as played").c_str() : "");
  std::fflush(stdout);

  a.app->Shutdown();
  b.app->Shutdown();
  if (link) link->Stop();
}

// The same case through JACK: A's input and B's output are ports of a private dummy server.
void RunJack(const Case& c, Protocol protocol, int events, int warmup, uint64_t seed,
             jack_nframes_t period) {
  JackBench bench;
  if (!bench.Open(int64_t{c.buffer} * 1000)) throw std::runtime_error("cannot open JACK clients");
  Peer a, b;
  const std::string names[2] = {"tandem-ta", "tandem-tb"};
  int n = 0;
  for (Peer* p : {&a, &b}) {
    AppConfig config;
    std::string message;
    config.midi = MakeMidiSystem("jack", names[n++], message);
    if (config.midi->Name() != "jack") throw std::runtime_error(message);
    config.midiIn = PortChoice::Parse("virtual");
    config.midiOut = PortChoice::Parse("virtual");
    p->app = std::make_unique<Application>(config);
  }
  std::optional<relay::LossyRelay> link;
  Connect(c, protocol, seed, a, b, link);
  if (!WaitUntil([&] { return bench.Connect("timing-player:out", "tandem-ta:midi_in"); },
                 std::chrono::seconds(10)) ||
      !bench.Connect("tandem-tb:midi_out", "timing-player:tandem"))
    throw std::runtime_error("cannot connect the peers' ports");
  AwaitBuffer(c, b);

  // 24 events a second, each at a frame anywhere in its period; every message told apart by its
  // key and velocity.
  const jack_nframes_t rate = bench.Rate();
  const int total = warmup + events;
  std::vector<FrameLog::Entry> script;
  const jack_nframes_t start = bench.Now() + rate / 2;
  for (int i = 0; i < total; ++i) {
    const auto key = static_cast<uint8_t>(48 + (i / 2 / 120) % 36);
    const auto velocity = static_cast<uint8_t>(1 + (i / 2) % 120);
    script.push_back({start + static_cast<jack_nframes_t>(i) * (rate / 24) +
                          static_cast<jack_nframes_t>(i * 97) % period,
                      {static_cast<uint8_t>(i % 2 == 0 ? 0x90 : 0x80), key, velocity}});
  }
  bench.Play(script);
  WaitUntil([&] { return bench.Played(); }, std::chrono::seconds(total / 24 + 10));
  WaitUntil(
      [&] {
        return bench.tandem.count.load() >= script.size() &&
               bench.reference.count.load() >= script.size();
      },
      std::chrono::seconds(3));
  bench.Stop();

  size_t missingT = 0, missingR = 0;
  const auto ours = Latencies(bench.tandem, script, static_cast<size_t>(warmup), rate, missingT);
  const auto ref = Latencies(bench.reference, script, static_cast<size_t>(warmup), rate, missingR);
  auto spread = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return Percentile(v, 0.90) - Percentile(v, 0.10);
  };
  std::printf("%-32s %-9s %s  %zu/%d\n", c.label, WireName(protocol), CentralFigures(ours).c_str(),
              ours.size(), events);
  std::printf("%-32s reference %s  beyond %+.2f  late %s\n", "", CentralFigures(ref).c_str(),
              spread(ours) - spread(ref), b.Form().EditNbrLate.Text().c_str());
  std::fflush(stdout);
  a.app->Shutdown();
  b.app->Shutdown();
  if (link) link->Stop();
}

}  // namespace
}  // namespace tandem::bench

int main(int argc, char** argv) {
  int events = 480;
  int warmup = 72;
  uint64_t seed = 1;
  std::string only;
  tandem::Protocol protocol = tandem::ProtocolTandem;
  std::vector<std::string> jackPeriods;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--events") {
      events = std::max(2, std::atoi(argv[i + 1]));
    } else if (option == "--warmup") {
      warmup = std::max(0, std::atoi(argv[i + 1]));
    } else if (option == "--seed") {
      seed = static_cast<uint64_t>(std::atoll(argv[i + 1]));
    } else if (option == "--case") {
      only = argv[i + 1];
    } else if (option == "--protocol" &&
               (std::string(argv[i + 1]) == "tandem" || std::string(argv[i + 1]) == "rtpmidi")) {
      protocol =
          std::string(argv[i + 1]) == "rtpmidi" ? tandem::ProtocolRtpMidi : tandem::ProtocolTandem;
    } else if (option == "--jack") {
      std::string list = argv[i + 1];
      for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        jackPeriods.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
    } else {
      std::fprintf(stderr,
                   "usage: timing [--events N] [--warmup N] [--seed N] [--case NAME] "
                   "[--jack FRAMES[,FRAMES...]] [--protocol tandem|rtpmidi]\n");
      return 2;
    }
  }
  using namespace tandem::bench;
  // Our own wire's tables stay as they were; the other wire says so in the heading.
  const char* over = protocol == tandem::ProtocolRtpMidi ? "; over RTP-MIDI" : "";
  try {
    for (const std::string& period : jackPeriods) {
      tandem::test::PrivateJackServer server;
      std::string why;
      // Synchronous: an asynchronous dummy server drops or repeats MIDI between clients when a
      // cycle runs late on a busy machine, the reference's as well as ours. Real-time, as a
      // server on a sound card runs: otherwise its cycles run late and its frames wander
      // milliseconds off real time, which the figures would measure instead.
      if (!server.Start(why, /*synchronous=*/true, period.c_str(), /*realtime=*/true))
        throw std::runtime_error(why);
      std::printf(
          "JACK dummy server (real-time, synchronous), 48000 Hz, %s frames a period; load average "
          "%.2f; 24 events/s, %d "
          "measured after %d of warm-up; latency in ms from the frame played into A to the frame "
          "out of B%s\n%-32s %-9s %6s %6s %6s %6s %6s  %5s\n",
          period.c_str(), LoadAverage(), events, warmup, over, "case", "", "p1", "p10", "p50",
          "p90", "p99", "p10-90");
      for (const Case& c : kCases) {
        if (only.empty() || only == c.name)
          RunJack(c, protocol, events, warmup, seed,
                  static_cast<jack_nframes_t>(std::stoul(period)));
      }
    }
    if (!jackPeriods.empty()) return 0;
    std::printf(
        "load average %.2f; 24 events/s, %d measured after %d of warm-up; times in ms%s\n"
        "%-32s %7s %7s %7s %7s   %6s %6s  %4s  %s\n",
        LoadAverage(), events, warmup, over, "case", "p1", "p50", "p99", "spread", "ioe1", "ioe99",
        "late", "out");
    for (const Case& c : kCases) {
      if (only.empty() || only == c.name) Run(c, protocol, events, warmup, seed);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "timing: %s\n", e.what());
    return 1;
  }
  return 0;
}
