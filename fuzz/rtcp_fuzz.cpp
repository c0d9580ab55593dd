// The RTCP compound parser on any datagram. A compound it accepts, rebuilt from what it read,
// must parse back to the same reports, source descriptions and goodbyes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "rtp/Rtcp.h"

using namespace tandem::rtp;

namespace {

bool SameBlocks(const std::vector<ReportBlock>& a, const std::vector<ReportBlock>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].ssrc != b[i].ssrc || a[i].fractionLost != b[i].fractionLost ||
        a[i].cumulativeLost != b[i].cumulativeLost ||
        a[i].highestSequence != b[i].highestSequence || a[i].jitter != b[i].jitter ||
        a[i].lastSr != b[i].lastSr || a[i].delaySinceSr != b[i].delaySinceSr) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copied, so a read past the end is a read past a heap block that ASan sees.
  std::vector<uint8_t> datagram(data, data + size);
  RtcpCompound parsed;
  if (ParseRtcp(datagram, parsed) != RtcpParseError::kOk) {
    return 0;
  }
  FUZZ_CHECK(parsed.size == size && size % 4 == 0);
  FUZZ_CHECK(!parsed.reports.empty());  // a compound starts with SR or RR
  for (const RtcpReport& r : parsed.reports) FUZZ_CHECK(r.blocks.size() <= kMaxReportBlocks);
  for (const RtcpBye& b : parsed.byes) FUZZ_CHECK(b.ssrcs.size() <= 31 && b.reason.size() <= 255);
  for (const SdesChunk& c : parsed.sdes) FUZZ_CHECK(c.cname.size() <= 255);

  std::vector<uint8_t> rebuilt;
  for (const RtcpReport& r : parsed.reports) {
    if (r.isSender) {
      AppendSr(rebuilt, r.ssrc, r.sender, r.blocks);
    } else {
      AppendRr(rebuilt, r.ssrc, r.blocks);
    }
  }
  for (const SdesChunk& c : parsed.sdes) AppendSdesCname(rebuilt, c.ssrc, c.cname);
  for (const RtcpBye& b : parsed.byes) AppendBye(rebuilt, b.ssrcs, b.reason);

  RtcpCompound again;
  FUZZ_CHECK(ParseRtcp(rebuilt, again) == RtcpParseError::kOk);
  FUZZ_CHECK(again.reports.size() == parsed.reports.size());
  for (size_t i = 0; i < parsed.reports.size(); ++i) {
    const RtcpReport& a = parsed.reports[i];
    const RtcpReport& b = again.reports[i];
    FUZZ_CHECK(a.ssrc == b.ssrc && a.isSender == b.isSender);
    FUZZ_CHECK(a.sender.ntp == b.sender.ntp && a.sender.rtpTimestamp == b.sender.rtpTimestamp);
    FUZZ_CHECK(a.sender.packetCount == b.sender.packetCount &&
               a.sender.octetCount == b.sender.octetCount);
    FUZZ_CHECK(SameBlocks(a.blocks, b.blocks));
  }
  FUZZ_CHECK(again.sdes.size() == parsed.sdes.size());
  for (size_t i = 0; i < parsed.sdes.size(); ++i) {
    FUZZ_CHECK(again.sdes[i].ssrc == parsed.sdes[i].ssrc);
    FUZZ_CHECK(again.sdes[i].cname == parsed.sdes[i].cname);
  }
  FUZZ_CHECK(again.byes.size() == parsed.byes.size());
  for (size_t i = 0; i < parsed.byes.size(); ++i) {
    FUZZ_CHECK(again.byes[i].ssrcs == parsed.byes[i].ssrcs);
    FUZZ_CHECK(again.byes[i].reason == parsed.byes[i].reason);
  }
  return 0;
}
