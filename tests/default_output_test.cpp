// The program's output when the user picked none: the built-in synthesizer, which needs no MIDI
// system. Two programs in this process carry a performance to the synthesizer of one of them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPorts.h"
#include "ScratchDir.h"
#include "TestTiming.h"
#include "WavFile.h"
#include "app/Application.h"
#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::WaitFor;

class DefaultOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef TANDEM_HAVE_FLUIDSYNTH
    GTEST_SKIP() << "built without FluidSynth";
#endif
    scratch_ = std::make_unique<test::ScratchDir>("tandem-output");
    dir_ = scratch_->Path();
  }
  std::unique_ptr<test::ScratchDir> scratch_;
  fs::path dir_;
};

TEST_F(DefaultOutputTest, EachChoiceOpensItsOwnOutput) {
  auto midi = std::make_shared<MemoryMidiSystem>();
  AppConfig config;
  config.midi = midi;
  config.synth.renderPath = (dir_ / "out.wav").string();
  Application app(config);
  TFormCtl& form = app.Form();
  // Nothing picked: the synthesizer, not the MIDI system's first port.
  ASSERT_TRUE(form.MidiOutHandle.IsOpen()) << form.EditMidiStatus.Text();
  EXPECT_TRUE(form.MidiOutHandle.ShortMsg(0x503C90));
  EXPECT_EQ(midi->Output()->Count(), 0u);

  // A new choice waits for the next "Audition" change.
  app.SetPorts({}, PortChoice::Parse("memory-out"));
  EXPECT_TRUE(form.MidiOutHandle.ShortMsg(0x003C80));
  EXPECT_EQ(midi->Output()->Count(), 0u);
  form.SetAudition(false);
  form.SetAudition(true);
  EXPECT_TRUE(form.MidiOutHandle.ShortMsg(0x503C90));
  EXPECT_EQ(midi->Output()->Count(), 1u);

  app.SetPorts({}, PortChoice::Parse("none"));
  form.SetAudition(false);
  form.SetAudition(true);
  EXPECT_FALSE(form.MidiOutHandle.IsOpen());

  // The synthesizer's own words reach the status line, without a second prefix.
  app.SetPorts({}, PortChoice::Parse("synth"));
  form.SetAudition(false);
  form.SetAudition(true);
  EXPECT_TRUE(form.MidiOutHandle.IsOpen());
  EXPECT_EQ(form.EditMidiStatus.Text(), "");
}

TEST_F(DefaultOutputTest, WithoutAMidiSystemTheSynthesizerSaysWhyItCannotOpen) {
  AppConfig config;  // no MIDI system
  config.synth.renderPath = (dir_ / "missing-dir" / "out.wav").string();
  Application app(config);
  EXPECT_FALSE(app.Form().MidiOutHandle.IsOpen());
  EXPECT_EQ(app.Form().EditMidiStatus.Text().rfind("built-in synthesizer: cannot write", 0), 0u)
      << app.Form().EditMidiStatus.Text();
}

// A plays a chord from its MIDI input; B, without any MIDI system, sounds it on its synthesizer
// into a WAV file, which must sound while the keys are down and be silent once they are up.
TEST_F(DefaultOutputTest, APeersPerformanceSoundsOnTheSynthesizerAndEnds) {
  uint16_t portA = test::FreePortPair(), portB = test::FreePortPair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  const std::string wav = (dir_ / "b.wav").string();

  auto midiA = std::make_shared<MemoryMidiSystem>();
  AppConfig configA;
  configA.midi = midiA;
  configA.midiOut = PortChoice::Parse("none");
  AppConfig configB;
  configB.synth.renderPath = wav;
  Application a(configA), b(configB);
  ASSERT_TRUE(b.Form().MidiOutHandle.IsOpen()) << b.Form().EditMidiStatus.Text();

  auto connect = [](Application& app, uint16_t listen, uint16_t send) {
    TFormCtl& form = app.Form();
    form.EditDestIp.SetText("127.0.0.1");
    form.EditPortLocal.SetText(std::to_string(listen));
    form.EditPortDistant.SetText(std::to_string(send));
    form.ButtonStartRTPClick();
  };
  connect(b, portB, portA);
  connect(a, portA, portB);
  for (Application* app : {&a, &b}) {
    ASSERT_TRUE(WaitFor([&] {
      std::string status = app->Form().EditStatutConnect.Text();
      return status == "RTP Initialisé" || status == "envoi correct";
    })) << app->Form().EditStatutConnect.Text();
  }
  a.Form().ButtonReadMidiClick();
  ASSERT_TRUE(WaitFor([&] { return midiA->Play({0xB0, 64, 0}); }));  // capture is open

  const std::vector<uint8_t> chord = {60, 64, 67};
  for (uint8_t k : chord) midiA->Play({0x90, k, 100});
  ASSERT_TRUE(WaitFor([&] { return b.Form().KeysPlayed[67].load() != 0; }));
  std::this_thread::sleep_for(600ms);
  for (uint8_t k : chord) midiA->Play({0x80, k, 0});
  ASSERT_TRUE(WaitFor([&] {
    for (uint8_t k : chord)
      if (b.Form().KeysPlayed[k].load() != 0) return false;
    return true;
  }));
  // Long enough for the release and the reverb to die away, well before the end.
  std::this_thread::sleep_for(1800ms);
  a.Shutdown();
  b.Shutdown();  // closes the synthesizer, which completes the file

  test::WavSound sound = test::ReadWavSound(wav);
  ASSERT_GT(sound.rate, 0) << wav;
  double onset = sound.Onset();
  ASSERT_GE(onset, 0.0) << "nothing sounded";
  EXPECT_GT(sound.Rms(onset + 0.05, onset + 0.5), test::kSounding);
  EXPECT_GT(sound.Seconds(), onset + 2.0);
  EXPECT_LT(sound.Rms(sound.Seconds() - 0.4, sound.Seconds()), test::kSilent)
      << "the note-offs must end the chord";
}

}  // namespace
}  // namespace tandem
