// The payload decoder on whatever arrives: the first byte is the payload type, the rest the
// payload. Then the encoder on a record made of the same bytes, and its output decoded back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "FuzzCheck.h"
#include "transport/Payload.h"

using namespace tandem;

namespace {

void CheckDecoded(uint8_t type, std::span<const uint8_t> payload, const Decoded& d) {
  if (d.drop != DropReason::None) {
    FUZZ_CHECK(!d.record && !d.chat && !d.keyOn);
    return;
  }
  if (d.chat) {
    FUZZ_CHECK(type == PacketChat && !d.record);
    // No control character survives, and never more than the payload held.
    for (char c : *d.chat) FUZZ_CHECK(static_cast<uint8_t>(c) >= 0x20 && c != 0x7F);
    FUZZ_CHECK(d.chat->size() <= payload.size());
    return;
  }
  FUZZ_CHECK(d.record);
  const EventRecord& r = *d.record;
  FUZZ_CHECK(r.time == 1000 && r.sequence == 70000 && r.source == 0xABCD);
  switch (type) {
    case PacketMidi:
    case PacketMidiKeys:
      FUZZ_CHECK(r.kind == (type == PacketMidi ? EventMidiBare : EventMidi));
      FUZZ_CHECK(r.note >= 0 && r.note <= 127 && r.velocity >= 0 && r.velocity <= 127);
      FUZZ_CHECK(r.status == payload[0] && r.note == payload[1] && r.velocity == payload[2]);
      break;
    case PacketKeys:
      FUZZ_CHECK(r.kind == EventKeyRefresh);
      break;
    case PacketBuffer:
      FUZZ_CHECK(r.kind == EventBuffer && r.bufferMs == (payload[0] | payload[1] << 8));
      break;
    default:
      FUZZ_CHECK(false);
  }
  if (type == PacketMidiKeys || type == PacketKeys) {
    FUZZ_CHECK(d.keyOn.has_value());
    for (size_t k = 0; k < 128; ++k) {
      FUZZ_CHECK(r.keyOn[k] == ((payload[4 + k / 8] >> (k % 8)) & 1));
      FUZZ_CHECK(r.keyRecent[k] == ((payload[20 + k / 8] >> (k % 8)) & 1));
      FUZZ_CHECK((*d.keyOn)[k] == r.keyOn[k]);
    }
  }
}

// A record of any kind with any field values, as a bug elsewhere could hand the encoder.
void EncodeAndDecodeBack(const uint8_t* data, size_t size) {
  EventRecord r;
  int32_t fields[6] = {};
  std::memcpy(fields, data, std::min(size, sizeof fields));
  r.kind = fields[0] % 8;
  r.status = fields[1];
  r.note = fields[2];
  r.velocity = fields[3];
  r.bufferMs = fields[4];
  if (size > sizeof fields) {
    std::memcpy(r.text.data(), data + sizeof fields, std::min(size - sizeof fields, r.text.size()));
  }
  SentKeyTable keys{};
  const bool noTransm = (fields[5] & 1) != 0;
  const int32_t now = fields[5];
  auto encoded = Encode(r, keys, noTransm, now);
  if (!encoded) {
    FUZZ_CHECK(r.kind < EventMidi || r.kind > EventBuffer);
    return;
  }
  FUZZ_CHECK(encoded->length <= encoded->bytes.size());
  Decoded back = Decode(encoded->payloadType, encoded->Bytes(), 1000, 70000, 0xABCD, now);
  CheckDecoded(encoded->payloadType, encoded->Bytes(), back);
  if (r.kind == EventMidi && back.record) {
    FUZZ_CHECK(back.record->status == (r.status & 0xFF));
    if (r.note >= 0 && r.note < 128 && (r.status == 144 || r.status == 128) && !noTransm) {
      // The snapshot already includes the packet's own event.
      FUZZ_CHECK(back.record->keyOn[static_cast<size_t>(r.note)] == (r.status == 144 ? 1 : 0));
      FUZZ_CHECK(back.record->keyRecent[static_cast<size_t>(r.note)] == 1);
    }
  }
  // A buffer outside what the field holds is announced as the nearest value it does hold.
  if (r.kind == EventBuffer) FUZZ_CHECK(back.record->bufferMs == std::clamp(r.bufferMs, 0, 65535));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t type = data[0];
  // Copied, so a read past the payload's end is a read past a heap block that ASan sees.
  std::vector<uint8_t> payload(data + 1, data + size);
  std::span<const uint8_t> view(payload.data(), payload.size());
  Decoded d = Decode(type, view, 1000, 70000, 0xABCD, 123456);
  CheckDecoded(type, view, d);
  ChatText(view);
  EncodeAndDecodeBack(data, size);
  return 0;
}
