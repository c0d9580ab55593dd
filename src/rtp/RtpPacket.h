// The RTP fixed header (RFC 3550 5.1): parsing a received datagram and building one to send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tandem::rtp {

inline constexpr uint8_t kRtpVersion = 2;
inline constexpr size_t kRtpHeaderSize = 12;
// The largest UDP payload over IPv4, and so the largest RTP payload we can send.
inline constexpr size_t kMaxUdpPayload = 65507;
inline constexpr size_t kMaxRtpPayload = kMaxUdpPayload - kRtpHeaderSize;

enum class RtpParseError {
  kOk,
  kShort,         // fewer bytes than the fixed header
  kBadVersion,    // not version 2
  kBadCsrc,       // the CSRC list runs past the datagram
  kBadExtension,  // the header extension runs past the datagram
  kBadPadding,    // a padding count of 0 or longer than what follows the header
};

// A parsed data packet. The payload is a view into the datagram it was parsed from.
struct RtpView {
  bool marker = false;
  uint8_t payloadType = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  uint8_t csrcCount = 0;
  bool hasExtension = false;
  std::span<const uint8_t> payload;
};

RtpParseError ParseRtp(std::span<const uint8_t> datagram, RtpView& out);

struct RtpHeader {
  bool marker = false;
  uint8_t payloadType = 0;  // 7 bits; higher bits are dropped
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
};

// Appends a version-2 header (no padding, extension or CSRC) and the payload to out.
void BuildRtp(const RtpHeader& header, std::span<const uint8_t> payload, std::vector<uint8_t>& out);

}  // namespace tandem::rtp
