// The certificate a DTLS handshake shows, and the fingerprints partners check.
#pragma once

#include <openssl/types.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace tandem::net {

// This installation's certificate: an ECDSA P-256 key with a self-signed certificate. Its
// SHA-256 fingerprint is what a partner checks.
class DtlsIdentity {
 public:
  // A fresh key and certificate. Throws std::runtime_error when OpenSSL fails.
  static std::shared_ptr<const DtlsIdentity> Generate();
  // The identity kept in `file` (PEM key and certificate), made and written owner-only on first
  // use. Throws std::runtime_error when it can be neither read nor written.
  static std::shared_ptr<const DtlsIdentity> LoadOrCreate(const std::filesystem::path& file);
  ~DtlsIdentity();
  DtlsIdentity(const DtlsIdentity&) = delete;
  DtlsIdentity& operator=(const DtlsIdentity&) = delete;

  // "AB:12:...": 32 upper-case hex pairs, the form RFC 8122 5 gives.
  const std::string& Fingerprint() const { return fingerprint_; }

  struct Keys;
  const Keys& Get() const { return *keys_; }

 private:
  explicit DtlsIdentity(std::unique_ptr<Keys> keys);
  std::unique_ptr<Keys> keys_;
  std::string fingerprint_;
};

struct DtlsIdentity::Keys {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  ~Keys();
};

// A certificate's SHA-256 fingerprint in the form Fingerprint() gives; empty when OpenSSL fails.
std::string CertificateFingerprint(const X509* cert);
// Fingerprints compared as RFC 8122 has them: the hex digits in either case.
bool SameFingerprint(const std::string& a, const std::string& b);
// OpenSSL's latest error, after `what`, as an exception; its error queue is cleared.
std::runtime_error OpenSslError(const std::string& what);

}  // namespace tandem::net
