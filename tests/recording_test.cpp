// The session recorded as a MIDI file, read back by a real reader (mido): what was played, on its
// channel, at its millisecond; and a file that is whole whenever the program might die.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPorts.h"
#include "MidiReadBack.h"
#include "ScratchDir.h"
#include "TestTiming.h"
#include "app/Application.h"
#include "midi/MemoryMidi.h"
#include "record/MidiFile.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

using test::Message;
using test::ReadBack;
using test::ReadWithMido;

TEST(Recording, AFileCutAtAnyMomentOfWritingReadsBack) {
  test::ScratchDir dir("tandem-recording");
  const std::string path = (dir.Path() / "cut.mid").string();

  // An unwritable place says why and leaves nothing behind.
  MidiFileWriter nowhere;
  std::string error;
  EXPECT_FALSE(nowhere.Open((dir.Path() / "no-such-folder" / "x.mid").string(), {"A", "B"}, error));
  EXPECT_NE(error.find("no-such-folder/x.mid"), std::string::npos) << error;

  // Each flush below makes exactly one write (one track's events, or a whole new file when a
  // track outgrows its room), and a copy after each is what a crash there would leave. Little
  // room at first, so the tracks outgrow it several times.
  MidiFileWriter writer(256);
  ASSERT_TRUE(writer.Open(path, {"Played here", "Partner"}, error)) << error;
  std::vector<std::string> copies;
  std::vector<std::vector<Message>> expected(2);
  auto keep = [&] {
    std::string copy = (dir.Path() / ("cut-" + std::to_string(copies.size()) + ".mid")).string();
    std::filesystem::copy_file(path, copy);
    copies.push_back(copy);
  };
  keep();
  std::vector<size_t> expectedCounts[2] = {{0}, {0}};
  uint32_t ms = 0;
  for (int round = 0; round < 30; ++round) {
    for (size_t track = 0; track < 2; ++track) {
      // Varying batch sizes and gaps: times of 1 to 3 delta bytes, 2 and 3 byte messages.
      int batch = 1 + (round * 37 + int(track) * 11) % 100;
      for (int i = 0; i < batch; ++i) {
        ms += static_cast<uint32_t>((i * 7 + round) % 5 == 0 ? 20000 : i % 3);
        uint8_t m[3] = {static_cast<uint8_t>(i % 4 == 0 ? 0xC0 | (i % 16) : 0x90 | track),
                        static_cast<uint8_t>(i % 128), static_cast<uint8_t>((round + i) % 128)};
        const bool two = (m[0] & 0xF0) == 0xC0;
        writer.Add(track, ms, m, two ? 2 : 3);
        expected[track].push_back({static_cast<int>(ms), m[0], m[1], two ? 0 : m[2]});
      }
      ASSERT_TRUE(writer.Flush(error)) << error;
      keep();
      expectedCounts[0].push_back(expected[0].size());
      expectedCounts[1].push_back(expected[1].size());
    }
  }
  ASSERT_TRUE(writer.Finish(error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  // A finished file has no room left over: its end follows its last event.
  auto final = ReadWithMido({path}, false);
  ASSERT_EQ(final[0].error, "");
  EXPECT_EQ(final[0].messages, expected);
  EXPECT_LT(std::filesystem::file_size(path), std::filesystem::file_size(copies.back()));

  auto read = ReadWithMido(copies, true);
  ASSERT_EQ(read.size(), copies.size());
  for (size_t i = 0; i < copies.size(); ++i) {
    SCOPED_TRACE("copy " + std::to_string(i));
    ASSERT_EQ(read[i].error, "");
    EXPECT_EQ(read[i].type, 1);
    EXPECT_EQ(read[i].tracks, 2);
    EXPECT_EQ(read[i].division, int(MidiFileWriter::kDivision));
    for (size_t track = 0; track < 2; ++track) {
      size_t count = expectedCounts[track][i];
      ASSERT_EQ(read[i].counts.size(), 2u);
      EXPECT_EQ(size_t(read[i].counts[track]), count);
      if (count > 0 && !read[i].messages[track].empty()) {
        EXPECT_EQ(read[i].messages[track].back(), expected[track][count - 1]);
      }
    }
  }
}

// One side of a session, on the in-memory MIDI system, recording.
struct RecordingPeer {
  RecordingPeer(uint16_t listen, uint16_t sendTo) : midi(std::make_shared<MemoryMidiSystem>()) {
    AppConfig config;
    config.midi = midi;
    config.midiOut = PortChoice::Parse("memory-out");
    config.seed = listen;
    app = std::make_unique<Application>(config);
    Form().EditDestIp.SetText("127.0.0.1");
    Form().EditPortLocal.SetText(std::to_string(listen));
    Form().EditPortDistant.SetText(std::to_string(sendTo));
  }
  TFormCtl& Form() { return app->Form(); }
  bool SessionRuns() {
    return WaitFor([&] {
      std::string status = Form().EditStatutConnect.Text();
      return status == "RTP Initialisé" || status == "envoi correct";
    });
  }
  std::shared_ptr<MemoryMidiSystem> midi;
  std::unique_ptr<Application> app;
};

int MsSince(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point t) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count());
}

