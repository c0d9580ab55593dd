// The MIDI system against a private JACK server: client and port names, port choice, message
// lengths, silence on close, and what happens without any MIDI system.
#include "midi/RtMidiSystem.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "JackHelpers.h"
#include "TestTiming.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using test::WaitFor;

bool AlsaSequencerPresent() {
  return access("/dev/snd/seq", F_OK) == 0;
}

TEST(MidiSystemChoice, WithoutAnySystemTheProgramCarriesOnAndSaysSo) {
  // A server name nobody runs: no JACK; and no server may be started for us.
  setenv("JACK_DEFAULT_SERVER", ("tandem-absent-" + std::to_string(getpid())).c_str(), 1);
  std::string message;
  testing::internal::CaptureStderr();
  auto jack = MakeMidiSystem("jack", "tandem", message);
  std::string noise = testing::internal::GetCapturedStderr();
  EXPECT_EQ(message, "MIDI: no JACK server running; the network side still works");
  EXPECT_EQ(noise, "");
  ASSERT_TRUE(jack);
  EXPECT_EQ(jack->Name(), "none");
  std::string error;
  EXPECT_FALSE(jack->OpenOutput(PortChoice{}, error));
  EXPECT_EQ(error, "no JACK server running");

  if (!AlsaSequencerPresent()) {
    testing::internal::CaptureStderr();
    auto any = MakeMidiSystem("auto", "tandem", message);
    noise = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message,
              "MIDI: no MIDI system (no ALSA sequencer, no JACK server); the network side still "
              "works");
    EXPECT_EQ(noise, "");
    EXPECT_EQ(any->Name(), "none");
    MakeMidiSystem("alsa", "tandem", message);
    EXPECT_EQ(message, "MIDI: no ALSA sequencer; the network side still works");
  }
  EXPECT_STREQ(getenv("JACK_NO_START_SERVER"), "1");

  EXPECT_EQ(MakeMidiSystem("none", "tandem", message)->Name(), "none");
  EXPECT_EQ(MakeMidiSystem("coreaudio", "tandem", message)->Name(), "none");
  EXPECT_NE(message.find("unknown MIDI system 'coreaudio'"), std::string::npos);
}

class JackMidiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::PrivateJackServer;
    if (!server_->Start(skipReason_)) {
      delete server_;
      server_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << skipReason_;
    setenv("JACK_DEFAULT_SERVER", server_->Name().c_str(), 1);
    std::string message;
    midi = MakeMidiSystem("jack", client, message);
    ASSERT_EQ(message, "MIDI: using JACK");
    ASSERT_EQ(midi->Name(), "jack");
    probe = std::make_unique<test::JackMidiProbe>();
    ASSERT_TRUE(probe->Open("probe"));
  }

  // Received messages as the input port's callback saw them.
  struct Inbox {
    std::mutex mutex;
    std::vector<Bytes> messages;
    MidiInCallback Callback() {
      return [this](const uint8_t* b, size_t n, int64_t) {
        std::lock_guard lock(mutex);
        messages.emplace_back(b, b + n);
      };
    }
    std::vector<Bytes> Get() {
      std::lock_guard lock(mutex);
      return messages;
    }
    void Clear() {
      std::lock_guard lock(mutex);
      messages.clear();
    }
  };

  static Bytes Marker(uint8_t i) { return {0xBF, 119, i}; }
  static bool Has(const std::vector<Bytes>& v, uint8_t i) {
    return std::find(v.begin(), v.end(), Marker(i)) != v.end();
  }
  // Waits until markers sent by `send` reach the probe and (when given) the inbox, then forgets
  // everything received so far.
  template <typename Send>
  void Sync(Send send, Inbox* inbox, bool toProbe) {
    ASSERT_TRUE(test::SyncMarker(send, [&](uint8_t i) {
      return (!toProbe || Has(probe->Received(), i)) && (!inbox || Has(inbox->Get(), i));
    }));
    probe->ClearReceived();
    if (inbox) inbox->Clear();
  }
  void SyncFromProbe(Inbox& inbox) {
    Sync([&](uint8_t i) { probe->Send(Marker(i)); }, &inbox, false);
  }

  static test::PrivateJackServer* server_;
  static std::string skipReason_;
  std::string client = "tandem-t" + std::to_string(getpid());
  std::shared_ptr<MidiSystem> midi;
  std::unique_ptr<test::JackMidiProbe> probe;
};

