#include "rtp/Rtcp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tandem::rtp {
namespace {

std::vector<uint8_t> SrSdesBye() {
  std::vector<uint8_t> out;
  const ReportBlock blocks[] = {{0x11111111, 12, -3, 70000, 40, 0xAABBCCDD, 65536}};
  AppendSr(out, 0xCAFEBABE, {0x0102030405060708ULL, 1000, 5, 180}, blocks);
  AppendSdesCname(out, 0xCAFEBABE, "tandem@host");
  const uint32_t ssrcs[] = {0xCAFEBABE};
  AppendBye(out, ssrcs, "bye");
  return out;
}

TEST(Rtcp, BuildsSenderReportByteForByte) {
  std::vector<uint8_t> out;
  AppendSr(out, 0x01020304, {0x1122334455667788ULL, 0xA0B0C0D0, 7, 300}, {});
  const std::vector<uint8_t> expected = {
      0x80, 200,  0,    6,                             // V=2, RC=0, SR, 7 words
      0x01, 0x02, 0x03, 0x04,                          // SSRC
      0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // NTP
      0xA0, 0xB0, 0xC0, 0xD0,                          // RTP timestamp
      0,    0,    0,    7,    0,    0,    1,    44};   // packets, octets
  EXPECT_EQ(out, expected);
}

TEST(Rtcp, SdesChunkEndsWithNullAndPadsToAWord) {
  std::vector<uint8_t> out;
  AppendSdesCname(out, 0x0A0B0C0D, "ab");
  // Header, SSRC, CNAME item (1, 2, 'a', 'b'), then the end octet and three pad octets.
  const std::vector<uint8_t> expected = {0x81, 202, 0,   3,   0x0A, 0x0B, 0x0C, 0x0D,
                                         1,    2,   'a', 'b', 0,    0,    0,    0};
  EXPECT_EQ(out, expected);
  // A CNAME that fills the word exactly still gets a whole word of nulls after it.
  out.clear();
  AppendSdesCname(out, 1, "abcdef");
  EXPECT_EQ(out.size(), 20u);
  EXPECT_EQ(out.back(), 0);
}

TEST(Rtcp, ParsesWhatItBuilds) {
  const auto bytes = SrSdesBye();
  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(bytes, c), RtcpParseError::kOk);
  ASSERT_EQ(c.reports.size(), 1u);
  const RtcpReport& r = c.reports[0];
  EXPECT_TRUE(r.isSender);
  EXPECT_EQ(r.ssrc, 0xCAFEBABEu);
  EXPECT_EQ(r.sender.ntp, 0x0102030405060708ULL);
  EXPECT_EQ(r.sender.packetCount, 5u);
  EXPECT_EQ(r.sender.octetCount, 180u);
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0].fractionLost, 12);
  EXPECT_EQ(r.blocks[0].cumulativeLost, -3);  // sign-extended from 24 bits
  EXPECT_EQ(r.blocks[0].highestSequence, 70000u);
  EXPECT_EQ(r.blocks[0].lastSr, 0xAABBCCDDu);
  ASSERT_EQ(c.sdes.size(), 1u);
  EXPECT_EQ(c.sdes[0].cname, "tandem@host");
  ASSERT_EQ(c.byes.size(), 1u);
  EXPECT_EQ(c.byes[0].ssrcs, std::vector<uint32_t>{0xCAFEBABE});
  EXPECT_EQ(c.byes[0].reason, "bye");
  EXPECT_EQ(c.size, bytes.size());
}

TEST(Rtcp, KeepsAppAndSkipsUnknownTypes) {
  std::vector<uint8_t> out;
  AppendRr(out, 5, {});
  const std::vector<uint8_t> app = {0x83, 204, 0, 3, 0, 0, 0, 5, 'T', 'N', 'D', 'M', 1, 2, 3, 4};
  const std::vector<uint8_t> xr = {0x80, 207, 0, 1, 0, 0, 0, 5};
  out.insert(out.end(), app.begin(), app.end());
  out.insert(out.end(), xr.begin(), xr.end());
  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(out, c), RtcpParseError::kOk);
  ASSERT_EQ(c.apps.size(), 1u);
  EXPECT_EQ(c.apps[0].subtype, 3);
  EXPECT_EQ(std::string(c.apps[0].name.begin(), c.apps[0].name.end()), "TNDM");
  EXPECT_EQ(c.apps[0].data, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(c.unknownPackets, 1);
}

TEST(Rtcp, CutsBlocksToWhatTheCountFieldHolds) {
  std::vector<ReportBlock> blocks(40);
  std::vector<uint8_t> out;
  AppendRr(out, 1, blocks);
  RtcpCompound c;
  ASSERT_EQ(ParseRtcp(out, c), RtcpParseError::kOk);
  EXPECT_EQ(c.reports[0].blocks.size(), kMaxReportBlocks);
}

