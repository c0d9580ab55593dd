#include "relay/RelayOptions.h"

#include <limits>
#include <sstream>
#include <stdexcept>

namespace tandem::relay {

namespace {

double ParseRate(const std::string& option, const std::string& text) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || !(value >= 0.0 && value <= 1.0)) {
    throw std::invalid_argument(option + " wants a rate between 0 and 1, not \"" + text + "\"");
  }
  return value;
}

uint64_t ParseUnsigned(const std::string& option, const std::string& text, uint64_t max) {
  uint64_t value = 0;
  bool ok = !text.empty() && text.size() <= 20;
  for (char c : text) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      ok = false;
      break;
    }
    value = value * 10 + digit;
  }
  if (!ok) {
    throw std::invalid_argument(option + " wants a whole number from 0 to " + std::to_string(max) +
                                ", not \"" + text + "\"");
  }
  return value;
}

uint16_t ParsePort(const std::string& option, const std::string& text) {
  uint64_t port = ParseUnsigned(option, text, 65534);
  if (port == 0) throw std::invalid_argument(option + " wants a port from 1 to 65534");
  return static_cast<uint16_t>(port);
}

}  // namespace

RelayOptions ParseRelayOptions(const std::vector<std::string>& args) {
  RelayOptions options;
  bool haveA = false;
  bool haveB = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    if (option == "--ipv6") {
      options.ipv6 = true;
      continue;
    }
    std::string value;
    if (auto equals = option.find('='); option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw std::invalid_argument(option.rfind("--", 0) == 0
                                      ? option + " needs a value"
                                      : "unexpected argument \"" + option + "\"");
    }
    Impairments& imp = options.impairments;
    if (option == "--a-port") {
      options.ports.aPort = ParsePort(option, value);
      haveA = true;
    } else if (option == "--b-port") {
      options.ports.bPort = ParsePort(option, value);
      haveB = true;
    } else if (option == "--relay-a") {
      options.ports.relayA = ParsePort(option, value);
    } else if (option == "--relay-b") {
      options.ports.relayB = ParsePort(option, value);
    } else if (option == "--loss") {
      imp.loss = ParseRate(option, value);
    } else if (option == "--dup") {
      imp.duplicate = ParseRate(option, value);
    } else if (option == "--reorder") {
      imp.reorder = ParseRate(option, value);
    } else if (option == "--delay-ms") {
      imp.delayMs = static_cast<int>(ParseUnsigned(option, value, 60000));
    } else if (option == "--jitter-ms") {
      imp.jitterMs = static_cast<int>(ParseUnsigned(option, value, 60000));
    } else if (option == "--hold-ms") {
      imp.holdMs = static_cast<int>(ParseUnsigned(option, value, 60000));
    } else if (option == "--seed") {
      imp.seed = ParseUnsigned(option, value, std::numeric_limits<uint64_t>::max());
    } else if (option == "--stats-ms") {
      options.statsMs = static_cast<int>(ParseUnsigned(option, value, 3600000));
    } else {
      throw std::invalid_argument("unknown option \"" + option + "\"");
    }
  }
  if (options.help) return options;
  if (!haveA || !haveB) throw std::invalid_argument("--a-port and --b-port are required");
  return options;
}

std::string RelayUsage() {
  return "usage: tandem-relay --a-port PA --b-port PB [--relay-a RA] [--relay-b RB]\n"
         "                    [--loss R] [--dup R] [--reorder R] [--delay-ms MS]\n"
         "                    [--jitter-ms MS] [--hold-ms MS] [--seed N] [--stats-ms MS]\n"
         "                    [--ipv6]\n"
         "Peer A listens on PA and PA+1 and sends to RA; peer B listens on PB and PB+1 and\n"
         "sends to RB. The relay forwards RA, RA+1 to PB, PB+1 and RB, RB+1 to PA, PA+1, all on\n"
         "127.0.0.1 (::1 with --ipv6), losing, duplicating and reordering datagrams at the\n"
         "given rates (0 to 1) and delaying them by MS plus up to the jitter. A relay port left\n"
         "out is chosen free.\n";
}

std::string FormatCounters(const LinkCounters& c) {
  std::ostringstream out;
  out << "received " << c.received << ", forwarded " << c.forwarded << ", dropped " << c.dropped
      << ", duplicated " << c.duplicated << ", reordered " << c.reordered;
  if (c.overflow) out << ", overflow " << c.overflow;
  if (c.sendErrors) out << ", send errors " << c.sendErrors;
  return out.str();
}

}  // namespace tandem::relay
