#include "midi/Midi.h"

#include <algorithm>

namespace tandem {

size_t ShortMessageLength(uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
      return 2;
    case 0xF0:
      switch (status) {
        case 0xF1:
        case 0xF3:
          return 2;
        case 0xF2:
          return 3;
        default:
          return 1;
      }
    default:
      return 3;
  }
}

PortChoice PortChoice::Parse(const std::string& text) {
  PortChoice c;
  if (text.empty()) return c;
  if (text == "virtual") {
    c.kind = Kind::Virtual;
  } else if (text == "none") {
    c.kind = Kind::None;
  } else if (text == "synth") {
    c.kind = Kind::Synth;
  } else {
    c.kind = Kind::Named;
    c.name = text;
  }
  return c;
}

void GuardedMidiOut::SetFactory(MidiOutFactory factory) {
  std::lock_guard lock(mutex_);
  factory_ = std::move(factory);
}

bool GuardedMidiOut::Open(std::string* error) {
  std::unique_ptr<MidiOutPort> old;
  std::lock_guard lock(mutex_);
  if (port_) port_->Silence();
  old = std::move(port_);
  old.reset();
  std::string why;
  if (factory_) port_ = factory_(why);
  if (!port_ && error) *error = factory_ ? why : "no MIDI output configured";
  if (port_ && volume_ != kDefaultVolume) port_->SetVolume(volume_);
  lead_.store(port_ ? port_->LeadUs() : 0);
  return port_ != nullptr;
}

void GuardedMidiOut::Close() {
  std::lock_guard lock(mutex_);
  if (port_) port_->Silence();
  port_.reset();
  lead_.store(0);
}

bool GuardedMidiOut::IsOpen() const {
  std::lock_guard lock(mutex_);
  return port_ != nullptr;
}

bool GuardedMidiOut::ShortMsg(uint32_t word) {
  return ShortMsgAt(word, 0);
}

bool GuardedMidiOut::ShortMsgAt(uint32_t word, int64_t dueUs) {
  uint8_t bytes[3] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>((word >> 8) & 0xFF),
                      static_cast<uint8_t>((word >> 16) & 0xFF)};
  size_t length = ShortMessageLength(bytes[0]);
  std::lock_guard lock(mutex_);
  if (!port_) return false;
  return dueUs > 0 ? port_->SendAt(bytes, length, dueUs) : port_->Send(bytes, length);
}

std::string GuardedMidiOut::Failure() const {
  std::lock_guard lock(mutex_);
  return port_ ? port_->Failure() : std::string();
}

int64_t GuardedMidiOut::LeadUs() const {
  return lead_.load();
}

void GuardedMidiOut::SetVolume(int percent) {
  std::lock_guard lock(mutex_);
  volume_ = std::clamp(percent, 0, kMaxVolume);
  if (port_) port_->SetVolume(volume_);
}

}  // namespace tandem
