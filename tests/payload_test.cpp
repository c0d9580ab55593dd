#include "transport/Payload.h"

#include <gtest/gtest.h>

#include <vector>

namespace tandem {
namespace {

std::vector<uint8_t> Bytes(const EncodedPayload& p) {
  return {p.Bytes().begin(), p.Bytes().end()};
}

EventRecord Midi(int status, int note, int velocity) {
  EventRecord r;
  r.kind = EventMidi;
  r.status = status;
  r.note = note;
  r.velocity = velocity;
  return r;
}

TEST(PayloadEncode, MidiAloneIsTheLittleEndianEventWord) {
  SentKeyTable keys{};
  auto p = Encode(Midi(144, 60, 100), keys, /*noTransm=*/true, 5000);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payloadType, 77);
  EXPECT_EQ(Bytes(*p), (std::vector<uint8_t>{144, 60, 100, 0}));
  // The table is updated whichever packet is chosen.
  EXPECT_TRUE(keys[60].on);
  EXPECT_EQ(keys[60].changedAt, 5000u);
}

TEST(PayloadEncode, MidiWithKeysCarriesBothBitmapsLsbFirst) {
  SentKeyTable keys{};
  keys[0] = {true, 1000};   // sounding, changed long ago
  keys[9] = {false, 9500};  // silent, changed recently
  keys[127] = {true, 100};
  auto p = Encode(Midi(144, 60, 100), keys, /*noTransm=*/false, 10000);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payloadType, 88);
  ASSERT_EQ(p->length, 36u);
  std::vector<uint8_t> expected(36, 0);
  expected[0] = 144;
  expected[1] = 60;
  expected[2] = 100;
  expected[4 + 0] = 0x01;   // key 0 on
  expected[4 + 7] = 0x10;   // key 60: byte 7, bit 4
  expected[4 + 15] = 0x80;  // key 127: byte 15, bit 7
  expected[20 + 1] = 0x02;  // key 9 recent: byte 1, bit 1
  expected[20 + 7] = 0x10;  // the packet's own note-on is recent
  EXPECT_EQ(Bytes(*p), expected);
}

TEST(PayloadEncode, NoteOffAndVelocityZeroKeepTheirMeaning) {
  SentKeyTable keys{};
  Encode(Midi(144, 64, 0), keys, true, 2000);
  EXPECT_TRUE(keys[64].on);  // a note-on of velocity 0 is still sounding
  auto p = Encode(Midi(128, 64, 0), keys, false, 2500);
  EXPECT_FALSE(keys[64].on);
  EXPECT_EQ(p->bytes[4 + 8], 0);      // key-on bit cleared
  EXPECT_EQ(p->bytes[20 + 8], 0x01);  // but recently changed
  // Other messages change no key; an out-of-range note is never an index.
  Encode(Midi(176, 7, 127), keys, true, 3000);
  Encode(Midi(144, 200, 1), keys, true, 3000);
  for (auto& k : keys) EXPECT_FALSE(k.on);
}

TEST(PayloadEncode, KeysRefreshRecentWindowIsUnsignedAndBelowOneSecond) {
  SentKeyTable keys{};
  keys[1] = {true, 9001};    // 999 ms ago: recent
  keys[2] = {true, 9000};    // 1000 ms ago: not
  keys[3] = {false, 10500};  // "in the future": the unsigned difference is huge, not recent
  EventRecord r;
  r.kind = EventKeyRefresh;
  auto p = Encode(r, keys, true, 10000);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payloadType, 83);
  ASSERT_EQ(p->length, 36u);
  EXPECT_EQ(p->bytes[4], 0x06);
  EXPECT_EQ(p->bytes[20], 0x02);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p->bytes[i], 0);

  // Untouched keys read as recent only while the clock is below one second.
  SentKeyTable fresh{};
  auto early = Encode(r, fresh, true, 500);
  for (int j = 0; j < 16; ++j) EXPECT_EQ(early->bytes[20 + j], 0xFF);
  auto later = Encode(r, fresh, true, 1000);
  for (int j = 0; j < 32; ++j) EXPECT_EQ(later->bytes[4 + j], 0);
}

