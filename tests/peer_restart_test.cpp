// A peer that stops and starts its session again comes back with a new source, new random
// sequence numbers and new timestamps; the other side must play its notes at once.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "LoopbackPorts.h"
#include "TestTiming.h"
#include "app/Application.h"
#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

using Clock = std::chrono::steady_clock;

using test::WaitFor;

struct Peer {
  Peer(uint16_t listen, uint16_t sendTo, Retransmission mode, uint32_t seed)
      : midi(std::make_shared<MemoryMidiSystem>()) {
    AppConfig config;
    config.midi = midi;
    config.midiOut = PortChoice::Parse("memory-out");
    config.seed = seed;
    app = std::make_unique<Application>(config);
    TFormCtl& form = app->Form();
    form.EditDestIp.SetText("127.0.0.1");
    form.EditPortLocal.SetText(std::to_string(listen));
    form.EditPortDistant.SetText(std::to_string(sendTo));
    form.SetRetransmission(mode);
  }

  TFormCtl& Form() { return app->Form(); }

  // Waits until the session started last runs; false when its set-up failed.
  bool SessionRuns() {
    bool settled = WaitFor(
        [&] {
          std::string status = Form().EditStatutConnect.Text();
          return !app->RtpAlive() || status == "RTP Initialisé" || status == "envoi correct";
        },
        std::chrono::seconds(10));
    return settled && app->RtpAlive();
  }

  // Note messages (on, off) this peer's output has sounded for `key`.
  std::pair<int, int> Sounded(uint8_t key) const {
    int on = 0, off = 0;
    for (const auto& m : midi->Output()->Messages()) {
      if (m.bytes.size() != 3 || m.bytes[1] != key) continue;
      if ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) ++on;
      if ((m.bytes[0] & 0xF0) == 0x80) ++off;
    }
    return {on, off};
  }

  std::shared_ptr<MemoryMidiSystem> midi;
  std::unique_ptr<Application> app;
};

class PeerRestart : public ::testing::TestWithParam<Retransmission> {};

TEST_P(PeerRestart, NotesOfARestartedPeerPlayAtOnce) {
  // Two distinct pairs: the first is free again when the second is looked for.
  const uint16_t aPort = test::FreePortPair();
  const uint16_t bPort = test::FreePortPair();
  ASSERT_TRUE(aPort != 0 && bPort != 0 && aPort != bPort);
  Peer a(aPort, bPort, GetParam(), 1);
  Peer b(bPort, aPort, GetParam(), 2);
  b.Form().ButtonStartRTPClick();
  ASSERT_TRUE(b.SessionRuns()) << b.Form().EditStatutConnect.Text();
  a.Form().ButtonStartRTPClick();
  ASSERT_TRUE(a.SessionRuns()) << a.Form().EditStatutConnect.Text();
  a.Form().ButtonReadMidiClick();
  ASSERT_TRUE(WaitFor([&] { return a.midi->Play({0xB0, 3, 0}); }, std::chrono::seconds(10)));

  // Each new session draws its sequence start at random, so half of the restarts begin below
  // the old numbers; after eight, a table that kept the old stamps would have been caught.
  const uint8_t keys[] = {60, 62, 64, 65, 67};
  const uint8_t heldAcross = 72;  // pressed before a restart, released after it
  for (int round = 1; round <= 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (uint8_t key : keys) ASSERT_TRUE(a.midi->Play({0x90, key, 90}));
    for (uint8_t key : keys) ASSERT_TRUE(a.midi->Play({0x80, key, 64}));
    ASSERT_TRUE(a.midi->Play({0x90, heldAcross, 80}));
    const auto played = Clock::now();
    bool heard = WaitFor(
        [&] {
          for (uint8_t key : keys) {
            if (b.Sounded(key) != std::make_pair(round, round)) return false;
          }
          return b.Sounded(heldAcross).first == round;
        },
        std::chrono::seconds(10));
    ASSERT_TRUE(heard) << "key 60 sounded " << b.Sounded(60).first << " on, "
                       << b.Sounded(60).second << " off";
    // Waiting above is generous for a loaded machine; the notes must still come at once.
    EXPECT_LT(Clock::now() - played, test::Scaled(std::chrono::milliseconds(1000)));

    // Stop and start again at once, as a user clicking twice.
    a.Form().ButtonStartRTPClick();
    a.Form().ButtonStartRTPClick();
    ASSERT_TRUE(a.SessionRuns()) << a.Form().EditStatutConnect.Text();

    ASSERT_TRUE(a.midi->Play({0x80, heldAcross, 64}));
    ASSERT_TRUE(
        WaitFor([&] { return b.Sounded(heldAcross).second == round; }, std::chrono::seconds(10)))
        << "the note held across the restart was not released";
  }
  for (uint8_t key : keys) EXPECT_EQ(b.Form().KeysPlayed[key].load(), 0);
  EXPECT_EQ(b.Form().KeysPlayed[heldAcross].load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, PeerRestart, ::testing::Values(RetransNone, RetransConstant),
                         [](const auto& info) {
                           return info.param == RetransNone ? std::string("None")
                                                            : std::string("ConstantRate");
                         });

}  // namespace
}  // namespace tandem
