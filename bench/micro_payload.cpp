// Encode and decode of each packet kind.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <chrono>
#include <cstring>

#include "LoopbackPorts.h"
#include "net/Dtls.h"
#include "platform/FrameClock.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSession.h"
#include "net/Srtp.h"
#include "transport/Payload.h"

namespace tandem {
namespace {

struct Kind {
  int32_t kind;
  bool noTransm;
};

EventRecord RecordOf(int32_t kind) {
  EventRecord r;
  r.kind = kind;
  r.status = 144;
  r.note = 60;
  r.velocity = 90;
  r.bufferMs = 120;
  std::strcpy(r.text.data(), "a line of chat");
  return r;
}

// 0: PacketMidi, 1: PacketMidiKeys, 2: PacketKeys, 3: PacketChat, 4: PacketBuffer.
const Kind kKinds[] = {{EventMidi, true},
                       {EventMidi, false},
                       {EventKeyRefresh, false},
                       {EventChat, false},
                       {EventBuffer, false}};

void EncodePayload(benchmark::State& state) {
  const Kind k = kKinds[state.range(0)];
  EventRecord r = RecordOf(k.kind);
  SentKeyTable keys{};
  for (int i = 0; i < 128; i += 5) keys[static_cast<size_t>(i)] = {true, 1000};
  int32_t now = 100000;
  for (auto _ : state) {
    r.status = (now & 16) ? 128 : 144;  // the key changes on every other event
    auto p = tandem::Encode(r, keys, k.noTransm, now += 10);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(EncodePayload)->DenseRange(0, 4)->ArgName("kind");

void DecodePayload(benchmark::State& state) {
  const Kind k = kKinds[state.range(0)];
  SentKeyTable keys{};
  auto p = tandem::Encode(RecordOf(k.kind), keys, k.noTransm, 100000);
  int32_t now = 100000;
  uint32_t sequence = 0;
  for (auto _ : state) {
    Decoded d = tandem::Decode(p->payloadType, p->Bytes(), 5000, ++sequence, 0x1234, now += 10);
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(DecodePayload)->DenseRange(0, 4)->ArgName("kind");

// One packet of a protected session, both ends: the sender seals it, the partner opens it.
void SrtpProtectAndUnprotect(benchmark::State& state) {
  const Kind k = kKinds[state.range(0)];
  SentKeyTable keys{};
  auto p = tandem::Encode(RecordOf(k.kind), keys, k.noTransm, 100000);
  const rtp::SrtpKey key = rtp::DeriveSrtpKey("bench", 1);
  rtp::SrtpContext sender(key, 0xA1), receiver(key, 0xB2);
  std::vector<uint8_t> packet;
  uint16_t sequence = 0;
  for (auto _ : state) {
    packet.clear();
    rtp::BuildRtp({false, p->payloadType, ++sequence, 5000, 0xA1}, p->Bytes(), packet);
    if (!sender.ProtectRtp(packet) || !receiver.UnprotectRtp(packet)) {
      state.SkipWithError("refused");
      break;
    }
    benchmark::DoNotOptimize(packet.data());
  }
}
BENCHMARK(SrtpProtectAndUnprotect)->DenseRange(0, 4)->ArgName("kind");

// The sender's half alone; the partner's half is the difference from the one above.
void SrtpProtect(benchmark::State& state) {
  const Kind k = kKinds[state.range(0)];
  SentKeyTable keys{};
  auto p = tandem::Encode(RecordOf(k.kind), keys, k.noTransm, 100000);
  rtp::SrtpContext sender(rtp::DeriveSrtpKey("bench", 1), 0xA1);
  std::vector<uint8_t> packet;
  uint16_t sequence = 0;
  for (auto _ : state) {
    packet.clear();
    rtp::BuildRtp({false, p->payloadType, ++sequence, 5000, 0xA1}, p->Bytes(), packet);
    if (!sender.ProtectRtp(packet)) {
      state.SkipWithError("refused");
      break;
    }
    benchmark::DoNotOptimize(packet.data());
  }
}
BENCHMARK(SrtpProtect)->DenseRange(0, 4)->ArgName("kind");

// The key derivation a session start pays once with a passphrase.
void SrtpKeyFromPassphrase(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rtp::DeriveSrtpKey("correct horse battery"));
}
BENCHMARK(SrtpKeyFromPassphrase)->Unit(benchmark::kMillisecond)->Iterations(10);

net::DtlsConfig BenchPsk() {
  const rtp::SrtpKey key = rtp::DeriveSrtpKey("bench", 1);
  return {std::vector<uint8_t>(key.begin(), key.end()), nullptr, {}};
}

// The handshake a protected session start pays beyond the key derivation: two sessions in
// memory, both starting at once (so the crossed ClientHellos settle the roles first).
void DtlsHandshakeInMemory(benchmark::State& state) {
  const net::DtlsConfig config = BenchPsk();
  for (auto _ : state) {
    net::DtlsSession a(config), b(config);
    a.Start(0);
    b.Start(0);
    for (int round = 0; round < 20 && !(a.Connected() && b.Connected()); ++round) {
      for (auto& d : a.TakeOutgoing()) b.OnDatagram(d, 0);
      for (auto& d : b.TakeOutgoing()) a.OnDatagram(d, 0);
    }
    if (!a.Connected() || !b.Connected()) state.SkipWithError("no handshake");
  }
}
BENCHMARK(DtlsHandshakeInMemory)->Unit(benchmark::kMillisecond);

// The same over loopback sockets, from EnableDtls until both sessions are keyed.
void DtlsHandshakeLoopback(benchmark::State& state) {
  const net::DtlsConfig config = BenchPsk();
  for (auto _ : state) {
    rtp::RtpSession a, b;
    const uint16_t pa = test::FreePortPair(), pb = test::FreePortPair();
    if (a.Create(pa) != rtp::kOk || b.Create(pb) != rtp::kOk) {
      state.SkipWithError("no port");
      return;
    }
    a.AddDestination(0x7F000001, pb);
    b.AddDestination(0x7F000001, pa);
    a.EnableDtls(config);
    b.EnableDtls(config);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(a.Security().keyed && b.Security().keyed) &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd fds[] = {{a.DataFd(), POLLIN, 0}, {b.DataFd(), POLLIN, 0}};
      ::poll(fds, 2, 1);
      a.Poll();
      b.Poll();
    }
    if (!a.Security().keyed || !b.Security().keyed) state.SkipWithError("no handshake");
  }
}
BENCHMARK(DtlsHandshakeLoopback)->Unit(benchmark::kMillisecond)->Iterations(50);

// What a JACK port's process callback spends each period keeping its map of frames to our clock,
// with a full window (128 frames at 48 kHz: 187 cycles).
void FrameClockCycle(benchmark::State& state) {
  FrameClock clock;
  uint32_t frame = 0;
  int64_t us = 1'000'000;
  for (auto _ : state) {
    clock.Cycle(frame, us + (frame / 128) % 7 * 50, 48000, 128);
    frame += 128;
    us += 2667;
    benchmark::DoNotOptimize(clock);
  }
}
BENCHMARK(FrameClockCycle);

}  // namespace
}  // namespace tandem

BENCHMARK_MAIN();
