// The RTP fixed-header parser on any datagram. What it accepts must lie inside the datagram, and
// a plain header built from what it read must parse back to the same fields.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "rtp/RtpPacket.h"

using namespace tandem::rtp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copied, so a read past the end is a read past a heap block that ASan sees.
  std::vector<uint8_t> datagram(data, data + size);
  RtpView view;
  if (ParseRtp(datagram, view) != RtpParseError::kOk) return 0;

  FUZZ_CHECK(size >= kRtpHeaderSize);
  FUZZ_CHECK(view.payloadType < 128 && view.csrcCount < 16);
  if (!view.payload.empty()) {
    FUZZ_CHECK(view.payload.data() >= datagram.data() + kRtpHeaderSize);
    FUZZ_CHECK(view.payload.data() + view.payload.size() <= datagram.data() + datagram.size());
  }
  FUZZ_CHECK(view.payload.size() <= size - kRtpHeaderSize - size_t{view.csrcCount} * 4);

  std::vector<uint8_t> rebuilt;
  BuildRtp({view.marker, view.payloadType, view.sequence, view.timestamp, view.ssrc}, view.payload,
           rebuilt);
  FUZZ_CHECK(rebuilt.size() == kRtpHeaderSize + view.payload.size());
  if (view.csrcCount == 0 && !view.hasExtension && (datagram[0] & 0x20) == 0) {
    FUZZ_CHECK(rebuilt == datagram);
  }
  RtpView again;
  FUZZ_CHECK(ParseRtp(rebuilt, again) == RtpParseError::kOk);
  FUZZ_CHECK(again.marker == view.marker && again.payloadType == view.payloadType);
  FUZZ_CHECK(again.sequence == view.sequence && again.timestamp == view.timestamp);
  FUZZ_CHECK(again.ssrc == view.ssrc && again.csrcCount == 0 && !again.hasExtension);
  FUZZ_CHECK(std::vector<uint8_t>(again.payload.begin(), again.payload.end()) ==
             std::vector<uint8_t>(view.payload.begin(), view.payload.end()));
  return 0;
}
