// Protected sessions: SRTP and SRTCP (RFC 3711, AES-128 counter mode with HMAC-SHA1-80) through
// libsrtp, with the master key and salt derived from a passphrase both partners type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tandem::rtp {

// 16 bytes of master key, then 14 bytes of master salt.
using SrtpKey = std::array<uint8_t, 30>;

// The PBKDF2-HMAC-SHA256 salt. Fixed, so two partners derive the same key from the same
// passphrase with nothing else exchanged; changing it breaks every existing pairing.
inline constexpr std::string_view kSrtpKeySalt = "tandem/srtp/aes128-hmacsha1-80/v1";
// About 50 ms of one core's time on our 2-core test machine (PBKDF2-HMAC-SHA256, OpenSSL 3): a
// guesser pays that much per try, and a session start hardly notices.
inline constexpr int kSrtpKeyIterations = 170'000;
// The authentication tag every protected RTP packet carries after its payload.
inline constexpr size_t kSrtpTagSize = 10;
// Room a buffer needs beyond a packet for protection to grow it (libsrtp's worst case; SRTCP
// adds its 4-byte index).
inline constexpr size_t kSrtpMaxGrowth = 16 + 128 + 4;

// Whether this libsrtp runs AEAD_AES_128_GCM (RFC 7714); only when it was built with OpenSSL.
bool SrtpSupportsGcm();

// The master key and salt for `passphrase`. Throws std::runtime_error when the library fails.
SrtpKey DeriveSrtpKey(std::string_view passphrase, int iterations = kSrtpKeyIterations);

// One partner's protection: an outbound stream for our SSRC and an inbound template that takes
// any other SSRC, both with the shared key. libsrtp keeps its replay window on for both.
class SrtpContext {
 public:
  // Throws std::runtime_error when libsrtp cannot be set up.
  SrtpContext(const SrtpKey& key, uint32_t ourSsrc);
  // Keys of a DTLS-SRTP handshake: one master key and salt for each direction, and the profile
  // it chose (AES-128 counter mode with HMAC-SHA1-80, or AES-128-GCM).
  SrtpContext(bool gcm, std::span<const uint8_t> outboundKey, std::span<const uint8_t> inboundKey,
              uint32_t ourSsrc);
  ~SrtpContext();
  SrtpContext(const SrtpContext&) = delete;
  SrtpContext& operator=(const SrtpContext&) = delete;

  // Protect a whole RTP or RTCP packet in place; the vector grows by the trailer. False, with
  // the packet unchanged, when libsrtp refuses it (then it must not be sent).
  bool ProtectRtp(std::vector<uint8_t>& packet);
  bool ProtectRtcp(std::vector<uint8_t>& packet);
  // Authenticate, check for replay and decrypt a datagram in place: the length of the packet
  // inside, or nothing when it fails any of these (the bytes are then of no use).
  std::optional<size_t> UnprotectRtp(std::span<uint8_t> datagram);
  std::optional<size_t> UnprotectRtcp(std::span<uint8_t> datagram);

  // Our SSRC changed (a collision): the outbound stream starts afresh for the new one.
  void ChangeSsrc(uint32_t ssrc);

 private:
  struct Session;
  bool Protect(std::vector<uint8_t>& packet, bool control);
  std::optional<size_t> Unprotect(std::span<uint8_t> datagram, bool control);

  bool gcm_ = false;
  std::vector<uint8_t> outboundKey_;
  std::vector<uint8_t> inboundKey_;
  // Two libsrtp sessions rather than one, so a partner that happens to use our SSRC never
  // shares a replay window (or a key stream) with what we send.
  Session* outbound_ = nullptr;
  Session* inbound_ = nullptr;
};

}  // namespace tandem::rtp