TEST(PayloadEncode, ChatIsTheWhole100ByteField) {
  EventRecord r;
  r.kind = EventChat;
  std::string line(98, 'x');
  std::copy(line.begin(), line.end(), r.text.begin());
  SentKeyTable keys{};
  auto p = Encode(r, keys, true, 0);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payloadType, 67);
  ASSERT_EQ(p->length, 100u);
  EXPECT_EQ(p->bytes[97], 'x');
  EXPECT_EQ(p->bytes[98], 0);  // the NUL of a full line

  EventRecord empty;
  empty.kind = EventChat;
  auto e = Encode(empty, keys, true, 0);
  EXPECT_EQ(e->length, 100u);
  EXPECT_EQ(e->bytes[0], 0);
}

TEST(PayloadEncode, BufferIsLittleEndianHeldWithin16Bits) {
  SentKeyTable keys{};
  EventRecord r;
  r.kind = EventBuffer;
  for (auto [value, lo, hi] :
       std::vector<std::tuple<int32_t, uint8_t, uint8_t>>{{120, 120, 0},
                                                          {0x1234, 0x34, 0x12},
                                                          {65535, 0xFF, 0xFF},
                                                          {70000, 0xFF, 0xFF},
                                                          {-5, 0, 0},
                                                          {INT32_MIN, 0, 0}}) {
    r.bufferMs = value;
    auto p = Encode(r, keys, true, 0);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->payloadType, 66);
    EXPECT_EQ(Bytes(*p), (std::vector<uint8_t>{lo, hi})) << value;
  }
}

TEST(PayloadEncode, OtherKindsAreNotSent) {
  SentKeyTable keys{};
  EventRecord r;
  for (int32_t kind : {int32_t{EventMidiBare}, 5, -1}) {
    r.kind = kind;
    EXPECT_FALSE(Encode(r, keys, true, 0)) << kind;
  }
}

TEST(PayloadDecode, MidiBareAndCommonFields) {
  std::vector<uint8_t> in{144, 60, 100, 0};
  auto d = Decode(77, in, 123456, 70000, 0xABCD, 123400);
  ASSERT_TRUE(d.record);
  EXPECT_EQ(d.drop, DropReason::None);
  EXPECT_FALSE(d.keyOn);
  const auto& r = *d.record;
  EXPECT_EQ(r.kind, EventMidiBare);
  EXPECT_EQ(r.status, 144);
  EXPECT_EQ(r.note, 60);
  EXPECT_EQ(r.velocity, 100);
  EXPECT_EQ(r.time, 123456);
  EXPECT_EQ(r.sequence, 70000u);
  EXPECT_EQ(r.source, 0xABCDu);
  EXPECT_EQ(r.arrivalOffset, 56);
  // The offset is an absolute wrapping difference, whichever side is ahead.
  EXPECT_EQ(Decode(77, in, 100, 0, 0, 350).record->arrivalOffset, 250);
  EXPECT_EQ(Decode(77, in, 0xFFFFFFF6u, 0, 0, 10).record->arrivalOffset, 20);
  EXPECT_EQ(Decode(77, in, 0x80000000u, 0, 0, 0).record->arrivalOffset, INT32_MAX);
}

TEST(PayloadDecode, RoundTripOfEverySentKind) {
  SentKeyTable keys{};
  keys[36] = {true, 9900};
  keys[95] = {false, 9950};
  auto sent = Encode(Midi(144, 61, 90), keys, false, 10000);
  auto d = Decode(sent->payloadType, sent->Bytes(), 1, 2, 3, 0);
  ASSERT_TRUE(d.record);
  EXPECT_EQ(d.record->kind, EventMidi);
  ASSERT_TRUE(d.keyOn);
  for (int k = 0; k < 128; ++k) {
    EXPECT_EQ(d.record->keyOn[k], (k == 36 || k == 61) ? 1 : 0) << k;
    EXPECT_EQ(d.record->keyRecent[k], (k == 36 || k == 61 || k == 95) ? 1 : 0) << k;
    EXPECT_EQ((*d.keyOn)[k], d.record->keyOn[k]);
  }

  EventRecord refresh;
  refresh.kind = EventKeyRefresh;
  auto s = Encode(refresh, keys, true, 10000);
  auto ds = Decode(s->payloadType, s->Bytes(), 1, 2, 3, 0);
  ASSERT_TRUE(ds.record && ds.keyOn);
  EXPECT_EQ(ds.record->kind, EventKeyRefresh);
  EXPECT_EQ(ds.record->keyOn, d.record->keyOn);

  EventRecord buffer;
  buffer.kind = EventBuffer;
  buffer.bufferMs = 70000;
  auto b = Encode(buffer, keys, true, 0);
  auto db = Decode(b->payloadType, b->Bytes(), 1, 2, 3, 0);
  ASSERT_TRUE(db.record);
  EXPECT_EQ(db.record->kind, EventBuffer);
  EXPECT_EQ(db.record->bufferMs, 65535);  // the largest the field holds
  EXPECT_FALSE(db.keyOn);
}

