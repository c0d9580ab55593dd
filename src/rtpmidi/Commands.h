// Apple's session command packets: IN, OK, NO and BY (invitations and leaving), CK (clock sync)
// and RS (receiver feedback). Each starts with 0xFFFF, which no RTP packet does.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tandem::rtpmidi {

inline constexpr uint32_t kProtocolVersion = 2;

struct CommandPacket {
  char command[2] = {0, 0};  // "IN", "OK", "NO", "BY"
  uint32_t version = 2;
  uint32_t token = 0;
  uint32_t ssrc = 0;
  std::string name;
};
struct ClockPacket {
  uint32_t ssrc = 0;
  uint8_t count = 0;
  uint64_t timestamps[3] = {0, 0, 0};
};
// The sequence number travels in the high 16 bits of the 32-bit field, where Apple's peers and
// Wireshark read it; the low 16 bits are sent as 0 and ignored on receipt.
struct FeedbackPacket {
  uint32_t ssrc = 0;
  uint16_t sequence = 0;
};
// Whether a datagram is a session command (0xFFFF first) rather than RTP.
bool IsCommand(std::span<const uint8_t> bytes);
// Whether a command datagram carries `command` ("IN", "CK", ...), before it is parsed.
bool HasCommand(std::span<const uint8_t> bytes, const char (&command)[3]);
bool ParseCommandPacket(std::span<const uint8_t> bytes, CommandPacket& out);
bool ParseClockPacket(std::span<const uint8_t> bytes, ClockPacket& out);
bool ParseFeedbackPacket(std::span<const uint8_t> bytes, FeedbackPacket& out);
std::vector<uint8_t> BuildCommandPacket(const CommandPacket& packet);
std::vector<uint8_t> BuildClockPacket(const ClockPacket& packet);
std::vector<uint8_t> BuildFeedbackPacket(const FeedbackPacket& packet);

}  // namespace tandem::rtpmidi
