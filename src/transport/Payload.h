// The payload of every packet kind, both ways. Pure functions: bytes in, bytes out, and `now`
// given by the caller; no clock, no socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "events/Listmidi.h"

namespace tandem {

// Payload types: the ASCII letter of each kind.
enum PayloadType : uint8_t {
  PacketMidi = 77,      // 'M': the event word alone
  PacketMidiKeys = 88,  // 'X': the event word and the key snapshot
  PacketKeys = 83,      // 'S': the key snapshot alone
  PacketChat = 67,      // 'C': a chat line
  PacketBuffer = 66,    // 'B': the sender's local buffer
};

constexpr size_t kMidiPayloadSize = 4;
constexpr size_t kKeysPayloadSize = 36;
constexpr size_t kChatPayloadSize = kChatTextSize;
constexpr size_t kBufferPayloadSize = 2;
// A key counts as recently changed for this long after its last change.
constexpr uint32_t kKeyRecentMs = 1000;

// What the sender last sent for one key.
struct SentKey {
  bool on = false;
  uint32_t changedAt = 0;  // ClockMs of the last change
};
using SentKeyTable = std::array<SentKey, 128>;

struct EncodedPayload {
  uint8_t payloadType = 0;
  std::array<uint8_t, kChatPayloadSize> bytes{};  // the largest kind fits
  size_t length = 0;
  std::span<const uint8_t> Bytes() const { return {bytes.data(), length}; }
};

// The payload for `record`, or nothing for a kind that is not sent. A note-on or note-off
// updates `keys` first, so the snapshot already includes its own event.
std::optional<EncodedPayload> Encode(const EventRecord& record, SentKeyTable& keys, bool noTransm,
                                     int32_t now);

enum class DropReason {
  None,
  ShortPayload,  // shorter than its kind's size
  UnknownType,   // none of the five payload types
  BadDataByte,   // a note or velocity above 127
};

struct Decoded {
  RecordPtr record;                               // for ReceiveQueue
  std::optional<std::string> chat;                // the chat text, without the "you : " prefix
  std::optional<std::array<uint8_t, 128>> keyOn;  // for KeysSent, from types 88 and 83
  DropReason drop = DropReason::None;
};

// What a received packet means. Never reads past the payload; anything unusable is dropped with
// its reason.
Decoded Decode(uint8_t payloadType, std::span<const uint8_t> payload, uint32_t timestamp,
               uint32_t extSequence, uint32_t ssrc, int32_t now);

// Chat text as received: up to the first NUL, control characters (C0, DEL, and C1 as UTF-8)
// replaced by '?', so a peer cannot inject lines or terminal escapes.
std::string ChatText(std::span<const uint8_t> payload);

}  // namespace tandem
