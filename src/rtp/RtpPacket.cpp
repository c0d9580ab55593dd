#include "rtp/RtpPacket.h"

#include "platform/Bytes.h"

namespace tandem::rtp {

RtpParseError ParseRtp(std::span<const uint8_t> datagram, RtpView& out) {
  if (datagram.size() < kRtpHeaderSize) return RtpParseError::kShort;
  ByteReader r(datagram);
  const uint8_t b0 = r.U8();
  const uint8_t b1 = r.U8();
  if (b0 >> 6 != kRtpVersion) return RtpParseError::kBadVersion;
  const bool padding = (b0 & 0x20) != 0;
  out.hasExtension = (b0 & 0x10) != 0;
  out.csrcCount = b0 & 0x0f;
  out.marker = (b1 & 0x80) != 0;
  out.payloadType = b1 & 0x7f;
  out.sequence = r.U16Be();
  out.timestamp = r.U32Be();
  out.ssrc = r.U32Be();
  if (!r.Skip(size_t{out.csrcCount} * 4)) return RtpParseError::kBadCsrc;
  if (out.hasExtension) {
    r.U16Be();  // profile-defined
    const size_t words = r.U16Be();
    if (!r.Ok() || !r.Skip(words * 4)) return RtpParseError::kBadExtension;
  }
  size_t payloadSize = r.Remaining();
  if (padding) {
    // RFC 3550 5.1: the last octet counts the padding, itself included.
    const uint8_t count = datagram.back();
    if (count == 0 || count > payloadSize) return RtpParseError::kBadPadding;
    payloadSize -= count;
  }
  out.payload = r.Bytes(payloadSize);
  return RtpParseError::kOk;
}

void BuildRtp(const RtpHeader& header, std::span<const uint8_t> payload,
              std::vector<uint8_t>& out) {
  ByteWriter w(out);
  w.U8(kRtpVersion << 6);
  w.U8(static_cast<uint8_t>((header.marker ? 0x80 : 0) | (header.payloadType & 0x7f)));
  w.U16Be(header.sequence);
  w.U32Be(header.timestamp);
  w.U32Be(header.ssrc);
  w.Bytes(payload);
}

}  // namespace tandem::rtp
