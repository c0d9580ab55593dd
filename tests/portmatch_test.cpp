#include "midi/PortMatch.h"

#include <gtest/gtest.h>

namespace tandem {
namespace {

const std::vector<std::string> kAlsaSources = {
    "Midi Through:Midi Through Port-0 14:0",
    "tandem-out:midi_out 129:0",
    "USB Keyboard:USB Keyboard MIDI 1 20:0",
    "Synth:Synth input 128:0",
};

PortPick Pick(const std::vector<std::string>& ports, const std::string& text,
              PortDirection d = PortDirection::Input) {
  return ChoosePort(ports, PortChoice::Parse(text), d, "tandem");
}

TEST(PortMatch, ThroughAndOwnPortsAreRecognised) {
  EXPECT_TRUE(IsThroughPort("Midi Through:Midi Through Port-0 14:0"));
  EXPECT_TRUE(IsThroughPort("a2j:Midi Through [14] (capture): Midi Through Port-0"));
  EXPECT_FALSE(IsThroughPort("USB Keyboard:USB Keyboard MIDI 1 20:0"));

  EXPECT_TRUE(IsOwnPort("tandem-in:midi_in", "tandem"));
  EXPECT_TRUE(IsOwnPort("tandem-out:midi_out 129:0", "tandem"));
  EXPECT_TRUE(IsOwnPort("tandem-in-01:midi_in", "tandem"));  // JACK's rename of a second one
  // JACK: one client for both ports, or its rename; another peer's client is not ours.
  EXPECT_TRUE(IsOwnPort("tandem:midi_in", "tandem"));
  EXPECT_TRUE(IsOwnPort("tandem-01:midi_out", "tandem"));
  EXPECT_FALSE(IsOwnPort("tandem-b:midi_out", "tandem"));
  EXPECT_FALSE(IsOwnPort("tandem-:midi_out", "tandem"));
  EXPECT_FALSE(IsOwnPort("tandemx:midi_out", "tandem"));
  EXPECT_FALSE(IsOwnPort("tandem-input-device:x", "tandem"));
  EXPECT_FALSE(IsOwnPort("tandem-b-out:midi_out", "tandem"));
  EXPECT_TRUE(IsOwnPort("tandem-b-out:midi_out", "tandem-b"));
}

TEST(PortMatch, DefaultIsTheFirstRealDevice) {
  auto in = Pick(kAlsaSources, "");
  ASSERT_EQ(in.kind, PortPick::Kind::Port);
  EXPECT_EQ(in.index, 2u);

  auto out = Pick(kAlsaSources, "", PortDirection::Output);
  ASSERT_EQ(out.kind, PortPick::Kind::Port);
  EXPECT_EQ(out.index, 2u);

  const std::vector<std::string> nothing = {"Midi Through:Midi Through Port-0 14:0",
                                            "tandem-out:midi_out 129:0"};
  auto none = Pick(nothing, "");
  EXPECT_EQ(none.kind, PortPick::Kind::Error);
  EXPECT_EQ(none.error, "no input port found");
  EXPECT_EQ(Pick(nothing, "", PortDirection::Output).kind, PortPick::Kind::Virtual);
  EXPECT_EQ(Pick({}, "", PortDirection::Output).kind, PortPick::Kind::Virtual);
}

TEST(PortMatch, NamedBySubstringOrIndex) {
  EXPECT_EQ(Pick(kAlsaSources, "Synth").index, 3u);
  EXPECT_EQ(Pick(kAlsaSources, "usb keyboard").index, 2u);  // any case when nothing matches exactly
  EXPECT_EQ(Pick(kAlsaSources, "20:0").index, 2u);
  EXPECT_EQ(Pick(kAlsaSources, "0").index, 0u);  // an index may name even a through port
  EXPECT_EQ(Pick(kAlsaSources, "3").index, 3u);
  EXPECT_EQ(Pick(kAlsaSources, "Through").index, 0u);
  // A full name, as the window's chooser passes it, picks that port, not an earlier one that
  // holds it inside its own name.
  EXPECT_EQ(Pick({"Synth B:out 2", "Synth B:out"}, "Synth B:out").index, 1u);

  auto own = Pick(kAlsaSources, "midi_out");  // our own port is never matched by name
  EXPECT_EQ(own.kind, PortPick::Kind::Error);
  EXPECT_EQ(own.error.rfind("no input port matches 'midi_out' (ports: 0: Midi Through", 0), 0u)
      << own.error;

  auto far = Pick(kAlsaSources, "4", PortDirection::Output);
  EXPECT_EQ(far.kind, PortPick::Kind::Error);
  EXPECT_EQ(far.error.rfind("no output port number 4", 0), 0u);
  EXPECT_EQ(Pick({}, "99999999999999").kind, PortPick::Kind::Error);
  EXPECT_EQ(Pick({}, "x").error, "no input port matches 'x' (ports: none)");
}

TEST(PortMatch, VirtualNoneAndSynth) {
  EXPECT_EQ(Pick(kAlsaSources, "virtual").kind, PortPick::Kind::Virtual);
  auto none = Pick(kAlsaSources, "none", PortDirection::Output);
  EXPECT_EQ(none.kind, PortPick::Kind::Error);
  EXPECT_EQ(none.error, "no MIDI output chosen");
  EXPECT_EQ(Pick(kAlsaSources, "synth", PortDirection::Output).kind, PortPick::Kind::Error);
}

}  // namespace
}  // namespace tandem
