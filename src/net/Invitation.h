// Invitation and answer codes: what two players paste to each other to connect through ICE.
// A code is "T1" (the format's version) and then base64url (RFC 4648 5, unpadded) of a compact
// binary: kind, the invitation's id, the ICE credentials, the DTLS certificate fingerprint and the
// candidates. Read back with the bounds-checked ByteReader: a damaged code is refused whole.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/IceAgent.h"

namespace tandem {

struct Invitation {
  enum class Kind : uint8_t { kInvitation = 1, kAnswer = 2 };
  Kind kind = Kind::kInvitation;
  // Drawn by the inviting side and echoed in the answer, so an answer meets only its own
  // invitation and a second answer to it is recognised.
  std::array<uint8_t, 8> id{};
  IceDescription ice;
  std::vector<uint8_t> fingerprint;  // SHA-256 of the DTLS certificate; empty: none
};

inline constexpr const char* kInvitationPrefix = "T1";

std::string EncodeInvitation(const Invitation& invitation);
// The code as pasted (spaces, line breaks and a "Invitation: " or "Answer: " label around it are
// tolerated). Nothing when it is not one of ours, of another version, cut or damaged; `error`
// then says which, for the user.
std::optional<Invitation> DecodeInvitation(const std::string& text, std::string& error);

// A fresh random invitation id.
std::array<uint8_t, 8> NewInvitationId();

}  // namespace tandem
