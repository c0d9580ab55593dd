// RTCP packets (RFC 3550 6.4-6.7): building our compound reports and parsing received ones.
// A received compound is checked whole before anything in it is used (RFC 3550 A.2): one bad
// length anywhere drops the datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tandem::rtp {

enum RtcpType : uint8_t {
  kRtcpSr = 200,
  kRtcpRr = 201,
  kRtcpSdes = 202,
  kRtcpBye = 203,
  kRtcpApp = 204,
};

inline constexpr uint8_t kSdesEnd = 0;
inline constexpr uint8_t kSdesCname = 1;
// A report packet carries at most 31 blocks: its count field has 5 bits.
inline constexpr size_t kMaxReportBlocks = 31;

struct SenderInfo {
  uint64_t ntp = 0;  // 32.32 fixed point seconds since 1900
  uint32_t rtpTimestamp = 0;
  uint32_t packetCount = 0;
  uint32_t octetCount = 0;
};

struct ReportBlock {
  uint32_t ssrc = 0;
  uint8_t fractionLost = 0;
  int32_t cumulativeLost = 0;  // 24-bit signed on the wire
  uint32_t highestSequence = 0;
  uint32_t jitter = 0;
  uint32_t lastSr = 0;        // middle 32 bits of the last SR's NTP time
  uint32_t delaySinceSr = 0;  // in 1/65536 s
};

struct RtcpReport {
  uint32_t ssrc = 0;
  bool isSender = false;
  SenderInfo sender;
  std::vector<ReportBlock> blocks;
};

struct SdesChunk {
  uint32_t ssrc = 0;
  std::string cname;  // empty when the chunk has none
};

struct RtcpBye {
  std::vector<uint32_t> ssrcs;
  std::string reason;
};

struct RtcpApp {
  uint32_t ssrc = 0;
  uint8_t subtype = 0;
  std::array<char, 4> name{};
  std::vector<uint8_t> data;
};

struct RtcpCompound {
  std::vector<RtcpReport> reports;
  std::vector<SdesChunk> sdes;
  std::vector<RtcpBye> byes;
  std::vector<RtcpApp> apps;
  int unknownPackets = 0;  // well-formed packets of a type we do not use
  size_t size = 0;         // bytes of the whole compound
};

enum class RtcpParseError {
  kOk,
  kShort,        // fewer than 4 bytes, or not a whole number of 32-bit words
  kBadVersion,   // a packet that is not version 2
  kBadFirst,     // the compound does not start with SR or RR, or its first packet is padded
  kBadLength,    // a length field runs past the datagram
  kBadPadding,   // padding on a packet that is not the last, or a bad padding count
  kTruncatedSr,  // a packet too short for what its count says it holds
  kTruncatedRr,
  kTruncatedSdes,
  kTruncatedBye,
  kTruncatedApp,
};

RtcpParseError ParseRtcp(std::span<const uint8_t> datagram, RtcpCompound& out);

// Builders: each appends one whole RTCP packet to out. Blocks beyond 31 are left out.
void AppendSr(std::vector<uint8_t>& out, uint32_t ssrc, const SenderInfo& info,
              std::span<const ReportBlock> blocks);
void AppendRr(std::vector<uint8_t>& out, uint32_t ssrc, std::span<const ReportBlock> blocks);
// One chunk with a CNAME item (cut to 255 bytes).
void AppendSdesCname(std::vector<uint8_t>& out, uint32_t ssrc, const std::string& cname);
void AppendBye(std::vector<uint8_t>& out, std::span<const uint32_t> ssrcs,
               const std::string& reason = {});

}  // namespace tandem::rtp
