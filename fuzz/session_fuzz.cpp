// A whole session's intake: data and control datagrams, raw or built around a few sources, in any
// order and at any pace, with our own sends and reports in between. Whatever arrives, the
// session keeps its bounds and everything it builds is well-formed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"
#include "rtp/SessionCore.h"

using namespace tandem::rtp;

namespace {

constexpr uint32_t kOwnSsrc = 0x5EED0001;
constexpr int kMaxSteps = 3000;

// One of a handful of sources, sometimes our own SSRC, so the fuzzer meets the same ones again.
uint32_t PickSsrc(FuzzedDataProvider& in) {
  const uint8_t pick = in.ConsumeIntegralInRange<uint8_t>(0, 7);
  return pick == 7 ? kOwnSsrc : 0xA0000000u + pick;
}

std::vector<uint8_t> BuiltData(FuzzedDataProvider& in) {
  RtpHeader h;
  h.marker = in.ConsumeBool();
  h.payloadType = in.ConsumeIntegral<uint8_t>();
  h.sequence = in.ConsumeIntegral<uint16_t>();
  h.timestamp = in.ConsumeIntegral<uint32_t>();
  h.ssrc = PickSsrc(in);
  std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 40));
  std::vector<uint8_t> out;
  BuildRtp(h, payload, out);
  return out;
}

std::vector<uint8_t> BuiltControl(FuzzedDataProvider& in) {
  std::vector<uint8_t> out;
  const uint32_t ssrc = PickSsrc(in);
  std::vector<ReportBlock> blocks(in.ConsumeIntegralInRange(0, 3));
  for (ReportBlock& b : blocks) {
    b.ssrc = in.ConsumeBool() ? kOwnSsrc : PickSsrc(in);
    b.cumulativeLost = in.ConsumeIntegral<int32_t>();
    b.highestSequence = in.ConsumeIntegral<uint32_t>();
    b.jitter = in.ConsumeIntegral<uint32_t>();
    b.lastSr = in.ConsumeIntegral<uint32_t>();
    b.delaySinceSr = in.ConsumeIntegral<uint32_t>();
  }
  if (in.ConsumeBool()) {
    SenderInfo info;
    info.ntp = in.ConsumeIntegral<uint64_t>();
    info.rtpTimestamp = in.ConsumeIntegral<uint32_t>();
    info.packetCount = in.ConsumeIntegral<uint32_t>();
    info.octetCount = in.ConsumeIntegral<uint32_t>();
    AppendSr(out, ssrc, info, blocks);
  } else {
    AppendRr(out, ssrc, blocks);
  }
  if (in.ConsumeBool()) AppendSdesCname(out, ssrc, in.ConsumeRandomLengthString(300));
  if (in.ConsumeBool()) {
    std::vector<uint32_t> leaving{ssrc};
    if (in.ConsumeBool()) leaving.push_back(PickSsrc(in));
    AppendBye(out, leaving, in.ConsumeRandomLengthString(20));
  }
  return out;
}

void CheckOwnReport(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  RtcpCompound c;
  FUZZ_CHECK(ParseRtcp(bytes, c) == RtcpParseError::kOk);
  FUZZ_CHECK(!c.reports.empty() && c.reports.front().ssrc == kOwnSsrc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  CoreConfig config;
  config.ssrc = kOwnSsrc;
  config.firstSequence = 65530;  // our own sequence wraps within a few sends
  config.firstTimestamp = 1;
  config.seed = 7;
  config.rtcpMinimumSeconds = in.ConsumeBool() ? 5 : 0.01;
  Micros now = 1'000'000;
  SessionCore core(config, now);
  core.SetTimestampUnit(0.001);
  core.AddDestination(0x7F000001, 3000);

  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    switch (in.ConsumeIntegralInRange(0, 8)) {
      case 0: {  // any bytes on the data port
        auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 120));
        core.OnData(bytes, now);
        break;
      }
      case 1: {  // any bytes on the control port
        auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 160));
        core.OnControl(bytes, now);
        break;
      }
      case 2:
        core.OnData(BuiltData(in), now);
        break;
      case 3:
        core.OnControl(BuiltControl(in), now);
        break;
      case 4:
        now += in.ConsumeIntegralInRange<Micros>(0, 40'000'000);
        break;
      case 5: {  // take what waits, as the session thread does every pass
        for (bool more = core.GotoFirstSourceWithData(); more;
             more = core.GotoNextSourceWithData()) {
          if (in.ConsumeBool()) core.SetCurrentSourceTimestampUnit(0.001);
          while (auto p = core.TakeNextPacket()) {
            FUZZ_CHECK(p->ssrc != kOwnSsrc);
            FUZZ_CHECK(p->payloadType < 128);
          }
        }
        break;
      }
      case 6:
        if (core.ReportDue(now)) CheckOwnReport(core.MakeReport(now));
        break;
      case 7: {  // we send a packet
        auto payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 36));
        std::vector<uint8_t> out;
        const uint8_t pt = in.ConsumeIntegralInRange<uint8_t>(0, 127);
        const uint16_t sequence = core.NextSequence();
        FUZZ_CHECK(core.BuildData(payload, pt, false, out) == kOk);
        RtpView v;
        FUZZ_CHECK(ParseRtp(out, v) == RtpParseError::kOk);
        FUZZ_CHECK(v.ssrc == kOwnSsrc && v.sequence == sequence && v.payloadType == pt);
        core.CommitSent(payload.size(), in.ConsumeIntegral<uint8_t>(), now);
        FUZZ_CHECK(core.NextSequence() == static_cast<uint16_t>(sequence + 1));
        break;
      }
      default:
        core.IncrementTimestamp(in.ConsumeIntegral<uint32_t>());
        break;
    }
    for (const SourceInfo& s : core.Sources()) {
      FUZZ_CHECK(s.ssrc != kOwnSsrc);
      FUZZ_CHECK(s.waiting <= kMaxWaitingPerSource);
    }
    FUZZ_CHECK(core.Sources().size() <= kMaxSources);
  }
  CheckOwnReport(core.MakeBye(now));
  return 0;
}
