// A peer whose JACK server stops and comes back: nothing hangs, the status says what happened,
// and the next "Read MIDI" and "Audition" presses bring MIDI back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "JackHelpers.h"
#include "TestTiming.h"
#include "app/Application.h"
#include "midi/RtMidiSystem.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

TEST(JackRestart, ServerGoneIsSaidAndTheNextPressesReconnect) {
  auto server = std::make_unique<test::PrivateJackServer>();
  std::string why;
  if (!server->Start(why, /*synchronous=*/true)) GTEST_SKIP() << why;
  const std::string client = "tandem-rs" + std::to_string(getpid());
  AppConfig config;
  std::string message;
  config.midi = MakeMidiSystem("jack", client, message);
  ASSERT_EQ(config.midi->Name(), "jack") << message;
  config.midiIn = PortChoice::Parse("virtual");
  config.midiOut = PortChoice::Parse("virtual");
  Application app(config);
  TFormCtl& form = app.Form();
  // What is played comes back through local audition: in, capture, playback, out.
  form.CheckBoxLocalMIDI.SetChecked(true);
  form.ButtonReadMidiClick();

  // Connects a new probe to both of our ports and plays until a note makes the round trip.
  auto roundTrip = [&](test::JackMidiProbe& probe, const char* name) {
    if (!probe.Open(name)) return false;
    if (!WaitFor([&] { return probe.Connect(probe.OutName(), client + ":midi_in"); }, 10s))
      return false;
    if (!probe.Connect(client + ":midi_out", probe.InName())) return false;
    return test::SyncMarker(
        [&](uint8_t i) {
          probe.Send({0x90, i, 100});
        },
        [&](uint8_t i) {
          auto got = probe.Received();
          return std::any_of(got.begin(), got.end(), [&](const auto& m) {
            return m.size() == 3 && (m[0] & 0xF0) == 0x90 && m[1] == i;
          });
        });
  };
  {
    test::JackMidiProbe probe;
    ASSERT_TRUE(roundTrip(probe, "probe-1")) << form.EditMidiStatus.Text();
    server->Stop();
    ASSERT_TRUE(WaitFor(
        [&] {
          return form.EditMidiStatus.Text().find("JACK server went away") != std::string::npos;
        },
        10s))
        << form.EditMidiStatus.Text();
  }
  // Without a server, the presses say why and return.
  form.SetAudition(false);
  EXPECT_TRUE(form.CheckBoxMidiPlay.Checked()) << "a press reopens an output that failed";
  EXPECT_EQ(form.EditMidiStatus.Text(), "MIDI output: no JACK server running");

  server = std::make_unique<test::PrivateJackServer>();
  ASSERT_TRUE(server->Start(why, /*synchronous=*/true)) << why;
  form.ButtonReadMidiClick();
  form.SetAudition(true);
  EXPECT_EQ(form.EditMidiStatus.Text(), "");
  test::JackMidiProbe probe;
  EXPECT_TRUE(roundTrip(probe, "probe-2")) << form.EditMidiStatus.Text();
  app.Shutdown();
}

}  // namespace
}  // namespace tandem
