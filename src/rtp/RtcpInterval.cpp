#include "rtp/RtcpInterval.h"

#include <algorithm>

namespace tandem::rtp {

double DeterministicRtcpInterval(const RtcpIntervalInput& in) {
  // RFC 3550 6.2: the first report waits half the minimum, so a new member is seen sooner.
  double minimum = in.minimumSeconds;
  if (in.initial) minimum /= 2;

  // RFC 3550 6.2: when senders are at most a quarter of the members, they share a quarter of
  // the report bandwidth and the receivers the rest.
  double bandwidth = std::max(in.rtcpBandwidth, 1.0);
  double n = std::max(in.members, 1);
  const int senders = std::clamp(in.senders, 0, std::max(in.members, 1));
  if (senders <= n * 0.25) {
    if (in.weSent) {
      bandwidth *= 0.25;
      n = std::max(senders, 1);
    } else {
      bandwidth *= 0.75;
      n -= senders;
    }
  }
  const double t = std::max(in.averageRtcpSize, 1.0) * n / bandwidth;
  return std::max(t, minimum);
}

double RandomisedRtcpInterval(const RtcpIntervalInput& in, double unit01) {
  // RFC 3550 6.3.1: spread reports over [0.5, 1.5] Td so members do not synchronise.
  return DeterministicRtcpInterval(in) * (std::clamp(unit01, 0.0, 1.0) + 0.5);
}

}  // namespace tandem::rtp
