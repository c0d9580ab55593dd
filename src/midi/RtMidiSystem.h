// Picks and opens the machine's MIDI system.
#pragma once

#include <memory>
#include <string>

#include "midi/Midi.h"

namespace tandem {

// api: "auto" (ALSA when the sequencer opens, else JACK when a server runs, else none), "alsa",
// "jack" or "none". clientName names our clients: with JACK one client NAME, with ALSA NAME-in
// and NAME-out. `message` says what was picked, or why there is no MIDI system; the result is
// never null (a NullMidiSystem at worst).
std::shared_ptr<MidiSystem> MakeMidiSystem(const std::string& api, const std::string& clientName,
                                           std::string& message);

}  // namespace tandem