test::PrivateJackServer* JackMidiTest::server_ = nullptr;
std::string JackMidiTest::skipReason_;

TEST_F(JackMidiTest, VirtualPortsCarryMessagesWithTheirLengthAndOrder) {
  std::string error;
  Inbox inbox;
  auto in = midi->OpenInput(PortChoice::Parse("virtual"), inbox.Callback(), error);
  ASSERT_TRUE(in) << error;
  GuardedMidiOut out;
  out.SetFactory([&](std::string& e) { return midi->OpenOutput(PortChoice::Parse("virtual"), e); });
  ASSERT_TRUE(out.Open(&error)) << error;

  // One client holds both ports, so scripts find NAME:midi_in and NAME:midi_out.
  auto ports = probe->MidiPorts(client);
  EXPECT_EQ(ports.size(), 2u);
  EXPECT_NE(std::find(ports.begin(), ports.end(), client + ":midi_in"), ports.end());
  EXPECT_NE(std::find(ports.begin(), ports.end(), client + ":midi_out"), ports.end());

  ASSERT_TRUE(probe->Connect(client + ":midi_out", client + ":midi_in"));
  ASSERT_TRUE(probe->Connect(client + ":midi_out", probe->InName()));
  Sync([&](uint8_t i) { out.ShortMsg(0x0077BFu | uint32_t{i} << 16); }, &inbox, true);

  // Packed words as the playback thread sends them: program change and channel pressure are
  // two bytes long, whatever the third byte of the word holds.
  for (uint32_t word : {0x00643C90u, 0x00004CC1u, 0x00005AD2u, 0x00400BE3u, 0x00003C80u}) {
    EXPECT_TRUE(out.ShortMsg(word));
  }
  std::vector<Bytes> expected = {
      {0x90, 60, 100}, {0xC1, 76}, {0xD2, 90}, {0xE3, 11, 64}, {0x80, 60, 0}};
  ASSERT_TRUE(WaitFor([&] {
    return inbox.Get().size() >= expected.size() && probe->Received().size() >= expected.size();
  }));
  EXPECT_EQ(inbox.Get(), expected);
  EXPECT_EQ(probe->Received(), expected);

  // The input closes and opens again, under its own name, while the output plays on.
  auto marker = [&](uint8_t i) { out.ShortMsg(0x0077BFu | uint32_t{i} << 16); };
  in.reset();
  EXPECT_EQ(probe->MidiPorts(client), std::vector<std::string>{client + ":midi_out"});
  Sync(marker, nullptr, true);
  in = midi->OpenInput(PortChoice::Parse("virtual"), inbox.Callback(), error);
  ASSERT_TRUE(in) << error;
  ASSERT_TRUE(probe->Connect(client + ":midi_out", client + ":midi_in"));
  Sync(marker, &inbox, true);
}

TEST_F(JackMidiTest, ClosingAnOutputSilencesWhatItLeftSounding) {
  std::string error;
  Inbox inbox;  // an input keeps the client running once the output is gone
  auto in = midi->OpenInput(PortChoice::Parse("virtual"), inbox.Callback(), error);
  ASSERT_TRUE(in) << error;
  auto out = midi->OpenOutput(PortChoice::Parse("virtual"), error);
  ASSERT_TRUE(out) << error;
  ASSERT_TRUE(probe->Connect(client + ":midi_out", probe->InName()));
  Sync([&](uint8_t i) { out->Send(Marker(i).data(), 3); }, nullptr, true);

  const std::vector<Bytes> played = {{0x90, 60, 100}, {0x92, 64, 80}, {0x90, 67, 90},
                                     {0x80, 60, 0},   {0x90, 67, 0},  {0xB5, 7, 100}};
  for (const auto& m : played) ASSERT_TRUE(out->Send(m.data(), m.size()));
  out->Silence();
  out.reset();
  // Channel 1 has nothing left sounding; channel 3 still has key 64; channel 6 had a controller;
  // channel 16 carried the markers.
  std::vector<Bytes> expected = played;
  for (Bytes m : {Bytes{0xB0, 123, 0}, Bytes{0x82, 64, 0}, Bytes{0xB2, 123, 0}, Bytes{0xB5, 123, 0},
                  Bytes{0xBF, 123, 0}}) {
    expected.push_back(m);
  }
  WaitFor([&] { return probe->Received().size() >= expected.size(); });
  EXPECT_EQ(probe->Received(), expected);
}

