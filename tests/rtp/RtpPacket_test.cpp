#include "rtp/RtpPacket.h"

#include <gtest/gtest.h>

#include <vector>

namespace tandem::rtp {
namespace {

std::vector<uint8_t> Build(const RtpHeader& h, std::vector<uint8_t> payload) {
  std::vector<uint8_t> out;
  BuildRtp(h, payload, out);
  return out;
}

TEST(RtpPacket, BuildsTheFixedHeaderByteForByte) {
  const auto bytes = Build({false, 88, 0xBEEF, 0x01020304, 0xA1B2C3D4}, {0x90, 0x3C, 0x64, 0x00});
  const std::vector<uint8_t> expected = {0x80, 88,   0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04,
                                         0xA1, 0xB2, 0xC3, 0xD4, 0x90, 0x3C, 0x64, 0x00};
  EXPECT_EQ(bytes, expected);

  // The marker is the top bit of the second byte; payload types above 127 lose their top bit.
  const auto marked = Build({true, 0xFF, 0, 0, 0}, {});
  EXPECT_EQ(marked[1], 0xFF);
  EXPECT_EQ(marked.size(), kRtpHeaderSize);
}

TEST(RtpPacket, RoundTripsEveryHeaderField) {
  const RtpHeader h{true, 66, 65535, 0xFFFFFFFF, 0x12345678};
  const auto bytes = Build(h, {7, 8});
  RtpView v;
  ASSERT_EQ(ParseRtp(bytes, v), RtpParseError::kOk);
  EXPECT_TRUE(v.marker);
  EXPECT_EQ(v.payloadType, 66);
  EXPECT_EQ(v.sequence, 65535);
  EXPECT_EQ(v.timestamp, 0xFFFFFFFFu);
  EXPECT_EQ(v.ssrc, 0x12345678u);
  EXPECT_EQ(std::vector<uint8_t>(v.payload.begin(), v.payload.end()), (std::vector<uint8_t>{7, 8}));
}

TEST(RtpPacket, SkipsCsrcListExtensionAndPadding) {
  // Two CSRCs, a one-word extension, two payload bytes and three bytes of padding.
  const std::vector<uint8_t> bytes = {0xB2, 77,   0, 1, 0, 0, 0, 2, 0, 0, 0, 3,  // V=2 P=1 X=1 CC=2
                                      1,    1,    1, 1, 2, 2, 2, 2,              // CSRCs
                                      0xAB, 0xCD, 0, 1, 9, 9, 9, 9,  // extension: profile, 1 word
                                      0x55, 0x66,                    // payload
                                      0,    0,    3};                // padding, count last
  RtpView v;
  ASSERT_EQ(ParseRtp(bytes, v), RtpParseError::kOk);
  EXPECT_EQ(v.csrcCount, 2);
  EXPECT_TRUE(v.hasExtension);
  EXPECT_EQ(std::vector<uint8_t>(v.payload.begin(), v.payload.end()),
            (std::vector<uint8_t>{0x55, 0x66}));
}

TEST(RtpPacket, RejectsMalformedDatagrams) {
  const std::vector<uint8_t> good = Build({false, 77, 1, 2, 3}, {1, 2, 3, 4});
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    RtpParseError error;
  };
  auto with = [&](auto change) {
    auto b = good;
    change(b);
    return b;
  };
  const std::vector<Case> cases = {
      {"empty", {}, RtpParseError::kShort},
      {"11 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 11), RtpParseError::kShort},
      {"version 1", with([](auto& b) { b[0] = 0x40; }), RtpParseError::kBadVersion},
      {"version 3", with([](auto& b) { b[0] = 0xC0; }), RtpParseError::kBadVersion},
      {"CSRC count 15 past end", with([](auto& b) { b[0] = 0x8F; }), RtpParseError::kBadCsrc},
      {"CSRC count 2 past end", with([](auto& b) { b[0] = 0x82; }), RtpParseError::kBadCsrc},
      {"extension header cut", with([](auto& b) {
         b[0] = 0x90;
         b.resize(14);
       }),
       RtpParseError::kBadExtension},
      {"extension length past end", with([](auto& b) {
         b[0] = 0x90;
         b[14] = 0;
         b[15] = 1;
       }),
       RtpParseError::kBadExtension},
      {"padding count zero", with([](auto& b) {
         b[0] = 0xA0;
         b.back() = 0;
       }),
       RtpParseError::kBadPadding},
      {"padding longer than payload", with([](auto& b) {
         b[0] = 0xA0;
         b.back() = 5;
       }),
       RtpParseError::kBadPadding},
      {"padding with no payload", with([](auto& b) {
         b[0] = 0xA0;
         b.resize(12);
       }),
       RtpParseError::kBadPadding},
  };
  for (const Case& c : cases) {
    RtpView v;
    EXPECT_EQ(ParseRtp(c.bytes, v), c.error) << c.name;
  }
  // Padding that eats the whole payload is legal: an empty payload.
  RtpView v;
  EXPECT_EQ(ParseRtp(with([](auto& b) {
                       b[0] = 0xA0;
                       b.back() = 4;
                     }),
                     v),
            RtpParseError::kOk);
  EXPECT_TRUE(v.payload.empty());
}

TEST(RtpPacket, NeverReadsPastAnyPrefixOrMutation) {
  // Run under AddressSanitizer: every prefix and every single-byte change of a packet with all
  // optional parts must parse or fail without touching bytes beyond the datagram.
  std::vector<uint8_t> full = {0xB1, 77, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 1, 1, 1,
                               1,    0,  0, 0, 1, 9, 9, 9, 9, 5, 6, 7, 0, 0, 3};
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<uint8_t> prefix(full.begin(), full.begin() + n);  // exact-size allocation
    RtpView v;
    if (ParseRtp(prefix, v) == RtpParseError::kOk) {
      EXPECT_LE(v.payload.data() + v.payload.size(), prefix.data() + prefix.size());
    }
  }
  for (size_t i = 0; i < full.size(); ++i) {
    for (int value : {0x00, 0x0F, 0x7F, 0x80, 0xBF, 0xFF}) {
      auto mutated = full;
      mutated[i] = static_cast<uint8_t>(value);
      RtpView v;
      if (ParseRtp(mutated, v) == RtpParseError::kOk) {
        EXPECT_LE(v.payload.data() + v.payload.size(), mutated.data() + mutated.size());
      }
    }
  }
}

}  // namespace
}  // namespace tandem::rtp
