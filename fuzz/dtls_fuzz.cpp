// The handshake intake: a session under test and an honest partner with the same key, and
// between them a path that the input controls: it delivers, alters, cuts, repeats or invents
// datagrams in either direction. Whatever arrives, nothing reads past a buffer, the first byte
// alone says what a datagram is, and two sessions that both got keys got the same ones: no
// input can key either side without the passphrase.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "net/Dtls.h"
#include "net/Srtp.h"

using namespace tandem::net;

namespace {

constexpr int kMaxSteps = 64;

DtlsConfig Config() {
  static const tandem::rtp::SrtpKey key = tandem::rtp::DeriveSrtpKey("fuzz", 1);
  return {std::vector<uint8_t>(key.begin(), key.end()), nullptr, {}};
}

void CheckKind(const std::vector<uint8_t>& d) {
  const DatagramKind kind = ClassifyDatagram(d);
  FUZZ_CHECK((kind == DatagramKind::Dtls) == (!d.empty() && d[0] >= 20 && d[0] <= 63));
  FUZZ_CHECK((kind == DatagramKind::Rtp) == (!d.empty() && d[0] >= 128 && d[0] <= 191));
}

void Deliver(DtlsSession& to, const std::vector<uint8_t>& d, int64_t now) {
  CheckKind(d);
  // Only DTLS reaches the handshake, as in the session.
  if (ClassifyDatagram(d) == DatagramKind::Dtls) to.OnDatagram(d, now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  DtlsSession us(Config()), partner(Config());
  int64_t now = 0;
  us.Start(now);
  if (in.ConsumeBool()) partner.Start(now);
  std::vector<std::vector<uint8_t>> toUs, toPartner, seen;

  for (int step = 0; step < kMaxSteps; ++step) {
    for (auto& d : us.TakeOutgoing()) toPartner.push_back(std::move(d));
    for (auto& d : partner.TakeOutgoing()) {
      if (seen.size() < 64) seen.push_back(d);
      toUs.push_back(std::move(d));
    }
    const int what = in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange(0, 6) : 0;
    switch (what) {
      case 0:  // one round both ways, intact
        for (auto& d : toUs) Deliver(us, d, now);
        for (auto& d : toPartner) Deliver(partner, d, now);
        toUs.clear();
        toPartner.clear();
        break;
      case 1:  // the next datagram for us, one byte altered
      case 2:  // ... or cut short
        if (!toUs.empty()) {
          std::vector<uint8_t> d = toUs.front();
          toUs.erase(toUs.begin());
          if (what == 1 && !d.empty()) {
            d[in.ConsumeIntegralInRange<size_t>(0, d.size() - 1)] ^=
                static_cast<uint8_t>(in.ConsumeIntegralInRange(1, 255));
          } else {
            d.resize(in.ConsumeIntegralInRange<size_t>(0, d.size()));
          }
          Deliver(us, d, now);
        }
        break;
      case 3:  // an old datagram of the partner's, again
        if (!seen.empty())
          Deliver(us, seen[in.ConsumeIntegralInRange<size_t>(0, seen.size() - 1)], now);
        break;
      case 4: {  // invented bytes, from the partner's address
        const std::vector<uint8_t> d = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 300));
        Deliver(us, d, now);
        break;
      }
      case 5:  // lost on the way
        if (!toUs.empty()) toUs.erase(toUs.begin());
        if (!toPartner.empty()) toPartner.erase(toPartner.begin());
        break;
      case 6:  // time passes: the retry after a failure, the silence after a Finished
        now += in.ConsumeIntegralInRange<int64_t>(0, 2'000'000);
        us.OnTimer(now);
        partner.OnTimer(now);
        break;
    }
    if (us.Connected() && partner.Connected() && us.Generation() == 1 &&
        partner.Generation() == 1) {
      const auto mine = us.TakeKeys(), theirs = partner.TakeKeys();
      if (mine && theirs) {
        FUZZ_CHECK(mine->local == theirs->remote && mine->remote == theirs->local);
        FUZZ_CHECK(mine->local.size() == 28 || mine->local.size() == 30);
      }
    }
  }
  return 0;
}
