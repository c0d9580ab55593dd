// The JACK MIDI system through our own libjack client: captured events carry the moment of their
// frame, and an output places each event at the frame of its due moment.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "midi/Midi.h"

namespace tandem {

// Whether a JACK server runs, without starting one and without libjack's complaints on stderr.
// `cycle` receives the length of the server's process cycle.
bool JackServerRuns(const std::string& clientName, std::chrono::microseconds* cycle = nullptr);

// One client NAME holding ports midi_in and midi_out (NAME:midi_in, NAME:midi_out), opened with
// the first port and closed with the last.
std::shared_ptr<MidiSystem> MakeJackMidiSystem(const std::string& clientName);

}  // namespace tandem
