// How long to wait between our RTCP reports (RFC 3550 6.2, 6.3.1 and A.7).
#pragma once

namespace tandem::rtp {

struct RtcpIntervalInput {
  int members = 1;               // participants, ourselves included
  int senders = 0;               // participants that sent data lately, ourselves included
  double rtcpBandwidth = 500;    // bytes per second shared by all reports
  double averageRtcpSize = 100;  // bytes, UDP and IP headers included
  bool weSent = false;           // we sent data in the last two report intervals
  bool initial = false;          // no report of ours has gone out yet
  double minimumSeconds = 5;     // RFC 3550 6.2: reports at most every 5 s
};

// The deterministic interval Td in seconds, before randomisation.
double DeterministicRtcpInterval(const RtcpIntervalInput& in);

// The interval to wait: Td scaled by a factor drawn from [0.5, 1.5). unit01 is a random value in
// [0, 1). There is no timer reconsideration, so no compensation factor either (RFC 3550 6.3.1).
double RandomisedRtcpInterval(const RtcpIntervalInput& in, double unit01);

}  // namespace tandem::rtp
