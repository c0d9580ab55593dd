#include "net/Srtp.h"

#include <openssl/evp.h>
#include <srtp2/srtp.h>

#include <climits>
#include <mutex>
#include <stdexcept>
#include <string>

namespace tandem::rtp {

namespace {

static_assert(kSrtpMaxGrowth >= SRTP_MAX_TRAILER_LEN + 4);

void InitialiseLibrary() {
  static std::once_flag once;
  static srtp_err_status_t status = srtp_err_status_ok;
  std::call_once(once, [] { status = srtp_init(); });
  if (status != srtp_err_status_ok) {
    throw std::runtime_error("SRTP library start-up failed (" + std::to_string(status) + ")");
  }
}

srtp_t Create(std::vector<uint8_t>& key, bool gcm, srtp_ssrc_type_t type, uint32_t ssrc) {
  srtp_policy_t policy{};
  if (gcm) {
    srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtp);
    srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtcp);
  } else {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
  }
  const size_t needed = gcm ? SRTP_AES_GCM_128_KEY_LEN_WSALT : SRTP_AES_ICM_128_KEY_LEN_WSALT;
  if (key.size() != needed) throw std::runtime_error("SRTP key of the wrong length");
  policy.ssrc.type = type;
  policy.ssrc.value = ssrc;
  policy.key = key.data();
  policy.window_size = 0;      // libsrtp's default replay window (128 packets)
  policy.allow_repeat_tx = 0;  // never the same index twice: that would reuse key stream
  srtp_t session = nullptr;
  const srtp_err_status_t status = srtp_create(&session, &policy);
  if (status != srtp_err_status_ok) {
    throw std::runtime_error("SRTP session set-up failed (" + std::to_string(status) + ")");
  }
  return session;
}

}  // namespace

struct SrtpContext::Session {
  srtp_t ctx;
};

bool SrtpSupportsGcm() {
  static const bool supported = [] {
    try {
      InitialiseLibrary();
      std::vector<uint8_t> key(SRTP_AES_GCM_128_KEY_LEN_WSALT, 1);
      srtp_dealloc(Create(key, true, ssrc_any_outbound, 0));
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }();
  return supported;
}

SrtpKey DeriveSrtpKey(std::string_view passphrase, int iterations) {
  SrtpKey key{};
  if (passphrase.size() > INT_MAX || iterations < 1 ||
      PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()),
                        reinterpret_cast<const unsigned char*>(kSrtpKeySalt.data()),
                        static_cast<int>(kSrtpKeySalt.size()), iterations, EVP_sha256(),
                        static_cast<int>(key.size()), key.data()) != 1) {
    throw std::runtime_error("key derivation failed");
  }
  return key;
}

SrtpContext::SrtpContext(const SrtpKey& key, uint32_t ourSsrc)
    : SrtpContext(false, key, key, ourSsrc) {}

SrtpContext::SrtpContext(bool gcm, std::span<const uint8_t> outboundKey,
                         std::span<const uint8_t> inboundKey, uint32_t ourSsrc)
    : gcm_(gcm),
      outboundKey_(outboundKey.begin(), outboundKey.end()),
      inboundKey_(inboundKey.begin(), inboundKey.end()) {
  InitialiseLibrary();
  outbound_ = new Session{Create(outboundKey_, gcm_, ssrc_specific, ourSsrc)};
  try {
    inbound_ = new Session{Create(inboundKey_, gcm_, ssrc_any_inbound, 0)};
  } catch (...) {
    srtp_dealloc(outbound_->ctx);
    delete outbound_;
    throw;
  }
}

SrtpContext::~SrtpContext() {
  srtp_dealloc(outbound_->ctx);
  srtp_dealloc(inbound_->ctx);
  delete outbound_;
  delete inbound_;
}

void SrtpContext::ChangeSsrc(uint32_t ssrc) {
  srtp_t fresh = Create(outboundKey_, gcm_, ssrc_specific, ssrc);
  srtp_dealloc(outbound_->ctx);
  outbound_->ctx = fresh;
}

bool SrtpContext::Protect(std::vector<uint8_t>& packet, bool control) {
  const size_t length = packet.size();
  if (length > INT_MAX - kSrtpMaxGrowth) return false;
  packet.resize(length + kSrtpMaxGrowth);  // libsrtp writes the trailer past the packet
  int len = static_cast<int>(length);
  const srtp_err_status_t status = control ? srtp_protect_rtcp(outbound_->ctx, packet.data(), &len)
                                           : srtp_protect(outbound_->ctx, packet.data(), &len);
  if (status != srtp_err_status_ok || len < static_cast<int>(length) ||
      static_cast<size_t>(len) > packet.size()) {
    packet.resize(length);
    return false;
  }
  packet.resize(static_cast<size_t>(len));
  return true;
}

std::optional<size_t> SrtpContext::Unprotect(std::span<uint8_t> datagram, bool control) {
  if (datagram.size() > INT_MAX) return std::nullopt;
  int len = static_cast<int>(datagram.size());
  const srtp_err_status_t status = control
                                       ? srtp_unprotect_rtcp(inbound_->ctx, datagram.data(), &len)
                                       : srtp_unprotect(inbound_->ctx, datagram.data(), &len);
  if (status != srtp_err_status_ok || len < 0 || static_cast<size_t>(len) > datagram.size()) {
    return std::nullopt;
  }
  return static_cast<size_t>(len);
}

bool SrtpContext::ProtectRtp(std::vector<uint8_t>& packet) {
  return Protect(packet, false);
}
bool SrtpContext::ProtectRtcp(std::vector<uint8_t>& packet) {
  return Protect(packet, true);
}
std::optional<size_t> SrtpContext::UnprotectRtp(std::span<uint8_t> datagram) {
  return Unprotect(datagram, false);
}
std::optional<size_t> SrtpContext::UnprotectRtcp(std::span<uint8_t> datagram) {
  return Unprotect(datagram, true);
}

}  // namespace tandem::rtp
