// The protected intake: datagrams opened with SRTP/SRTCP, then parsed and decoded as the session
// thread would. Any bytes, and packets sealed under the shared key then altered, cut or sent
// again. Whatever arrives: an altered or replayed datagram never opens, one that opens is exactly
// what was sealed, and nothing reads past a buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "FuzzCheck.h"
#include "rtp/Rtcp.h"
#include "rtp/RtpPacket.h"
#include "net/Srtp.h"
#include "transport/Payload.h"

using namespace tandem::rtp;

namespace {

constexpr uint32_t kPartnerSsrc = 0xA0000001;
constexpr int kMaxSteps = 200;

const SrtpKey& Key() {
  static const SrtpKey key = DeriveSrtpKey("fuzz", 1);
  return key;
}

// What the session thread does with an opened datagram.
void Decode(std::span<const uint8_t> bytes, bool control) {
  if (control) {
    RtcpCompound c;
    ParseRtcp(bytes, c);
    return;
  }
  RtpView v;
  if (ParseRtp(bytes, v) != RtpParseError::kOk) return;
  // Copied, so a read past the payload is a read past a heap block that ASan sees.
  std::vector<uint8_t> payload(v.payload.begin(), v.payload.end());
  tandem::Decode(v.payloadType, payload, v.timestamp, v.sequence, v.ssrc, 0);
}

struct Sealed {
  std::vector<uint8_t> plain, wire;
  bool control = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  SrtpContext partner(Key(), kPartnerSsrc);  // seals as the partner would
  SrtpContext us(Key(), 0x5EED0001);         // opens what arrives
  std::vector<Sealed> sent;
  std::set<std::vector<uint8_t>> opened;  // wire bytes that opened once
  uint16_t sequence = in.ConsumeIntegral<uint16_t>();

  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    const int what = in.ConsumeIntegralInRange(0, 3);
    std::vector<uint8_t> wire;
    const Sealed* origin = nullptr;
    bool altered = false;
    bool control = in.ConsumeBool();
    if (what == 0) {  // any bytes
      wire = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 200));
    } else if (what == 1) {  // a packet the partner seals
      Sealed s;
      s.control = control;
      if (control) {
        AppendRr(s.plain, kPartnerSsrc, {});
        if (in.ConsumeBool()) AppendSdesCname(s.plain, kPartnerSsrc, "partner@host");
      } else {
        sequence = static_cast<uint16_t>(sequence + in.ConsumeIntegralInRange(0, 3));
        RtpHeader h{false, static_cast<uint8_t>(in.ConsumeIntegral<uint8_t>() & 0x7F), sequence,
                    in.ConsumeIntegral<uint32_t>(), kPartnerSsrc};
        BuildRtp(h, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 110)), s.plain);
      }
      s.wire = s.plain;
      const bool ok = control ? partner.ProtectRtcp(s.wire) : partner.ProtectRtp(s.wire);
      if (!ok) continue;  // libsrtp refuses an index it already used: nothing to deliver
      sent.push_back(s);
      origin = &sent.back();
      wire = s.wire;
    } else if (!sent.empty()) {  // one sent before: again, or altered
      origin = &sent[in.ConsumeIntegralInRange<size_t>(0, sent.size() - 1)];
      control = origin->control;
      wire = origin->wire;
      if (what == 3 && !wire.empty()) {
        if (in.ConsumeBool()) {
          wire.resize(in.ConsumeIntegralInRange<size_t>(0, wire.size() - 1));
        } else {
          wire[in.ConsumeIntegralInRange<size_t>(0, wire.size() - 1)] ^=
              in.ConsumeIntegralInRange<uint8_t>(1, 255);
        }
        altered = true;
      }
    } else {
      continue;
    }
    std::vector<uint8_t> buffer = wire;  // opened in place, as the session does
    const auto length = control ? us.UnprotectRtcp(buffer) : us.UnprotectRtp(buffer);
    if (!length) continue;
    FUZZ_CHECK(*length <= wire.size());
    if (origin) {
      FUZZ_CHECK(!altered);
      FUZZ_CHECK(opened.insert(wire).second);  // never twice
      FUZZ_CHECK(std::vector<uint8_t>(buffer.begin(), buffer.begin() + *length) == origin->plain);
    }
    Decode(std::span<const uint8_t>(buffer).first(*length), control);
  }
  return 0;
}
