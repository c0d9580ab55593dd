// The recovery journal against bytes assembled by hand from the RFC 6295 chapter layouts
// (section 5 headers, appendices A.2 to A.8), and the sender's journal through the receiver.
#include "rtpmidi/Journal.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tandem::rtpmidi;

namespace {

using Bytes = std::vector<uint8_t>;

// Channel 2 with chapters P, C, W, N, T and A. Chapter N is the note-60 log with OFFBITS for notes
// 62, 64 and 72 (LOW 7, HIGH 9); chapter C has value-tool logs for volume and sustain and a
// count-tool log for all-notes-off.
const Bytes kFull = {
    0xA0, 0x12, 0x34,                          // S, A, TOTCHAN 0, checkpoint 0x1234
    0x90, 0x1A, 0xDB,                          // S, channel 2, LENGTH 26, TOC P C W N T A
    0x85, 0x81, 0x02,                          // P: program 5, bank 1/2
    0x82, 0x87, 0x64, 0xC0, 0x7F, 0xFB, 0x83,  // C: 7=100, 64=127, 123 counted 3
    0x80, 0x40,                                // W: 0x2000
    0x81, 0x79, 0xBC, 0xE4, 0x02, 0x80, 0x80,  // N
    0xB0,                                      // T: 0x30
    0x80, 0xBC, 0x20,                          // A: note 60 at 0x20
};

// A system journal and chapters M and E, which a receiver steps over by their lengths.
const Bytes kSkipped = {
    0x60, 0x00, 0x01,        // Y, A, checkpoint 1
    0x00, 0x04, 0xAA, 0xBB,  // system journal of 4 octets
    0x00, 0x0E, 0x2C,        // channel 0, LENGTH 14, TOC M N E
    0x00, 0x04, 0x12, 0x34,  // M: 4 octets
    0x01, 0xF1, 0x3C, 0x40,  // N: one log (note 60, velocity 64, S and Y clear), no OFFBITS
    0x00, 0x3C, 0x7F,        // E: one log
};

}  // namespace

TEST(Journal, ChaptersMatchTheirLayouts) {
  RecoveryJournal j;
  ASSERT_TRUE(ParseJournal(kFull, j));
  EXPECT_TRUE(j.s);
  EXPECT_EQ(j.checkpoint, 0x1234);
  ASSERT_EQ(j.channels.size(), 1u);
  const ChannelJournal& c = j.channels[0];
  EXPECT_EQ(c.channel, 2);
  EXPECT_EQ(c.p, (ChapterP{true, 5, true, 1, false, 2}));
  ASSERT_TRUE(c.c);
  EXPECT_EQ(c.c->logs, (std::vector<ControllerLog>{{true, 7, false, false, 100},
                                                   {true, 64, false, false, 127},
                                                   {true, 123, true, false, 3}}));
  EXPECT_EQ(c.w, (ChapterW{true, 0, false, 0x40}));
  ASSERT_TRUE(c.n);
  EXPECT_EQ(c.n->logs, (std::vector<NoteLog>{{true, 60, true, 100}}));
  EXPECT_TRUE(c.n->offs[62] && c.n->offs[64] && c.n->offs[72]);
  EXPECT_EQ(c.n->offs.count(), 3u);
  EXPECT_EQ(c.t, (ChapterT{true, 0x30}));
  ASSERT_TRUE(c.a);
  EXPECT_EQ(c.a->logs, (std::vector<PressureLog>{{true, 60, false, 0x20}}));
  Bytes back;
  EncodeJournal(j, back);
  EXPECT_EQ(back, kFull);

  ASSERT_TRUE(ParseJournal(kSkipped, j));
  EXPECT_TRUE(j.y);
  ASSERT_EQ(j.channels.size(), 1u);
  EXPECT_TRUE(j.channels[0].skippedM && j.channels[0].skippedE);
  EXPECT_EQ(j.channels[0].n->logs, (std::vector<NoteLog>{{false, 60, false, 64}}));

  // A journal cut short anywhere, or an OFFBITS range that cannot be, is refused.
  for (size_t n = 0; n < kFull.size(); ++n) {
    EXPECT_FALSE(ParseJournal(Bytes(kFull.begin(), kFull.begin() + n), j)) << n;
  }
  Bytes badRange = kFull;
  badRange[19] = 0x32;
  EXPECT_FALSE(ParseJournal(badRange, j));

  // 128 note logs: LEN 127 with LOW 15 and HIGH 0.
  RecoveryJournal all;
  all.channels.resize(1);
  all.channels[0].n.emplace();
  for (uint8_t n = 0; n < 128; ++n) all.channels[0].n->logs.push_back({true, n, true, 1});
  Bytes bytes;
  EncodeJournal(all, bytes);
  EXPECT_EQ(bytes[6], 0x7F);
  EXPECT_EQ(bytes[7], 0xF0);
  ASSERT_TRUE(ParseJournal(bytes, j));
  EXPECT_EQ(j, all);
}