TEST(Recording, TwoPeersRecordWhatWasPlayedToTheMillisecond) {
  test::ScratchDir dir("tandem-recording");
  const uint16_t aPort = test::FreePortPair();
  const uint16_t bPort = test::FreePortPair();
  ASSERT_TRUE(aPort != 0 && bPort != 0 && aPort != bPort);
  RecordingPeer a(aPort, bPort), b(bPort, aPort);
  // The partner's notes play on channel 3 and a fifth up: the recording is what was sounded.
  b.Form().EditMidiCanalOut.SetText("3");
  b.Form().EditTransposeOut.SetText("7");
  b.Form().CheckBoxTransposeOut.SetChecked(true);
  b.Form().ButtonStartRTPClick();
  ASSERT_TRUE(b.SessionRuns()) << b.Form().EditStatutConnect.Text();
  a.Form().ButtonStartRTPClick();
  ASSERT_TRUE(a.SessionRuns()) << a.Form().EditStatutConnect.Text();
  a.Form().ButtonReadMidiClick();
  ASSERT_TRUE(WaitFor([&] { return a.midi->Play({0xB5, 3, 0}); }));
  // That first message has crossed before the recording starts, so it is in neither.
  ASSERT_TRUE(WaitFor([&] { return b.midi->Output()->Count() >= 1; }));
  b.midi->Output()->Clear();

  const std::string fileA = (dir.Path() / "a.mid").string();
  const std::string fileB = (dir.Path() / "b.mid").string();
  a.Form().SetRecording(true, fileA);
  b.Form().SetRecording(true, fileB);
  ASSERT_TRUE(a.Form().CheckBoxRecord.Checked()) << a.Form().EditMidiStatus.Text();
  ASSERT_TRUE(b.Form().CheckBoxRecord.Checked()) << b.Form().EditMidiStatus.Text();

  // A phrase on channel 6 with uneven gaps, across more than one write of the recorder.
  std::vector<std::vector<uint8_t>> phrase;
  for (int i = 0; i < 24; ++i) {
    phrase.push_back({0x95, static_cast<uint8_t>(48 + i), static_cast<uint8_t>(40 + i)});
    phrase.push_back({0x85, static_cast<uint8_t>(48 + i), 0});
  }
  for (size_t i = 0; i < phrase.size(); ++i) {
    ASSERT_TRUE(a.midi->Play(phrase[i]));
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + (i * 7) % 40));
  }
  ASSERT_TRUE(WaitFor([&] { return b.midi->Output()->Count() >= phrase.size(); }))
      << b.midi->Output()->Count();
  const auto startB = b.Form().Recorder.Started();
  const auto sounded = b.midi->Output()->Messages();
  a.app->Shutdown();  // ends the recording: the file gets its end
  b.app->Shutdown();
  EXPECT_EQ(a.Form().EditMidiStatus.Text(), "Recorded to " + fileA);

  auto read = ReadWithMido({fileA, fileB}, false);
  for (const ReadBack& r : read) {
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.type, 1);
    ASSERT_EQ(r.tracks, 2);
  }
  // A's own track: the phrase as played, on its channel, in order.
  const auto& ours = read[0].messages[0];
  ASSERT_EQ(ours.size(), phrase.size());
  for (size_t i = 0; i < phrase.size(); ++i) {
    EXPECT_EQ(ours[i].status, phrase[i][0]) << i;
    EXPECT_EQ(ours[i].data1, phrase[i][1]) << i;
    EXPECT_EQ(ours[i].data2, phrase[i][2]) << i;
    if (i > 0) {
      EXPECT_GE(ours[i].ms, ours[i - 1].ms);
    }
  }
  EXPECT_GT(ours.back().ms - ours.front().ms, 400);  // the sleeps alone add up to more
  EXPECT_TRUE(read[0].messages[1].empty());          // B played nothing
  EXPECT_TRUE(read[1].messages[0].empty());
  // B's partner track: exactly what went to its output, each at its moment to the millisecond.
  const auto& partner = read[1].messages[1];
  ASSERT_EQ(partner.size(), sounded.size());
  for (size_t i = 0; i < sounded.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    ASSERT_EQ(sounded[i].bytes.size(), 3u);
    EXPECT_EQ(partner[i].status, sounded[i].bytes[0]);
    EXPECT_EQ(partner[i].data1, sounded[i].bytes[1]);
    EXPECT_EQ(partner[i].data2, sounded[i].bytes[2]);
    // Stamped as it left for the output, so never after the output had it; a sanitized build
    // may be held up between the two.
    const int soundedMs = MsSince(startB, sounded[i].when);
    EXPECT_LE(partner[i].ms, soundedMs);
    EXPECT_GE(partner[i].ms, soundedMs - static_cast<int>(test::Scaled(1ms).count()));
  }
  EXPECT_EQ(partner.front().status, 0x92);
  EXPECT_EQ(partner.front().data1, 48 + 7);
}

}  // namespace
}  // namespace tandem
