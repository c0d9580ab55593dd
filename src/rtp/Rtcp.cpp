#include "rtp/Rtcp.h"

#include <algorithm>

#include "platform/Bytes.h"

namespace tandem::rtp {
namespace {

constexpr size_t kReportBlockSize = 24;
constexpr size_t kSenderInfoSize = 20;

// Writes a packet's common header with a placeholder length; FinishPacket fills the length in.
size_t BeginPacket(std::vector<uint8_t>& out, uint8_t count, uint8_t type) {
  const size_t start = out.size();
  ByteWriter w(out);
  w.U8(static_cast<uint8_t>(2 << 6 | (count & 0x1f)));
  w.U8(type);
  w.U16Be(0);
  return start;
}

void FinishPacket(std::vector<uint8_t>& out, size_t start) {
  while ((out.size() - start) % 4 != 0) out.push_back(0);
  const size_t words = (out.size() - start) / 4 - 1;
  out[start + 2] = static_cast<uint8_t>(words >> 8);
  out[start + 3] = static_cast<uint8_t>(words);
}

void WriteBlocks(ByteWriter& w, std::span<const ReportBlock> blocks) {
  for (const ReportBlock& b : blocks) {
    w.U32Be(b.ssrc);
    const int32_t lost = std::clamp(b.cumulativeLost, -0x800000, 0x7fffff);
    w.U32Be(uint32_t{b.fractionLost} << 24 | (static_cast<uint32_t>(lost) & 0xffffff));
    w.U32Be(b.highestSequence);
    w.U32Be(b.jitter);
    w.U32Be(b.lastSr);
    w.U32Be(b.delaySinceSr);
  }
}

void ReadBlocks(ByteReader& r, size_t count, std::vector<ReportBlock>& blocks) {
  for (size_t i = 0; i < count; ++i) {
    ReportBlock b;
    b.ssrc = r.U32Be();
    const uint32_t word = r.U32Be();
    b.fractionLost = static_cast<uint8_t>(word >> 24);
    // Sign-extend the 24-bit count.
    b.cumulativeLost = static_cast<int32_t>(word << 8) >> 8;
    b.highestSequence = r.U32Be();
    b.jitter = r.U32Be();
    b.lastSr = r.U32Be();
    b.delaySinceSr = r.U32Be();
    blocks.push_back(b);
  }
}

RtcpParseError ParseSdes(std::span<const uint8_t> body, size_t chunks, RtcpCompound& out) {
  ByteReader r(body);
  for (size_t c = 0; c < chunks; ++c) {
    const size_t chunkStart = r.Position();
    SdesChunk chunk;
    chunk.ssrc = r.U32Be();
    for (;;) {
      const uint8_t type = r.U8();
      if (!r.Ok()) return RtcpParseError::kTruncatedSdes;
      if (type == kSdesEnd) break;
      const uint8_t length = r.U8();
      auto text = r.Bytes(length);
      if (!r.Ok()) return RtcpParseError::kTruncatedSdes;
      if (type == kSdesCname) chunk.cname.assign(text.begin(), text.end());
    }
    // RFC 3550 6.5: each chunk ends on a 32-bit boundary, padded with null octets.
    const size_t used = r.Position() - chunkStart;
    if (!r.Skip((4 - used % 4) % 4)) return RtcpParseError::kTruncatedSdes;
    out.sdes.push_back(std::move(chunk));
  }
  return RtcpParseError::kOk;
}

RtcpParseError ParseOne(uint8_t type, uint8_t count, std::span<const uint8_t> body,
                        RtcpCompound& out) {
  ByteReader r(body);
  switch (type) {
    case kRtcpSr:
    case kRtcpRr: {
      const bool isSender = type == kRtcpSr;
      const size_t need = 4 + (isSender ? kSenderInfoSize : 0) + count * kReportBlockSize;
      if (body.size() < need) {
        return isSender ? RtcpParseError::kTruncatedSr : RtcpParseError::kTruncatedRr;
      }
      RtcpReport report;
      report.isSender = isSender;
      report.ssrc = r.U32Be();
      if (isSender) {
        const uint64_t high = r.U32Be();
        report.sender.ntp = high << 32 | r.U32Be();
        report.sender.rtpTimestamp = r.U32Be();
        report.sender.packetCount = r.U32Be();
        report.sender.octetCount = r.U32Be();
      }
      // Anything after the blocks is a profile-specific extension, which we do not use.
      ReadBlocks(r, count, report.blocks);
      out.reports.push_back(std::move(report));
      return RtcpParseError::kOk;
    }
    case kRtcpSdes:
      return ParseSdes(body, count, out);
    case kRtcpBye: {
      RtcpBye bye;
      for (size_t i = 0; i < count; ++i) bye.ssrcs.push_back(r.U32Be());
      if (!r.Ok()) return RtcpParseError::kTruncatedBye;
      if (r.Remaining() > 0) {
        const uint8_t length = r.U8();
        auto text = r.Bytes(length);
        if (!r.Ok()) return RtcpParseError::kTruncatedBye;
        bye.reason.assign(text.begin(), text.end());
      }
      out.byes.push_back(std::move(bye));
      return RtcpParseError::kOk;
    }
    case kRtcpApp: {
      if (body.size() < 8) return RtcpParseError::kTruncatedApp;
      RtcpApp app;
      app.subtype = count;
      app.ssrc = r.U32Be();
      auto name = r.Bytes(4);
      std::copy(name.begin(), name.end(), app.name.begin());
      auto data = r.Bytes(r.Remaining());
      app.data.assign(data.begin(), data.end());
      out.apps.push_back(std::move(app));
      return RtcpParseError::kOk;
    }
    default:
      ++out.unknownPackets;
      return RtcpParseError::kOk;
  }
}

}  // namespace

RtcpParseError ParseRtcp(std::span<const uint8_t> datagram, RtcpCompound& out) {
  out = RtcpCompound{};
  if (datagram.size() < 4 || datagram.size() % 4 != 0) return RtcpParseError::kShort;
  ByteReader r(datagram);
  bool first = true;
  while (r.Remaining() > 0) {
    const uint8_t b0 = r.U8();
    const uint8_t type = r.U8();
    const size_t length = (size_t{r.U16Be()} + 1) * 4;  // whole packet, header included
    if (!r.Ok()) return RtcpParseError::kShort;
    if (b0 >> 6 != 2) return RtcpParseError::kBadVersion;
    const bool padding = (b0 & 0x20) != 0;
    const uint8_t count = b0 & 0x1f;
    // RFC 3550 A.2: a compound starts with an unpadded SR or RR.
    if (first && ((type != kRtcpSr && type != kRtcpRr) || padding)) {
      return RtcpParseError::kBadFirst;
    }
    first = false;
    auto body = r.Bytes(length - 4);
    if (!r.Ok()) return RtcpParseError::kBadLength;
    if (padding) {
      // Only the last packet of a compound may be padded; the last octet counts the padding.
      if (r.Remaining() != 0 || body.empty()) return RtcpParseError::kBadPadding;
      const uint8_t pad = body.back();
      if (pad == 0 || pad > body.size()) return RtcpParseError::kBadPadding;
      body = body.first(body.size() - pad);
    }
    const RtcpParseError e = ParseOne(type, count, body, out);
    if (e != RtcpParseError::kOk) return e;
  }
  out.size = datagram.size();
  return RtcpParseError::kOk;
}

void AppendSr(std::vector<uint8_t>& out, uint32_t ssrc, const SenderInfo& info,
              std::span<const ReportBlock> blocks) {
  blocks = blocks.first(std::min(blocks.size(), kMaxReportBlocks));
  const size_t start = BeginPacket(out, static_cast<uint8_t>(blocks.size()), kRtcpSr);
  ByteWriter w(out);
  w.U32Be(ssrc);
  w.U32Be(static_cast<uint32_t>(info.ntp >> 32));
  w.U32Be(static_cast<uint32_t>(info.ntp));
  w.U32Be(info.rtpTimestamp);
  w.U32Be(info.packetCount);
  w.U32Be(info.octetCount);
  WriteBlocks(w, blocks);
  FinishPacket(out, start);
}

void AppendRr(std::vector<uint8_t>& out, uint32_t ssrc, std::span<const ReportBlock> blocks) {
  blocks = blocks.first(std::min(blocks.size(), kMaxReportBlocks));
  const size_t start = BeginPacket(out, static_cast<uint8_t>(blocks.size()), kRtcpRr);
  ByteWriter w(out);
  w.U32Be(ssrc);
  WriteBlocks(w, blocks);
  FinishPacket(out, start);
}

void AppendSdesCname(std::vector<uint8_t>& out, uint32_t ssrc, const std::string& cname) {
  const size_t start = BeginPacket(out, 1, kRtcpSdes);
  ByteWriter w(out);
  w.U32Be(ssrc);
  const size_t length = std::min<size_t>(cname.size(), 255);
  w.U8(kSdesCname);
  w.U8(static_cast<uint8_t>(length));
  w.Bytes(std::span(reinterpret_cast<const uint8_t*>(cname.data()), length));
  // The item list ends with at least one null octet, then pads to a 32-bit boundary.
  w.U8(kSdesEnd);
  FinishPacket(out, start);
}

void AppendBye(std::vector<uint8_t>& out, std::span<const uint32_t> ssrcs,
               const std::string& reason) {
  ssrcs = ssrcs.first(std::min<size_t>(ssrcs.size(), 31));
  const size_t start = BeginPacket(out, static_cast<uint8_t>(ssrcs.size()), kRtcpBye);
  ByteWriter w(out);
  for (uint32_t s : ssrcs) w.U32Be(s);
  if (!reason.empty()) {
    const size_t length = std::min<size_t>(reason.size(), 255);
    w.U8(static_cast<uint8_t>(length));
    w.Bytes(std::span(reinterpret_cast<const uint8_t*>(reason.data()), length));
  }
  FinishPacket(out, start);
}

}  // namespace tandem::rtp
