// Two peers in one process on loopback, each with an in-memory MIDI system: what is played into
// A's input comes out of B's output. Shared by the benchmarks that time the whole road.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPorts.h"
#include "app/Application.h"
#include "midi/MemoryMidi.h"

namespace tandem::bench {

using Clock = std::chrono::steady_clock;

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The value below which `fraction` of the sorted samples lie (nearest rank).
inline double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  auto rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

inline std::string Summary(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return "no samples";
  char line[160];
  std::snprintf(line, sizeof line, "min %6.2f  p50 %6.2f  p95 %6.2f  p99 %6.2f  max %6.2f ms",
                samples.front(), Percentile(samples, 0.50), Percentile(samples, 0.95),
                Percentile(samples, 0.99), samples.back());
  return line;
}

// Starts `app`'s session over `protocol` to 127.0.0.1:`sendTo`, listening on `listen`, and waits
// until its thread is up. An RTP-MIDI session goes on to invite `sendTo` at once (each of two
// peers with the other's address invites it, as two players do); AwaitRtpMidiSessions waits for
// the session itself.
inline void StartSession(Application& app, uint16_t listen, uint16_t sendTo,
                         Protocol protocol = ProtocolTandem) {
  TFormCtl& form = app.Form();
  form.EditDestIp.SetText("127.0.0.1");
  form.EditPortLocal.SetText(std::to_string(listen));
  form.EditPortDistant.SetText(std::to_string(sendTo));
  form.SetProtocol(protocol);
  form.ButtonStartRTPClick();
  bool up = WaitUntil(
      [&] {
        const std::string s = form.EditStatutConnect.Text();
        return !app.RtpAlive() || s == "RTP Initialisé" || s == "envoi correct" ||
               s.rfind("inviting", 0) == 0 || s.rfind("connected", 0) == 0;
      },
      std::chrono::seconds(10));
  if (!up || !app.RtpAlive())
    throw std::runtime_error("session set-up failed: " + form.EditStatutConnect.Text());
}

// Waits until each RTP-MIDI session is connected and knows its partner's clock (the inviter's
// first clock sync); the syncs that follow at 0.5 and 1 s are the caller's warm-up to cover.
inline void AwaitRtpMidiSessions(std::initializer_list<Application*> apps) {
  for (Application* app : apps) {
    TFormCtl& form = app->Form();
    if (!WaitUntil(
            [&] {
              return form.EditStatutConnect.Text().rfind("connected", 0) == 0 &&
                     form.Link().haveRtt;
            },
            std::chrono::seconds(15)))
      throw std::runtime_error("no RTP-MIDI session: " + form.EditStatutConnect.Text());
  }
}

class TwoPeers {
 public:
  // `buffer` is A's local buffer, announced to B, which holds A's events that long. With a
  // passphrase, both protect the session with it.
  explicit TwoPeers(int32_t buffer = 0, const std::string& passphrase = "")
      : midiA_(std::make_shared<MemoryMidiSystem>()), midiB_(std::make_shared<MemoryMidiSystem>()) {
    AppConfig configA, configB;
    configA.midi = midiA_;
    configB.midi = midiB_;
    configA.midiOut = configB.midiOut = PortChoice::Parse("memory-out");
    a_ = std::make_unique<Application>(configA);
    b_ = std::make_unique<Application>(configB);
    const uint16_t portA = test::FreePortPair();
    const uint16_t portB = test::FreePortPair();
    if (portA == 0 || portB == 0) throw std::runtime_error("no free port pair on loopback");
    A().EditPassphrase.SetText(passphrase);
    B().EditPassphrase.SetText(passphrase);
    A().EditBufferLocal.SetText(std::to_string(buffer));
    A().ButtonSetLocalBufferClick();
    StartSession(*a_, portA, portB);
    StartSession(*b_, portB, portA);
    A().ButtonReadMidiClick();
    // A controller that means nothing, played until the capture has its input open.
    if (!WaitUntil([&] { return midiA_->Play({0xB0, 3, 0}); }, std::chrono::seconds(10)))
      throw std::runtime_error("A's capture did not open its input");
    // B holds A's events by the buffer A announces about twice a second.
    if (!WaitUntil([&] { return B().ReceptionBuffer.load() == buffer; }, std::chrono::seconds(5)))
      throw std::runtime_error("B did not learn A's buffer");
    WaitUntil([&] { return Output().Count() > 0; }, std::chrono::seconds(2));
    Output().Clear();
  }
  ~TwoPeers() {
    a_->Shutdown();
    b_->Shutdown();
  }

  TFormCtl& A() { return a_->Form(); }
  TFormCtl& B() { return b_->Form(); }
  // Plays one message into A's input, as a keyboard would.
  bool Play(const std::vector<uint8_t>& bytes) { return midiA_->Play(bytes); }
  MidiRecorder& Output() { return *midiB_->Output(); }

 private:
  std::shared_ptr<MemoryMidiSystem> midiA_, midiB_;
  std::unique_ptr<Application> a_, b_;
};

// The machine's load average over the last minute, for the record of each run.
inline double LoadAverage() {
  double load = -1;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1;
    std::fclose(f);
  }
  return load;
}

}  // namespace tandem::bench