TEST(PayloadDecode, ChatLines) {
  auto chat = [](std::vector<uint8_t> bytes) {
    auto d = Decode(67, bytes, 0, 0, 0, 0);
    EXPECT_FALSE(d.record);
    EXPECT_EQ(d.drop, DropReason::None);
    return d.chat.value_or("<none>");
  };
  std::vector<uint8_t> hello(100, 0);
  std::copy_n("hello", 5, hello.begin());
  hello[50] = 'z';  // after the NUL: ignored
  EXPECT_EQ(chat(hello), "hello");
  EXPECT_EQ(chat(std::vector<uint8_t>(100, 0)), "");

  std::vector<uint8_t> full(100, 'a');
  full[98] = 0;
  EXPECT_EQ(chat(full), std::string(98, 'a'));
  // No terminator at all: at most a chat line's worth, never past the end.
  EXPECT_EQ(chat(std::vector<uint8_t>(100, 'b')), std::string(98, 'b'));
  EXPECT_EQ(chat(std::vector<uint8_t>(300, 'c')), std::string(98, 'c'));
  EXPECT_EQ(chat({'h', 'i'}), "hi");
  EXPECT_EQ(chat({}), "");
}

TEST(PayloadDecode, ChatCannotInjectLinesOrEscapes) {
  std::string evil =
      "a\nb\rc\x1b[2Jd\x7f"
      "e\t\xC2\x9B"
      "1m \xC3\xA9";
  std::vector<uint8_t> bytes(evil.begin(), evil.end());
  bytes.push_back(0);
  auto d = Decode(67, bytes, 0, 0, 0, 0);
  ASSERT_TRUE(d.chat);
  EXPECT_EQ(*d.chat, "a?b?c?[2Jd?e??1m \xC3\xA9");  // UTF-8 text such as "é" survives
}

TEST(PayloadDecode, UnusablePacketsAreDroppedWithTheirReason) {
  std::vector<uint8_t> big(36, 0);
  for (uint8_t type : {0, 1, 65, 78, 127, 255}) {
    auto d = Decode(type, big, 0, 0, 0, 0);
    EXPECT_EQ(d.drop, DropReason::UnknownType) << int(type);
    EXPECT_FALSE(d.record || d.chat || d.keyOn);
  }
  struct Case {
    uint8_t type;
    size_t size;
  };
  for (auto [type, size] :
       std::vector<Case>{{77, 3}, {88, 35}, {88, 4}, {83, 35}, {66, 1}, {66, 0}}) {
    std::vector<uint8_t> shortPayload(size, 0x40);
    auto d = Decode(type, shortPayload, 0, 0, 0, 0);
    EXPECT_EQ(d.drop, DropReason::ShortPayload) << int(type) << "/" << size;
    EXPECT_FALSE(d.record || d.keyOn);
  }
  for (auto word : std::vector<std::vector<uint8_t>>{{144, 128, 1, 0}, {144, 60, 200, 0}}) {
    for (uint8_t type : {77, 88}) {
      std::vector<uint8_t> p(36, 0);
      std::copy(word.begin(), word.end(), p.begin());
      auto d = Decode(type, p, 0, 0, 0, 0);
      EXPECT_EQ(d.drop, DropReason::BadDataByte);
      EXPECT_FALSE(d.record || d.keyOn);
    }
  }
  // Longer than needed is fine: the extra bytes are ignored. Status bytes pass unchanged.
  std::vector<uint8_t> longer{0xE0, 0, 64, 9, 9, 9};
  auto d = Decode(77, longer, 0, 0, 0, 0);
  ASSERT_TRUE(d.record);
  EXPECT_EQ(d.record->status, 0xE0);
  EXPECT_EQ(d.record->velocity, 64);
}

}  // namespace
}  // namespace tandem
