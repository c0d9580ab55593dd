#include "midi/PortMatch.h"

#include <algorithm>
#include <cctype>

namespace tandem {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.size() <= 9 &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

PortPick Fail(std::string why) {
  PortPick p;
  p.error = std::move(why);
  return p;
}

PortPick Index(size_t i) {
  PortPick p;
  p.kind = PortPick::Kind::Port;
  p.index = static_cast<unsigned>(i);
  return p;
}

PortPick Virtual() {
  PortPick p;
  p.kind = PortPick::Kind::Virtual;
  return p;
}

std::string List(const std::vector<std::string>& ports) {
  if (ports.empty()) return "none";
  std::string s;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(i) + ": " + ports[i];
  }
  return s;
}

}  // namespace

bool IsThroughPort(const std::string& name) {
  return Lower(name).find("midi through") != std::string::npos;
}

bool IsOwnPort(const std::string& name, const std::string& clientName) {
  // RtMidi's clients, one a direction.
  for (const char* suffix : {"-in", "-out"}) {
    std::string client = clientName + suffix;
    if (StartsWith(name, client) && name.size() > client.size() &&
        (name[client.size()] == ':' || name[client.size()] == '-')) {
      return true;
    }
  }
  // Our JACK client, NAME or as JACK renames a second one, NAME-01.
  if (!StartsWith(name, clientName)) return false;
  size_t at = clientName.size();
  if (name.compare(at, 1, "-") == 0) {
    size_t digits = at + 1;
    while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits])) != 0) {
      ++digits;
    }
    if (digits == at + 1) return false;
    at = digits;
  }
  return name.compare(at, 1, ":") == 0;
}

PortPick ChoosePort(const std::vector<std::string>& ports, const PortChoice& choice,
                    PortDirection direction, const std::string& clientName) {
  const bool input = direction == PortDirection::Input;
  const char* what = input ? "input" : "output";
  switch (choice.kind) {
    case PortChoice::Kind::None:
      return Fail(std::string("no MIDI ") + what + " chosen");
    case PortChoice::Kind::Virtual:
      return Virtual();
    case PortChoice::Kind::Synth:
      return Fail("the built-in synthesizer is not a port of the MIDI system");
    case PortChoice::Kind::Default:
      for (size_t i = 0; i < ports.size(); ++i) {
        if (!IsThroughPort(ports[i]) && !IsOwnPort(ports[i], clientName)) return Index(i);
      }
      // Nothing to play to yet: a port of our own that a synthesizer can be connected to.
      if (!input) return Virtual();
      return Fail("no input port found");
    case PortChoice::Kind::Named:
      break;
  }
  const std::string& wanted = choice.name;
  if (AllDigits(wanted)) {
    size_t i = std::stoul(wanted);
    if (i < ports.size()) return Index(i);
    return Fail("no " + std::string(what) + " port number " + wanted + " (ports: " + List(ports) +
                ")");
  }
  // A port's full name picks that port, even when an earlier one has it inside its own name.
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i] == wanted && !IsOwnPort(ports[i], clientName)) return Index(i);
  }
  for (bool exactCase : {true, false}) {
    std::string needle = exactCase ? wanted : Lower(wanted);
    for (size_t i = 0; i < ports.size(); ++i) {
      if (IsOwnPort(ports[i], clientName)) continue;
      std::string hay = exactCase ? ports[i] : Lower(ports[i]);
      if (hay.find(needle) != std::string::npos) return Index(i);
    }
  }
  return Fail("no " + std::string(what) + " port matches '" + wanted + "' (ports: " + List(ports) +
              ")");
}

}  // namespace tandem
