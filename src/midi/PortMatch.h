// Which port of the MIDI system a PortChoice means: pure rules on the list of port names, so they
// are the same for every backend and testable without one.
#pragma once

#include <string>
#include <vector>

#include "midi/Midi.h"

namespace tandem {

enum class PortDirection { Input, Output };

struct PortPick {
  enum class Kind { Port, Virtual, Error } kind = Kind::Error;
  unsigned index = 0;  // Port: position in the list
  std::string error;   // Error: why no port fits, for the user
};

// The system's own loop-back port, which only echoes what other programs send it.
bool IsThroughPort(const std::string& name);
// A port of one of our own clients: JACK's NAME (or its renamed NAME-01...), RtMidi's NAME-in and
// NAME-out (or NAME-in-01...).
bool IsOwnPort(const std::string& name, const std::string& clientName);

// Default: the first port that is neither a through port nor ours; for an output, a port of our
// own when there is none. Named: by index (decimal text), the port with exactly that name, or the
// first name containing the text (exact case first); our own ports are never matched by name, to
// avoid feeding ourselves.
PortPick ChoosePort(const std::vector<std::string>& ports, const PortChoice& choice,
                    PortDirection direction, const std::string& clientName);

}  // namespace tandem
