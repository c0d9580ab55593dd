// The command line of tandem-relay.
#pragma once

#include <string>
#include <vector>

#include "relay/LossyRelay.h"

namespace tandem::relay {

struct RelayOptions {
  PeerPorts ports;
  Impairments impairments;
  int statsMs = 0;    // print the counters this often; 0: only at exit
  bool ipv6 = false;  // on ::1 rather than 127.0.0.1
  bool help = false;
};

// Parses the arguments after the program name. Throws std::invalid_argument with a message for
// the user on an unknown option, a missing or malformed value, or a value out of range.
RelayOptions ParseRelayOptions(const std::vector<std::string>& args);
std::string RelayUsage();
std::string FormatCounters(const LinkCounters& counters);

}  // namespace tandem::relay
