#include "rtpmidi/Payload.h"

namespace tandem::rtpmidi {

bool EncodeCommandSection(std::span<const Command>, bool, std::vector<uint8_t>&) {
  return false;
}
size_t CommandSectionSize(std::span<const Command>) {
  return 0;
}
bool ParseCommandSection(std::span<const uint8_t>, CommandSection&) {
  return false;
}
SysexAssembler::Result SysexAssembler::Add(std::span<const uint8_t>) {
  return Result::kNotSysex;
}
std::vector<std::vector<uint8_t>> SplitSysex(std::span<const uint8_t>, size_t) {
  return {};
}
size_t MessageLength(uint8_t) {
  return 0;
}

}  // namespace tandem::rtpmidi
