// The MIDI command section: what we send, and what peers may send us.
#include "rtpmidi/Payload.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tandem::rtpmidi;

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Command> Parse(const Bytes& payload, bool ok = true) {
  CommandSection s;
  EXPECT_EQ(ParseCommandSection(payload, s), ok);
  return s.commands;
}

}  // namespace

TEST(Payload, CommandSectionsBothWays) {
  // A chord in one packet: full status bytes, delta times between commands, a journal after.
  const std::vector<Command> chord = {
      {0, {0x90, 60, 100}}, {0, {0x90, 64, 100}}, {5, {0x90, 67, 100}}};
  Bytes payload;
  ASSERT_TRUE(EncodeCommandSection(chord, true, payload));
  EXPECT_EQ(payload, (Bytes{0x4B, 0x90, 60, 100, 0x00, 0x90, 64, 100, 0x05, 0x90, 67, 100}));
  EXPECT_EQ(CommandSectionSize(chord), payload.size());
  CommandSection s;
  ASSERT_TRUE(ParseCommandSection(payload, s));
  EXPECT_TRUE(s.journal);
  EXPECT_EQ(s.commands, chord);

  // A long list (B flag), a first command with a delta (Z flag) and a delta over one octet.
  std::vector<Command> many;
  for (uint32_t i = 0; i < 6; ++i) many.push_back({10 + 200 * i, {0xB0, 7, 100}});
  payload.clear();
  ASSERT_TRUE(EncodeCommandSection(many, false, payload));
  EXPECT_EQ(payload[0] & 0xF0, 0xA0);
  EXPECT_EQ(payload[1], payload.size() - 2);
  EXPECT_EQ((Bytes{payload[2], payload[6], payload[7]}), (Bytes{10, 0x81, 0x48}));
  EXPECT_EQ(Parse(payload), many);

  // Peers may use running status, also across a real-time byte.
  EXPECT_EQ(Parse({0x08, 0x90, 60, 100, 0x00, 0xF8, 0x02, 62, 0}),
            (std::vector<Command>{{0, {0x90, 60, 100}}, {0, {0xF8}}, {2, {0x90, 62, 0}}}));
  // Real-time bytes inside a SysEx play on their own; segments are left as they came.
  EXPECT_EQ(Parse({0x09, 0xF0, 0x01, 0xF8, 0x02, 0xF0, 0x00, 0xF7, 0x03, 0xF7}),
            (std::vector<Command>{{0, {0xF8}}, {0, {0xF0, 1, 2, 0xF0}}, {0, {0xF7, 3, 0xF7}}}));

  // Malformed: data with no status, a message cut short, a delta time with no command, a list
  // longer than the payload, a status byte inside a SysEx.
  Parse({0x02, 60, 100}, false);
  Parse({0x02, 0x90, 60}, false);
  Parse({0x25, 0x05, 0x90, 60, 1, 0x01}, false);
  Parse({0x05, 0x90, 60}, false);
  Parse({0x04, 0xF0, 0x01, 0x90, 0xF7}, false);
}

TEST(Payload, SysexTravelsInSegments) {
  Bytes message{0xF0};
  for (int i = 0; i < 3000; ++i) message.push_back(static_cast<uint8_t>(i & 0x7F));
  message.push_back(0xF7);
  const auto segments = SplitSysex(message, 500);
  ASSERT_EQ(segments.size(), 7u);
  SysexAssembler a;
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_LE(segments[i].size(), 500u);
    EXPECT_EQ(segments[i].front(), i == 0 ? 0xF0 : 0xF7);
    EXPECT_EQ(segments[i].back(), i + 1 == segments.size() ? 0xF7 : 0xF0);
    const auto r = a.Add(segments[i]);
    EXPECT_EQ(r, i + 1 == segments.size() ? SysexAssembler::Result::kComplete
                                          : SysexAssembler::Result::kPending);
  }
  EXPECT_EQ(a.Message(), message);

  // Cancelled by the sender, a segment with no start, a short message.
  EXPECT_EQ(a.Add(Bytes{0xF0, 1, 0xF0}), SysexAssembler::Result::kPending);
  EXPECT_EQ(a.Add(Bytes{0xF7, 2, 0xF4}), SysexAssembler::Result::kCancelled);
  EXPECT_EQ(a.Add(Bytes{0xF7, 3, 0xF7}), SysexAssembler::Result::kDropped);
  EXPECT_EQ(a.Add(Bytes{0x90, 60, 1}), SysexAssembler::Result::kNotSysex);
}
