// What an output port has left sounding, from the messages it sent, so closing it can silence
// exactly that: a synthesizer must not keep a note whose note-off will never come.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tandem {

class SoundingNotes {
 public:
  using Message = std::array<uint8_t, 3>;

  // Notes one message sent out: note-on starts a note, note-off (or note-on velocity 0) ends it,
  // all-notes-off and all-sound-off end a channel's notes.
  void Track(const uint8_t* bytes, size_t length);
  // A note-off for every sounding note, then all-notes-off on every channel used.
  std::vector<Message> SilenceMessages() const;
  // Forgets everything, as after the silence was sent.
  void Clear();
  size_t Count() const;

 private:
  std::array<std::bitset<128>, 16> on_{};
  uint16_t channelsUsed_ = 0;
};

}  // namespace tandem