TEST_F(JackMidiTest, DefaultPortsSkipOurOwnAndFallBackToAVirtualOutput) {
  std::string error;
  probe.reset();
  // Nothing to play to: a port of our own, for a synthesizer to connect to later.
  auto out = midi->OpenOutput(PortChoice{}, error);
  ASSERT_TRUE(out) << error;

  probe = std::make_unique<test::JackMidiProbe>();
  ASSERT_TRUE(probe->Open("probe"));
  auto sources = midi->InputPorts();
  ASSERT_GE(sources.size(), 2u);
  EXPECT_EQ(sources[0], client + ":midi_out");  // listed first, and skipped

  Inbox inbox;
  auto in = midi->OpenInput(PortChoice{}, inbox.Callback(), error);
  ASSERT_TRUE(in) << error;
  SyncFromProbe(inbox);
  probe->Send({0x93, 60, 100});
  ASSERT_TRUE(WaitFor([&] { return inbox.Get().size() == 1; }));
  EXPECT_EQ(inbox.Get()[0], (Bytes{0x93, 60, 100}));

  // Our output never feeds our own input.
  ASSERT_TRUE(probe->Connect(client + ":midi_out", probe->InName()));
  Sync([&](uint8_t i) { out->Send(Marker(i).data(), 3); }, nullptr, true);
  EXPECT_EQ(inbox.Get().size(), 1u);
}

TEST_F(JackMidiTest, PortsAreChosenByNameOrIndexAndMissingOnesSayWhy) {
  std::string error;
  Inbox inbox;
  auto byName = midi->OpenInput(PortChoice::Parse("probe:o"), inbox.Callback(), error);
  ASSERT_TRUE(byName) << error;
  SyncFromProbe(inbox);
  byName.reset();

  auto inputs = midi->InputPorts();
  auto it = std::find(inputs.begin(), inputs.end(), probe->OutName());
  ASSERT_NE(it, inputs.end());
  auto index = std::to_string(it - inputs.begin());
  auto byIndex = midi->OpenInput(PortChoice::Parse(index), inbox.Callback(), error);
  ASSERT_TRUE(byIndex) << error;
  SyncFromProbe(inbox);
  byIndex.reset();

  EXPECT_FALSE(midi->OpenInput(PortChoice::Parse("no-such-port"), inbox.Callback(), error));
  EXPECT_EQ(error.rfind("no input port matches 'no-such-port'", 0), 0u) << error;
  EXPECT_FALSE(midi->OpenOutput(PortChoice::Parse("999"), error));
  EXPECT_EQ(error.rfind("no output port number 999", 0), 0u) << error;
  EXPECT_FALSE(midi->OpenOutput(PortChoice::Parse("none"), error));
  EXPECT_EQ(error, "no MIDI output chosen");
}

TEST_F(JackMidiTest, WithNoDeviceToReadCaptureSaysSo) {
  probe.reset();  // the only other client goes away
  std::string error;
  Inbox inbox;
  EXPECT_FALSE(midi->OpenInput(PortChoice{}, inbox.Callback(), error));
  EXPECT_EQ(error, "no input port found");
}

TEST_F(JackMidiTest, NoCallbackRunsOnceTheInputIsClosed) {
  std::string error;
  std::atomic<bool> closed{false};
  std::atomic<int> late{0}, calls{0};
  auto in = midi->OpenInput(
      PortChoice::Parse("virtual"),
      [&](const uint8_t*, size_t, int64_t) {
        calls.fetch_add(1);
        if (closed.load()) late.fetch_add(1);
      },
      error);
  ASSERT_TRUE(in) << error;
  ASSERT_TRUE(probe->Connect(probe->OutName(), client + ":midi_in"));
  for (int i = 0; i < 2000; ++i) probe->Send({0x90, static_cast<uint8_t>(i % 128), 1});
  ASSERT_TRUE(WaitFor([&] { return calls.load() > 10; }));
  in.reset();
  closed.store(true);
  int seen = calls.load();
  std::this_thread::sleep_for(50ms);  // a stray callback would land here
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(calls.load(), seen);
}

}  // namespace
}  // namespace tandem
