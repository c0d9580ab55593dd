#include <gtest/gtest.h>

#include <fstream>

#include "ScratchDir.h"
#include "headless/Options.h"

namespace tandem {
namespace {

std::optional<HeadlessOptions> Parse(std::vector<std::string> args, std::string* why = nullptr) {
  std::string error;
  auto o = ParseOptions(args, error);
  if (why) *why = error;
  return o;
}

TEST(HeadlessOptions, EveryOptionReachesTheModel) {
  auto o = Parse({"--headless",
                  "--listen-port",
                  "3000",
                  "--send-port=2000",
                  "--dest",
                  "10.0.0.2",
                  "--retransmission",
                  "variable",
                  "--base",
                  "7",
                  "--mult",
                  "3",
                  "--buffer",
                  "-5",
                  "--gen",
                  "2",
                  "--gen-interval",
                  "10",
                  "--seed",
                  "42",
                  "--midi-api",
                  "none",
                  "--midi-in",
                  "virtual",
                  "--midi-out",
                  "synth",
                  "--client-name",
                  "peer",
                  "--transpose",
                  "-12",
                  "--channel",
                  "off",
                  "--local-channel",
                  "5",
                  "--volume",
                  "50",
                  "--verbose"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->generators, 2);
  EXPECT_EQ(o->generatorIntervalMs, 10);
  EXPECT_EQ(o->seed, 42u);
  EXPECT_EQ(o->midiApi, "none");
  EXPECT_EQ(o->midiIn, "virtual");
  EXPECT_EQ(o->midiOut, "synth");
  EXPECT_EQ(o->clientName, "peer");
  EXPECT_TRUE(o->verbose);
  EXPECT_FALSE(o->noRtp);

  TFormCtl form;
  form.SetAutomateLocalBuffer(false);
  ApplyOptions(*o, form);
  EXPECT_EQ(form.EditPortLocal.Text(), "3000");
  EXPECT_EQ(form.EditPortDistant.Text(), "2000");
  EXPECT_EQ(form.EditDestIp.Text(), "10.0.0.2");
  EXPECT_TRUE(form.RadioButtonVariable.Checked());
  EXPECT_EQ(form.EditBaseValue.Text(), "7");
  EXPECT_EQ(form.EditMulValue.Text(), "3");
  EXPECT_EQ(form.LocalBuffer.load(), -5);
  EXPECT_TRUE(form.CheckBoxTransposeOut.Checked());
  EXPECT_EQ(form.EditTransposeOut.Text(), "-12");
  EXPECT_FALSE(form.CheckBoxMidiCanalOut.Checked());
  EXPECT_TRUE(form.CheckBoxLocalMIDI.Checked());
  EXPECT_EQ(form.EditLocalCanal.Text(), "5");
  EXPECT_EQ(form.TrackBarVolume.Position(), 50);
}

TEST(HeadlessOptions, DefaultsLeaveTheModelAsItStarts) {
  auto o = Parse({});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->midiApi, "auto");
  EXPECT_EQ(o->clientName, "tandem");
  TFormCtl form;
  ApplyOptions(*o, form);
  EXPECT_EQ(form.EditPortLocal.Text(), "2000");
  EXPECT_TRUE(form.RadioButtonNoTransm.Checked());
  EXPECT_TRUE(form.CheckBoxMidiCanalOut.Checked());
  EXPECT_FALSE(form.CheckBoxAutomateLocalBuffer.Checked());
  EXPECT_FALSE(form.CheckBoxSteady.Checked());

  auto flags = Parse(
      {"--auto-buffer", "--no-rtp", "--channel", "16", "--retransmission=in-msg", "--steady"});
  ASSERT_TRUE(flags);
  ApplyOptions(*flags, form);
  EXPECT_TRUE(flags->noRtp);
  EXPECT_TRUE(form.CheckBoxAutomateLocalBuffer.Checked());
  EXPECT_FALSE(form.ButtonSetLocalBuffer.Enabled());
  EXPECT_EQ(form.EditMidiCanalOut.Text(), "16");
  EXPECT_TRUE(form.RadioButtonInMsg.Checked());
  EXPECT_TRUE(form.CheckBoxSteady.Checked());

  // RTP-MIDI without --dest only listens for invitations.
  EXPECT_TRUE(form.RadioButtonTandem.Checked());
  auto rtpMidi = Parse({"--protocol", "rtpmidi", "--session-name", "Duo"});
  ASSERT_TRUE(rtpMidi);
  ApplyOptions(*rtpMidi, form);
  EXPECT_TRUE(form.RadioButtonRtpMidi.Checked());
  EXPECT_EQ(form.EditSessionName.Text(), "Duo");
  EXPECT_EQ(form.EditDestIp.Text(), "");
}

TEST(HeadlessOptions, SettingsFileIsReadOnlyWhenNamedAndOptionsOverrideIt) {
  test::ScratchDir dir("tandem-settings");
  const std::string path = (dir.Path() / "Tandem.conf").string();
  // As the window writes it, with a value quoted and escaped, beside lines it cannot use.
  std::ofstream(path) << "[General]\nnot a line\n[buffer]\nauto=true\nlocal=30\n"
                         "[midi]\ninput=\"Keys \\x00e9\"\noutput=synth\n"
                         "[reception]\nchannel=12\nchannelOn=false\ntranspose=oops\n"
                         "[retransmission]\nbase=9\nmode=constant\n"
                         "[rtp]\ndest=host.example\nlistenPort=2100\nsendPort=99999\n"
                         "steady=true\n";
  auto o = Parse({"--settings", path, "--listen-port", "2200"});
  ASSERT_TRUE(o);
  std::string error;
  ASSERT_TRUE(ReadSettings(*o, error)) << error;
  EXPECT_EQ(o->midiIn, "Keys \u00e9");  // the remembered port, as it was named
  EXPECT_EQ(o->midiOut, "synth");
  TFormCtl form;
  auto refused = ApplyOptions(*o, form);
  EXPECT_EQ(refused, (std::vector<std::string>{"rtp/sendPort", "reception/transpose"}));
  EXPECT_EQ(form.EditDestIp.Text(), "host.example");
  EXPECT_EQ(form.EditPortLocal.Text(), "2200");    // the option wins
  EXPECT_EQ(form.EditPortDistant.Text(), "3000");  // unusable: the default stays
  EXPECT_TRUE(form.RadioButtonCst.Checked());
  EXPECT_EQ(form.EditBaseValue.Text(), "9");
  EXPECT_EQ(form.LocalBuffer.load(), 30);
  EXPECT_TRUE(form.CheckBoxAutomateLocalBuffer.Checked());
  EXPECT_FALSE(form.CheckBoxMidiCanalOut.Checked());
  EXPECT_TRUE(form.CheckBoxSteady.Checked());
  EXPECT_EQ(form.EditMidiCanalOut.Text(), "12");
  EXPECT_EQ(form.EditTransposeOut.Text(), "0");

  // A port given on the command line is kept; a file that cannot be read is an error.
  auto given = Parse({"--settings", path, "--midi-in", "none"});
  ASSERT_TRUE(given && ReadSettings(*given, error));
  EXPECT_EQ(given->midiIn, "none");
  auto missing = Parse({"--settings", (dir.Path() / "nothing.conf").string()});
  ASSERT_TRUE(missing);
  EXPECT_FALSE(ReadSettings(*missing, error));
  EXPECT_NE(error.find("nothing.conf"), std::string::npos);
  // Without --settings nothing is read at all.
  auto plain = Parse({});
  ASSERT_TRUE(plain && ReadSettings(*plain, error));
  EXPECT_TRUE(plain->remembered.empty());
}

// The passphrase comes from a file, so no other user sees it in the process list: its first
// line, whatever ends it. An empty one is refused rather than taken for "no protection".
TEST(HeadlessOptions, PassphraseFromAFileAndAcceptAnyReachTheModel) {
  test::ScratchDir dir("tandem-options");
  const std::string crlf = (dir.Path() / "crlf").string();
  const std::string empty = (dir.Path() / "empty").string();
  std::ofstream(crlf) << "two words \r\nsecond line\n";
  std::ofstream(empty) << "\nsecond line\n";
  auto o = Parse({"--passphrase-file", crlf, "--accept-any"});
  ASSERT_TRUE(o);
  TFormCtl form;
  ApplyOptions(*o, form);
  EXPECT_EQ(form.EditPassphrase.Text(), "two words ");
  EXPECT_TRUE(form.CheckBoxAcceptAny.Checked());
  for (const std::string& path : {empty, (dir.Path() / "missing").string()}) {
    std::string why;
    EXPECT_FALSE(Parse({"--passphrase-file", path}, &why));
    EXPECT_NE(why.find("--passphrase-file"), std::string::npos) << why;
    EXPECT_NE(why.find(path), std::string::npos) << why;
  }
}

TEST(HeadlessOptions, BadValuesAreErrorsThatNameTheOption) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"--listen-port", "abc"},
           {"--listen-port", "65536"},
           {"--send-port", "-1"},
           {"--listen-port"},
           {"--retransmission", "sometimes"},
           {"--base", "5ms"},
           {"--mult", ""},
           {"--gen", "-1"},
           {"--gen-interval", "0"},
           {"--seed", "0"},
           {"--midi-api", "oss"},
           {"--midi-in", "synth"},
           {"--channel", "17"},
           {"--local-channel", "0"},
           {"--transpose", "200"},
           {"--volume", "201"},
           {"--dest", ""},
           {"--protocol", "midi"},
           {"--invite", "--protocol", "rtpmidi"},  // invitation codes carry our wire only
           {"--bogus"},
           {"--verbose=yes"},
           {"--demo-seconds", "0"},
           {"--render", "x.wav", "--midi-out", "virtual"},  // only the synthesizer renders
           {"extra"},
       }) {
    std::string why;
    EXPECT_FALSE(Parse(args, &why)) << args[0];
    EXPECT_NE(why.find(args[0].substr(0, args[0].find('='))), std::string::npos) << why;
  }
}

TEST(HeadlessOptions, HelpNamesEveryOption) {
  auto help = HelpText();
  for (const char* name : {"--listen-port",     "--send-port",   "--dest",
                           "--retransmission",  "--base",        "--mult",
                           "--buffer",          "--auto-buffer", "--gen",
                           "--gen-interval",    "--no-rtp",      "--midi-api",
                           "--midi-in",         "--midi-out",    "--client-name",
                           "--transpose",       "--channel",     "--local-channel",
                           "--verbose",         "--seed",        "--help",
                           "--render",          "--demo",        "--demo-seconds",
                           "--passphrase-file", "--accept-any",  "--volume",
                           "--record",          "--settings",    "--protocol",
                           "--session-name"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
  EXPECT_NE(help.find("--steady"), std::string::npos);
  auto o = Parse({"--help"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->help);
}

}  // namespace
}  // namespace tandem
