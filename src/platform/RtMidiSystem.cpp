// PLACEHOLDER: replaced by the RtMidi backend.
#include "platform/RtMidiSystem.h"

namespace tandem {
std::shared_ptr<MidiSystem> MakeMidiSystem(const std::string&, const std::string&,
                                           std::string& message) {
  message = "MIDI: none (not built yet)";
  return std::make_shared<NullMidiSystem>();
}
}  // namespace tandem