TEST(Rtcp, RejectsMalformedCompounds) {
  std::vector<uint8_t> rr;
  AppendRr(rr, 7, {});
  auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    RtcpParseError error;
  };
  const std::vector<Case> cases = {
      {"empty", {}, RtcpParseError::kShort},
      {"not whole words", {0x80, 201, 0, 1, 0, 0, 0}, RtcpParseError::kShort},
      {"version 1", {0x40, 201, 0, 1, 0, 0, 0, 7}, RtcpParseError::kBadVersion},
      {"starts with SDES", {0x80, 202, 0, 0}, RtcpParseError::kBadFirst},
      {"starts with BYE", {0x81, 203, 0, 1, 0, 0, 0, 7}, RtcpParseError::kBadFirst},
      {"first packet padded", {0xA0, 201, 0, 1, 0, 0, 0, 4}, RtcpParseError::kBadFirst},
      {"length beyond datagram", {0x80, 201, 0, 9, 0, 0, 0, 7}, RtcpParseError::kBadLength},
      {"length 0xFFFF", {0x80, 201, 0xFF, 0xFF, 0, 0, 0, 7}, RtcpParseError::kBadLength},
      {"second packet lies", cat(rr, {0x80, 202, 0, 5, 0, 0, 0, 7}), RtcpParseError::kBadLength},
      {"trailing half header", cat(rr, {0x80, 202}), RtcpParseError::kShort},
      {"padding not last", cat(cat(rr, {0xA0, 204, 0, 2, 0, 0, 0, 7, 'a', 'b', 'c', 'd'}), rr),
       RtcpParseError::kBadPadding},
      {"padding count zero", cat(rr, {0xA0, 204, 0, 2, 0, 0, 0, 7, 'a', 'b', 'c', 0}),
       RtcpParseError::kBadPadding},
      {"padding past packet", cat(rr, {0xA1, 202, 0, 1, 0, 0, 0, 40}), RtcpParseError::kBadPadding},
      {"SR count says 2 blocks, has 0",
       {0x82, 200, 0, 6, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       RtcpParseError::kTruncatedSr},
      {"SR without sender info", {0x80, 200, 0, 1, 0, 0, 0, 7}, RtcpParseError::kTruncatedSr},
      {"RR count 1, no block", {0x81, 201, 0, 1, 0, 0, 0, 7}, RtcpParseError::kTruncatedRr},
      {"RR with no SSRC", {0x80, 201, 0, 0}, RtcpParseError::kTruncatedRr},
      {"SDES item length past packet", cat(rr, {0x81, 202, 0, 2, 0, 0, 0, 7, 1, 40, 'a', 'b'}),
       RtcpParseError::kTruncatedSdes},
      {"SDES chunk without end", cat(rr, {0x81, 202, 0, 2, 0, 0, 0, 7, 1, 2, 'a', 'b'}),
       RtcpParseError::kTruncatedSdes},
      {"SDES count 2, one chunk", cat(rr, {0x82, 202, 0, 2, 0, 0, 0, 7, 0, 0, 0, 0}),
       RtcpParseError::kTruncatedSdes},
      {"BYE count 3, one SSRC", cat(rr, {0x83, 203, 0, 1, 0, 0, 0, 7}),
       RtcpParseError::kTruncatedBye},
      {"BYE reason past packet", cat(rr, {0x81, 203, 0, 2, 0, 0, 0, 7, 9, 'x', 'y', 'z'}),
       RtcpParseError::kTruncatedBye},
      {"APP without name", cat(rr, {0x80, 204, 0, 1, 0, 0, 0, 7}), RtcpParseError::kTruncatedApp},
  };
  for (const Case& c : cases) {
    RtcpCompound out;
    EXPECT_EQ(ParseRtcp(c.bytes, out), c.error) << c.name;
  }
}

TEST(Rtcp, NeverReadsPastAnyPrefixOrMutation) {
  // Run under AddressSanitizer: each prefix is its own exact-size allocation.
  const auto full = SrSdesBye();
  // Only the cuts between whole packets are valid compounds (SR 52, SDES 24, BYE 12 bytes).
  const std::vector<size_t> boundaries = {52, 76, 88};
  ASSERT_EQ(full.size(), 88u);
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<uint8_t> prefix(full.begin(), full.begin() + n);
    RtcpCompound c;
    const bool ok = ParseRtcp(prefix, c) == RtcpParseError::kOk;
    EXPECT_EQ(ok, std::find(boundaries.begin(), boundaries.end(), n) != boundaries.end()) << n;
  }
  for (size_t i = 0; i < full.size(); ++i) {
    for (int value : {0x00, 0x01, 0x1F, 0x7F, 0x80, 0xA0, 0xBF, 0xFF}) {
      auto mutated = full;
      mutated[i] = static_cast<uint8_t>(value);
      RtcpCompound c;
      ParseRtcp(mutated, c);
    }
  }
}

}  // namespace
}  // namespace tandem::rtp
