// Clock sync (CK): starting and answering exchanges, and the offset between the partner's clock
// and ours that places its timestamps on our clock.
#include <cstdlib>

#include "rtpmidi/Session.h"

namespace tandem::rtpmidi {

namespace {

// A CK round trip longer than this is not believed.
constexpr int64_t kMaxRoundTripTicks = 10 * int64_t{kClockRate};
// Two clocks drift apart by up to 20 µs a second: one tick every this many microseconds.
constexpr int64_t kDriftUsPerTick = 5'000'000;

}  // namespace

void Session::SendClock(Port port, uint16_t toPort, uint8_t count, uint64_t t1, uint64_t t2,
                        uint64_t t3) {
  ClockPacket ck;
  ck.ssrc = config_.ssrc;
  ck.count = count;
  ck.timestamps[0] = t1, ck.timestamps[1] = t2, ck.timestamps[2] = t3;
  Push(port, partner_, toPort, BuildClockPacket(ck));
}

void Session::StartSync(int64_t now) {
  pendingCk_ = static_cast<uint64_t>(Ticks(now));
  ckOutstanding_ = true;
  SendClock(Port::kData, partnerData_, 0, pendingCk_, 0, 0);
}

int64_t Session::Drift(const Leg& leg, int64_t now) {
  return (now - leg.at) / kDriftUsPerTick;
}

void Session::OnClock(Port port, uint16_t fromPort, std::span<const uint8_t> bytes, int64_t now) {
  ClockPacket ck;
  if (!ParseClockPacket(bytes, ck)) {
    ++counters_.malformed;
    return;
  }
  if (state_ != State::kConnected) return;
  lastHeard_ = now;
  const uint64_t ours = static_cast<uint64_t>(Ticks(now));
  const auto* t = ck.timestamps;
  // An exchange gives a sample of each leg, our way out and the partner's way in, each shifted by
  // the offset between the clocks: out = leg + offset, in = leg - offset. An exchange's own offset
  // is off by half the difference of its two legs, up to milliseconds on a jittery path, and
  // taking each one moved the partner's notes by that much. So each leg keeps its least sample;
  // their half difference is the offset, which settles as the least legs are found, and holds.
  auto adopt = [&](int64_t out, int64_t in) {
    const int64_t roundTrip = out + in;
    if (roundTrip < 0 || roundTrip > kMaxRoundTripTicks) return;
    roundTripUs_ = roundTrip * kUsPerTick;
    const int64_t leastTrip = legOut_.least + legIn_.least;
    const bool jumped = offsetKnown_ && std::abs(out - in - 2 * offsetTicks_) >
                                            roundTrip + leastTrip + Drift(legOut_, now) * 2;
    if (!offsetKnown_ || jumped) legOut_ = {out, now}, legIn_ = {in, now};
    // A sample nearly as small replaces the least, by what the clocks may have drifted since.
    if (out <= legOut_.least + Drift(legOut_, now)) legOut_ = {out, now};
    if (in <= legIn_.least + Drift(legIn_, now)) legIn_ = {in, now};
    offsetKnown_ = true;
    offsetTicks_ = (legOut_.least - legIn_.least) / 2;
    partnerRef_ = Ticks(now) + offsetTicks_;
  };
  switch (ck.count) {
    case 0:
      lastPartnerSync_ = now;
      answeredCk_ = ours;
      ckAnswered_ = true;
      SendClock(port, fromPort, 1, t[0], ours, 0);
      break;
    case 1: {
      if (!ckOutstanding_ || t[0] != pendingCk_) return;
      ckOutstanding_ = false;
      lastSyncAnswer_ = now;
      SendClock(port, fromPort, 2, t[0], t[1], ours);
      adopt(static_cast<int64_t>(t[1] - t[0]), static_cast<int64_t>(ours - t[1]));
      break;
    }
    case 2: {
      if (!ckAnswered_ || t[1] != answeredCk_) return;
      ckAnswered_ = false;
      adopt(static_cast<int64_t>(t[2] - t[1]), static_cast<int64_t>(t[1] - t[0]));
      break;
    }
  }
}

}  // namespace tandem::rtpmidi
