#include "midi/SoundingNotes.h"

namespace tandem {

namespace {
constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kAllNotesOff = 123;
}  // namespace

void SoundingNotes::Track(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length == 0) return;
  const uint8_t status = bytes[0];
  if (status < 0x80 || status >= 0xF0) return;
  const uint8_t channel = status & 0x0F;
  channelsUsed_ |= static_cast<uint16_t>(1u << channel);
  if (length < 3 || bytes[1] > 127) return;
  switch (status & 0xF0) {
    case 0x90:
      on_[channel].set(bytes[1], bytes[2] != 0);
      break;
    case 0x80:
      on_[channel].reset(bytes[1]);
      break;
    case 0xB0:
      if (bytes[1] == kAllNotesOff || bytes[1] == kAllSoundOff) on_[channel].reset();
      break;
    default:
      break;
  }
}

std::vector<SoundingNotes::Message> SoundingNotes::SilenceMessages() const {
  std::vector<Message> out;
  for (uint8_t c = 0; c < 16; ++c) {
    if (!(channelsUsed_ & (1u << c))) continue;
    for (uint8_t k = 0; k < 128; ++k) {
      if (on_[c].test(k)) out.push_back({static_cast<uint8_t>(0x80 | c), k, 0});
    }
    out.push_back({static_cast<uint8_t>(0xB0 | c), kAllNotesOff, 0});
  }
  return out;
}

void SoundingNotes::Clear() {
  for (auto& c : on_) c.reset();
  channelsUsed_ = 0;
}

size_t SoundingNotes::Count() const {
  size_t n = 0;
  for (const auto& c : on_) n += c.count();
  return n;
}

}  // namespace tandem
