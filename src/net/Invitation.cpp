#include "net/Invitation.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "platform/Bytes.h"

namespace tandem {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
// Longer than any code we make; a paste of a whole chat log is refused before it is decoded.
constexpr size_t kMaxCodeChars = 2000;
constexpr size_t kMaxCandidates = 16;
constexpr size_t kMaxText = 256;  // RFC 8445 5.3: ufrag and pwd are at most 256 characters

std::string Base64Url(const std::vector<uint8_t>& bytes) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (uint8_t b : bytes) {
    bits = bits << 8 | b;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kAlphabet[(bits >> count) & 63];
    }
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 63];
  return out;
}

std::optional<std::vector<uint8_t>> FromBase64Url(const std::string& text) {
  if (text.size() % 4 == 1) return std::nullopt;  // no whole byte ends there
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* at = std::find(kAlphabet, kAlphabet + 64, c);
    if (at == kAlphabet + 64) return std::nullopt;
    bits = (bits << 6 | static_cast<uint32_t>(at - kAlphabet)) & 0xFFFFFF;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  if ((bits & ((1u << count) - 1)) != 0) return std::nullopt;  // RFC 4648 3.5: spare bits are 0
  return out;
}

void PutText(ByteWriter& w, const std::string& s) {
  const size_t n = std::min(s.size(), kMaxText - 1);
  w.U8(static_cast<uint8_t>(n));
  w.Bytes(std::span(reinterpret_cast<const uint8_t*>(s.data()), n));
}

std::string GetText(ByteReader& r) {
  const auto bytes = r.Bytes(r.U8());
  return std::string(bytes.begin(), bytes.end());
}

// A character of ICE credentials (RFC 8445 5.3: ice-char, ALPHA / DIGIT / "+" / "/").
bool IceChars(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
  });
}

}  // namespace

std::array<uint8_t, 8> NewInvitationId() {
  std::random_device device;
  std::array<uint8_t, 8> id{};
  for (auto& b : id) b = static_cast<uint8_t>(device());
  return id;
}

std::string EncodeInvitation(const Invitation& inv) {
  std::vector<uint8_t> bytes;
  ByteWriter w(bytes);
  w.U8(static_cast<uint8_t>(inv.kind));
  w.Bytes(inv.id);
  PutText(w, inv.ice.ufrag);
  PutText(w, inv.ice.pwd);
  w.U8(static_cast<uint8_t>(std::min<size_t>(inv.fingerprint.size(), 64)));
  w.Bytes(std::span(inv.fingerprint).first(std::min<size_t>(inv.fingerprint.size(), 64)));
  const size_t n = std::min(inv.ice.candidates.size(), kMaxCandidates);
  w.U8(static_cast<uint8_t>(n));
  for (size_t i = 0; i < n; ++i) {
    const IceCandidate& c = inv.ice.candidates[i];
    const bool v6 = !c.address.Unmapped().IsV4();
    // Type in the low bits, the family in the top one.
    w.U8(static_cast<uint8_t>(static_cast<uint8_t>(c.type) | (v6 ? 0x80 : 0)));
    const IpAddress a = c.address.Unmapped();
    w.Bytes(std::span(a.bytes).first(v6 ? 16 : 4));
    w.U16Be(c.port);
    w.U32Be(c.priority);
  }
  return kInvitationPrefix + Base64Url(bytes);
}

std::optional<Invitation> DecodeInvitation(const std::string& pasted, std::string& error) {
  if (pasted.size() > kMaxCodeChars) {
    error = "the code is too long";
    return std::nullopt;
  }
  std::string text = pasted;
  for (const char* label : {"Invitation:", "Answer:"}) {
    if (auto at = text.find(label); at != std::string::npos) text.erase(0, at + std::strlen(label));
  }
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }),
             text.end());
  const std::string prefix = kInvitationPrefix;
  if (text.size() < 2 || text[0] != prefix[0]) {
    error = "this is not a Tandem code";
    return std::nullopt;
  }
  if (text.compare(0, prefix.size(), prefix) != 0) {
    error = "the code is of another version of Tandem";
    return std::nullopt;
  }
  const auto bytes = FromBase64Url(text.substr(prefix.size()));
  if (!bytes) {
    error = "the code has characters that do not belong in it";
    return std::nullopt;
  }
  ByteReader r(*bytes);
  Invitation inv;
  const uint8_t kind = r.U8();
  const auto id = r.Bytes(inv.id.size());
  inv.ice.ufrag = GetText(r);
  inv.ice.pwd = GetText(r);
  const auto fingerprint = r.Bytes(r.U8());
  const size_t n = r.U8();
  for (size_t i = 0; i < n && r.Ok(); ++i) {
    const uint8_t head = r.U8();
    const bool v6 = (head & 0x80) != 0;
    IceCandidate c;
    c.type = static_cast<IceCandidate::Type>(head & 0x03);
    c.address.family = v6 ? IpAddress::Family::kV6 : IpAddress::Family::kV4;
    const auto address = r.Bytes(v6 ? 16 : 4);
    std::copy(address.begin(), address.end(), c.address.bytes.begin());
    c.port = r.U16Be();
    c.priority = r.U32Be();
    if ((head & 0x7C) == 0) inv.ice.candidates.push_back(c);
  }
  if (!r.Ok() || r.Remaining() != 0 || (kind != 1 && kind != 2)) {
    error = "the code is cut or damaged";
    return std::nullopt;
  }
  if (!IceChars(inv.ice.ufrag) || !IceChars(inv.ice.pwd)) {
    error = "the code is damaged";
    return std::nullopt;
  }
  inv.kind = static_cast<Invitation::Kind>(kind);
  std::copy(id.begin(), id.end(), inv.id.begin());
  inv.fingerprint.assign(fingerprint.begin(), fingerprint.end());
  return inv;
}

}  // namespace tandem
