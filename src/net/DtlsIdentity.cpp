#include "net/DtlsIdentity.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tandem::net {

namespace {

std::string Hex(const unsigned char* bytes, unsigned n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned i = 0; i < n; ++i) {
    if (i) s += ':';
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

}  // namespace

std::runtime_error OpenSslError(const std::string& what) {
  char text[256] = {};
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return std::runtime_error(what + ": " + text);
}

std::string CertificateFingerprint(const X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (X509_digest(cert, EVP_sha256(), md, &n) != 1) return {};
  return Hex(md, n);
}

bool SameFingerprint(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

DtlsIdentity::Keys::~Keys() {
  EVP_PKEY_free(key);
  X509_free(cert);
}

DtlsIdentity::DtlsIdentity(std::unique_ptr<Keys> keys)
    : keys_(std::move(keys)), fingerprint_(CertificateFingerprint(keys_->cert)) {
  if (fingerprint_.empty()) throw OpenSslError("certificate fingerprint");
}

DtlsIdentity::~DtlsIdentity() = default;

std::shared_ptr<const DtlsIdentity> DtlsIdentity::Generate() {
  auto keys = std::make_unique<Keys>();
  keys->key = EVP_EC_gen("P-256");
  keys->cert = X509_new();
  if (!keys->key || !keys->cert) throw OpenSslError("certificate key");
  X509* x = keys->cert;
  uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  X509_NAME* name = X509_NAME_new();
  const bool ok = name && X509_set_version(x, 2) == 1 &&
                  ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial >> 1) == 1 &&
                  X509_gmtime_adj(X509_getm_notBefore(x), -24 * 3600) &&
                  // Only its fingerprint is ever checked, so it need not expire within a lifetime.
                  X509_gmtime_adj(X509_getm_notAfter(x), 30L * 365 * 24 * 3600) &&
                  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                             reinterpret_cast<const unsigned char*>("tandem"), -1,
                                             -1, 0) == 1 &&
                  X509_set_subject_name(x, name) == 1 && X509_set_issuer_name(x, name) == 1 &&
                  X509_set_pubkey(x, keys->key) == 1 && X509_sign(x, keys->key, EVP_sha256()) > 0;
  X509_NAME_free(name);
  if (!ok) throw OpenSslError("certificate");
  return std::shared_ptr<const DtlsIdentity>(new DtlsIdentity(std::move(keys)));
}

std::shared_ptr<const DtlsIdentity> DtlsIdentity::LoadOrCreate(const std::filesystem::path& file) {
  if (BIO* in = BIO_new_file(file.c_str(), "r")) {
    auto keys = std::make_unique<Keys>();
    keys->key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    keys->cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (keys->key && keys->cert && X509_check_private_key(keys->cert, keys->key) == 1) {
      return std::shared_ptr<const DtlsIdentity>(new DtlsIdentity(std::move(keys)));
    }
    // A damaged file: a new identity replaces it (the partner sees a new fingerprint).
  }
  ERR_clear_error();
  auto identity = Generate();
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  // Written beside and renamed over, owner-only from its creation: never a half-written key,
  // never one another user could read.
  const std::string temporary = file.string() + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + temporary);
  ::fchmod(fd, 0600);
  BIO* out = BIO_new_fd(fd, BIO_CLOSE);
  const bool written = out &&
                       PEM_write_bio_PrivateKey(out, identity->Get().key, nullptr, nullptr, 0,
                                                nullptr, nullptr) == 1 &&
                       PEM_write_bio_X509(out, identity->Get().cert) == 1 && BIO_flush(out) == 1;
  if (out) {
    BIO_free(out);
  } else {
    ::close(fd);
  }
  if (!written || std::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + file.string());
  }
  return identity;
}

}  // namespace tandem::net