TEST(Journal, SenderHistoryRepairsWhatTheReceiverMissed) {
  JournalSender sender(100);
  JournalReceiver receiver;
  const Bytes chord[] = {{0x90, 60, 90}, {0x90, 64, 80}, {0xB0, 64, 127}, {0xE0, 0, 0x50}};
  for (const Bytes& m : chord) sender.Record(m, 100, 0), receiver.Played(m, 0x10000 + 100);
  // Packet 101 is lost: 60 released, 67 struck, pedal up, program 9.
  const Bytes lost[] = {{0x80, 60, 0}, {0x90, 67, 70}, {0xB0, 64, 0}, {0xC0, 9}};
  for (const Bytes& m : lost) sender.Record(m, 101, 10'000);

  RecoveryJournal j = sender.Build(102, 20'000);
  Bytes wire;
  EncodeJournal(j, wire);
  ASSERT_TRUE(ParseJournal(wire, j));
  EXPECT_FALSE(j.s);  // it codes packet 101, the one before
  EXPECT_EQ(j.checkpoint, 100);
  std::vector<Bytes> repairs;
  for (const Repair& r : receiver.Repairs(j, 0x10000 + 102)) repairs.push_back(r.bytes);
  EXPECT_EQ(repairs,
            (std::vector<Bytes>{{0xC0, 9}, {0xB0, 64, 0}, {0x80, 60, 0x40}, {0x90, 67, 70}}));
  EXPECT_TRUE(receiver.Repairs(j, 0x10000 + 102).empty());  // nothing twice

  // The partner confirms 101: the next packet's journal starts after it and is empty.
  sender.Confirm(101);
  j = sender.Build(102, 30'000);
  EXPECT_EQ(j.checkpoint, 102);
  EXPECT_TRUE(j.channels.empty());

  // A partner that never confirms: a note struck long ago leaves the journal, and its log stops
  // asking to be struck again once it is no longer recent.
  sender.Record(Bytes{0x91, 50, 60}, 102, 40'000);
  j = sender.Build(103, 40'000 + kRecentNoteUs + 1);
  ASSERT_EQ(j.channels.size(), 1u);
  EXPECT_FALSE(j.channels[0].n->logs[0].y);
  EXPECT_TRUE(sender.Build(103, 40'000 + kJournalHorizonUs + 1).channels.empty());

  // A short note struck and released in lost packets 103 and 104: its log stays beside its
  // OFFBITS bit, and the receiver plays it once, short, only while recent.
  sender.Confirm(102);
  sender.Record(Bytes{0x90, 72, 99}, 103, 6'000'000);
  sender.Record(Bytes{0x80, 72, 0}, 104, 6'010'000);
  j = sender.Build(105, 6'020'000);
  wire.clear();
  EncodeJournal(j, wire);
  ASSERT_TRUE(ParseJournal(wire, j));
  ASSERT_EQ(j.channels.size(), 1u);
  EXPECT_EQ(j.channels[0].n->logs, (std::vector<NoteLog>{{true, 72, false, 99}}));  // Y = 0
  EXPECT_TRUE(j.channels[0].n->offs[72]);
  EXPECT_FALSE(j.channels[0].n->b);  // the release is in the packet before
  EXPECT_EQ(receiver.Repairs(j, 0x10000 + 105, false).size(), 0u);  // the packet came late
  repairs.clear();
  for (const Repair& r : receiver.Repairs(j, 0x10000 + 105)) repairs.push_back(r.bytes);
  EXPECT_EQ(repairs, (std::vector<Bytes>{{0x90, 72, 99}, {0x80, 72, 0x40}}));
  EXPECT_TRUE(receiver.Repairs(j, 0x10000 + 106).empty());  // struck since the checkpoint
  // Struck again in lost packet 105: its log's S bit tells it was not the strike we played.
  sender.Record(Bytes{0x90, 72, 98}, 105, 6'030'000);
  sender.Record(Bytes{0x80, 72, 0}, 105, 6'040'000);
  repairs.clear();
  for (const Repair& r : receiver.Repairs(sender.Build(106, 6'050'000), 0x10000 + 106)) {
    repairs.push_back(r.bytes);
  }
  EXPECT_EQ(repairs, (std::vector<Bytes>{{0x90, 72, 98}, {0x80, 72, 0x40}}));
  EXPECT_TRUE(sender.Build(106, 6'030'000 + kRecentNoteUs).channels[0].n->logs.empty());

  // Released and struck again at the same velocity in lost packets, after the partner confirmed
  // the strike we played: the log's strike is since the checkpoint, so not ours.
  sender.Record(Bytes{0x90, 40, 80}, 107, 7'000'000);
  receiver.Played(Bytes{0x90, 40, 80}, 0x10000 + 107);
  sender.Confirm(107);
  sender.Record(Bytes{0x80, 40, 0}, 108, 7'100'000);
  sender.Record(Bytes{0x90, 40, 80}, 109, 7'200'000);
  repairs.clear();
  for (const Repair& r : receiver.Repairs(sender.Build(110, 7'300'000), 0x10000 + 110)) {
    repairs.push_back(r.bytes);
  }
  EXPECT_EQ(repairs, (std::vector<Bytes>{{0x80, 40, 0x40}, {0x90, 40, 80}}));
}
