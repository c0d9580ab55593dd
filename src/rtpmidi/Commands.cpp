#include "rtpmidi/Commands.h"

#include <algorithm>

#include "platform/Bytes.h"

namespace tandem::rtpmidi {

namespace {

constexpr uint16_t kSignature = 0xFFFF;
constexpr size_t kMaxName = 256;  // longer names are cut

}  // namespace

bool HasCommand(std::span<const uint8_t> bytes, const char (&command)[3]) {
  return bytes.size() >= 4 && bytes[2] == static_cast<uint8_t>(command[0]) &&
         bytes[3] == static_cast<uint8_t>(command[1]);
}

bool IsCommand(std::span<const uint8_t> bytes) {
  return bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xFF;
}

bool ParseCommandPacket(std::span<const uint8_t> bytes, CommandPacket& out) {
  ByteReader r(bytes);
  if (r.U16Be() != kSignature) return false;
  out.command[0] = static_cast<char>(r.U8());
  out.command[1] = static_cast<char>(r.U8());
  out.version = r.U32Be();
  out.token = r.U32Be();
  out.ssrc = r.U32Be();
  if (!r.Ok()) return false;
  // The name runs to its NUL, or to the end when a peer left the NUL out; BY may carry none.
  const auto rest = r.Bytes(r.Remaining());
  size_t n = 0;
  while (n < rest.size() && rest[n] != 0) ++n;
  out.name.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(std::min(n, kMaxName)));
  return true;
}

std::vector<uint8_t> BuildCommandPacket(const CommandPacket& packet) {
  std::vector<uint8_t> out;
  ByteWriter w(out);
  w.U16Be(kSignature);
  w.U8(static_cast<uint8_t>(packet.command[0]));
  w.U8(static_cast<uint8_t>(packet.command[1]));
  w.U32Be(packet.version);
  w.U32Be(packet.token);
  w.U32Be(packet.ssrc);
  if (!packet.name.empty()) {
    const std::string name = packet.name.substr(0, kMaxName);
    w.Bytes({reinterpret_cast<const uint8_t*>(name.data()), name.size()});
    w.U8(0);
  }
  return out;
}

bool ParseClockPacket(std::span<const uint8_t> bytes, ClockPacket& out) {
  ByteReader r(bytes);
  if (r.U16Be() != kSignature || !HasCommand(bytes, "CK")) return false;
  r.Skip(2);
  out.ssrc = r.U32Be();
  out.count = r.U8();
  r.Skip(3);
  for (uint64_t& t : out.timestamps) t = uint64_t{r.U32Be()} << 32 | r.U32Be();
  return r.Ok() && out.count <= 2;
}

std::vector<uint8_t> BuildClockPacket(const ClockPacket& packet) {
  std::vector<uint8_t> out;
  ByteWriter w(out);
  w.U16Be(kSignature);
  w.U8('C'), w.U8('K');
  w.U32Be(packet.ssrc);
  w.U8(packet.count);
  w.U8(0), w.U16Be(0);
  for (uint64_t t : packet.timestamps) {
    w.U32Be(static_cast<uint32_t>(t >> 32));
    w.U32Be(static_cast<uint32_t>(t));
  }
  return out;
}

bool ParseFeedbackPacket(std::span<const uint8_t> bytes, FeedbackPacket& out) {
  ByteReader r(bytes);
  if (r.U16Be() != kSignature || !HasCommand(bytes, "RS")) return false;
  r.Skip(2);
  out.ssrc = r.U32Be();
  out.sequence = static_cast<uint16_t>(r.U32Be() >> 16);
  return r.Ok();
}

std::vector<uint8_t> BuildFeedbackPacket(const FeedbackPacket& packet) {
  std::vector<uint8_t> out;
  ByteWriter w(out);
  w.U16Be(kSignature);
  w.U8('R'), w.U8('S');
  w.U32Be(packet.ssrc);
  w.U32Be(uint32_t{packet.sequence} << 16);
  return out;
}

}  // namespace tandem::rtpmidi
