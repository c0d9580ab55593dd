#include "transport/Payload.h"

#include <algorithm>
#include <cstring>

namespace tandem {

namespace {

// Bitmaps are least significant bit first: key k is bit k mod 8 of byte k div 8.
void BuildBitmaps(const SentKeyTable& keys, uint32_t now, uint8_t* out) {
  uint8_t* on = out + 4;
  uint8_t* recent = out + 20;
  std::fill(on, on + 32, uint8_t{0});
  for (size_t k = 0; k < 128; ++k) {
    auto bit = static_cast<uint8_t>(1u << (k % 8));
    if (keys[k].on) on[k / 8] |= bit;
    if (now - keys[k].changedAt < kKeyRecentMs) recent[k / 8] |= bit;
  }
}

void ReadBitmaps(std::span<const uint8_t> payload, EventRecord& r) {
  for (size_t k = 0; k < 128; ++k) {
    r.keyOn[k] = (payload[4 + k / 8] >> (k % 8)) & 1;
    r.keyRecent[k] = (payload[20 + k / 8] >> (k % 8)) & 1;
  }
}

RecordPtr Common(int32_t kind, uint32_t timestamp, uint32_t extSequence, uint32_t ssrc,
                 int32_t now) {
  auto r = MakeRecord(kind);
  r->time = static_cast<int32_t>(timestamp);
  r->sequence = extSequence;
  r->source = ssrc;
  // |time - now| as a wrapping 32-bit difference; the one value without a positive twin is
  // clamped instead of overflowing.
  int64_t d = static_cast<int32_t>(timestamp - static_cast<uint32_t>(now));
  r->arrivalOffset = static_cast<int32_t>(std::min<int64_t>(d < 0 ? -d : d, INT32_MAX));
  return r;
}

size_t MinimumSize(uint8_t type) {
  switch (type) {
    case PacketMidi:
      return kMidiPayloadSize;
    case PacketMidiKeys:
    case PacketKeys:
      return kKeysPayloadSize;
    case PacketBuffer:
      return kBufferPayloadSize;
    default:
      return 0;  // chat takes what there is
  }
}

}  // namespace

std::optional<EncodedPayload> Encode(const EventRecord& record, SentKeyTable& keys, bool noTransm,
                                     int32_t now) {
  EncodedPayload p;
  auto unow = static_cast<uint32_t>(now);
  switch (record.kind) {
    case EventMidi: {
      if ((record.status == 144 || record.status == 128) && record.note >= 0 && record.note < 128) {
        keys[static_cast<size_t>(record.note)] = {record.status == 144, unow};
      }
      // The event word velocity * 65536 + note * 256 + status, little-endian.
      p.bytes[0] = static_cast<uint8_t>(record.status);
      p.bytes[1] = static_cast<uint8_t>(record.note);
      p.bytes[2] = static_cast<uint8_t>(record.velocity);
      p.bytes[3] = 0;
      if (noTransm) {
        p.payloadType = PacketMidi;
        p.length = kMidiPayloadSize;
      } else {
        BuildBitmaps(keys, unow, p.bytes.data());
        p.payloadType = PacketMidiKeys;
        p.length = kKeysPayloadSize;
      }
      return p;
    }
    case EventKeyRefresh:
      BuildBitmaps(keys, unow, p.bytes.data());
      p.payloadType = PacketKeys;
      p.length = kKeysPayloadSize;
      return p;
    case EventChat:
      std::memcpy(p.bytes.data(), record.text.data(), kChatPayloadSize);
      p.payloadType = PacketChat;
      p.length = kChatPayloadSize;
      return p;
    case EventBuffer: {
      // The field holds 0 to 65535 ms. Cut to its low 16 bits, a negative buffer would ask the
      // peer to wait a minute and 70000 ms would become 4464, so the value is held in range.
      auto v = static_cast<uint32_t>(std::clamp(record.bufferMs, 0, 65535));
      p.bytes[0] = static_cast<uint8_t>(v & 0xFF);
      p.bytes[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
      p.payloadType = PacketBuffer;
      p.length = kBufferPayloadSize;
      return p;
    }
    default:
      return std::nullopt;
  }
}

std::string ChatText(std::span<const uint8_t> payload) {
  auto field = payload.first(std::min(payload.size(), kChatPayloadSize));
  auto nul = std::find(field.begin(), field.end(), uint8_t{0});
  // Without a terminator, take no more than a chat line can hold.
  size_t length = nul != field.end() ? static_cast<size_t>(nul - field.begin())
                                     : std::min(field.size(), kChatMaxChars);
  std::string text(reinterpret_cast<const char*>(field.data()), length);
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<uint8_t>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      text[i] = '?';
    } else if (c == 0xC2 && i + 1 < text.size()) {
      // U+0080..U+009F, the C1 controls, which some terminals obey like ESC sequences.
      auto next = static_cast<uint8_t>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) text.replace(i, 2, "?");
    }
  }
  return text;
}

Decoded Decode(uint8_t payloadType, std::span<const uint8_t> payload, uint32_t timestamp,
               uint32_t extSequence, uint32_t ssrc, int32_t now) {
  Decoded d;
  switch (payloadType) {
    case PacketMidi:
    case PacketMidiKeys:
    case PacketKeys:
    case PacketBuffer:
    case PacketChat:
      break;
    default:
      d.drop = DropReason::UnknownType;
      return d;
  }
  if (payload.size() < MinimumSize(payloadType)) {
    d.drop = DropReason::ShortPayload;
    return d;
  }
  switch (payloadType) {
    case PacketMidi:
    case PacketMidiKeys: {
      // Note and velocity become key indexes downstream; a byte above 127 is no MIDI data.
      if (payload[1] > 127 || payload[2] > 127) {
        d.drop = DropReason::BadDataByte;
        return d;
      }
      bool keys = payloadType == PacketMidiKeys;
      d.record = Common(keys ? EventMidi : EventMidiBare, timestamp, extSequence, ssrc, now);
      d.record->status = payload[0];
      d.record->note = payload[1];
      d.record->velocity = payload[2];
      if (keys) {
        ReadBitmaps(payload, *d.record);
        d.keyOn = d.record->keyOn;
      }
      return d;
    }
    case PacketKeys:
      d.record = Common(EventKeyRefresh, timestamp, extSequence, ssrc, now);
      ReadBitmaps(payload, *d.record);
      d.keyOn = d.record->keyOn;
      return d;
    case PacketBuffer:
      d.record = Common(EventBuffer, timestamp, extSequence, ssrc, now);
      d.record->bufferMs = payload[0] | payload[1] << 8;
      return d;
    default:  // PacketChat
      d.chat = ChatText(payload);
      return d;
  }
}

}  // namespace tandem
