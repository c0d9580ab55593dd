#include "net/Dtls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "net/DtlsDatagrams.h"
#include "net/Srtp.h"

namespace tandem::net {

namespace {

constexpr char kExporterLabel[] = "EXTRACTOR-dtls_srtp";  // RFC 5764 4.2
constexpr char kPskIdentity[] = "tandem";
constexpr char kPskMixInfo[] = "tandem dtls-srtp psk";
// Below any path MTU we meet, so a flight is never cut by the network.
constexpr long kMtu = 1200;
// RFC 6347 4.2.4.1 suggests a first retransmission after 1 s; a musician waits for the first
// note, so we start at 100 ms, doubling up to 800 ms, a few datagrams more on a lossy path.
constexpr unsigned kFirstTimeoutUs = 100'000;
constexpr unsigned kLongestTimeoutUs = 800'000;

constexpr uint8_t kContentAlert = 21;
constexpr int kMaxFarewells = 4;

// Where the certificate check leaves what it saw, for the handshake step that runs it.
struct VerifyProbe {
  std::string* fingerprint;
  bool* bad;
};

unsigned RetransmitTimer(SSL*, unsigned previousUs) {
  return previousUs == 0 ? kFirstTimeoutUs : std::min(previousUs * 2, kLongestTimeoutUs);
}

}  // namespace

const char* DtlsFailureText(DtlsFailure failure) {
  switch (failure) {
    case DtlsFailure::None:
      return "none";
    case DtlsFailure::Authentication:
      return "passphrase mismatch?";
    case DtlsFailure::Fingerprint:
      return "unexpected certificate";
    case DtlsFailure::NoSrtpProfile:
      return "no common SRTP profile";
    case DtlsFailure::Timeout:
      return "no answer";
    case DtlsFailure::Protocol:
      return "handshake refused";
  }
  return "?";
}

// ---- one handshake

struct DtlsSession::Context {
  SSL_CTX* ctx = nullptr;
  ~Context() { SSL_CTX_free(ctx); }
};

struct DtlsSession::Endpoint {
  SSL* ssl = nullptr;
  BIO* in = nullptr;  // owned by ssl
  bool client = false;
  // Ours when client, the partner's when server: what tells two handshakes apart.
  std::array<uint8_t, 32> random{};
  bool heardBack = false;     // a client that got anything from the partner's server
  uint64_t took = 0;          // the partner's datagrams this handshake read
  int64_t finishedAtUs = -1;  // when a client sent its Finished
  bool done = false;
  bool failed = false;
  bool fingerprintBad = false;
  std::string peerFingerprint;
  // What we said when this handshake failed, said again to a partner that goes on sending.
  std::vector<std::vector<uint8_t>> farewell;
  int farewellsLeft = kMaxFarewells;
  ~Endpoint() { SSL_free(ssl); }
};

namespace {

const DtlsConfig& ConfigOf(SSL* ssl) {
  return *static_cast<const DtlsConfig*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

unsigned PskClient(SSL* ssl, const char*, char* identity, unsigned maxIdentity, unsigned char* psk,
                   unsigned maxPsk) {
  const DtlsConfig& c = ConfigOf(ssl);
  if (sizeof kPskIdentity > maxIdentity || c.psk.size() > maxPsk) return 0;
  std::memcpy(identity, kPskIdentity, sizeof kPskIdentity);
  std::memcpy(psk, c.psk.data(), c.psk.size());
  return static_cast<unsigned>(c.psk.size());
}

unsigned PskServer(SSL* ssl, const char*, unsigned char* psk, unsigned maxPsk) {
  // The identity is not a secret and names nothing: one key per session, whoever asks.
  const DtlsConfig& c = ConfigOf(ssl);
  if (c.psk.size() > maxPsk) return 0;
  std::memcpy(psk, c.psk.data(), c.psk.size());
  return static_cast<unsigned>(c.psk.size());
}

int VerifyPeer(int, X509_STORE_CTX* store) {
  // Self-signed certificates are the point: only the fingerprint says who the partner is.
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (!ssl || !cert) return 0;
  auto* probe = static_cast<VerifyProbe*>(SSL_get_app_data(ssl));
  const std::string fingerprint = CertificateFingerprint(cert);
  const DtlsConfig& c = ConfigOf(ssl);
  if (probe) *probe->fingerprint = fingerprint;
  if (fingerprint.empty() ||
      (!c.expectedFingerprint.empty() && !SameFingerprint(fingerprint, c.expectedFingerprint))) {
    if (probe) *probe->bad = true;
    return 0;
  }
  return 1;
}

}  // namespace

DtlsSession::DtlsSession(DtlsConfig config) : config_(std::move(config)) {
  if (config_.psk.empty() && !config_.identity) {
    throw std::runtime_error("DTLS needs a pre-shared key or a certificate");
  }
  ctx_ = std::make_unique<Context>();
  SSL_CTX* ctx = ctx_->ctx = SSL_CTX_new(DTLS_method());
  if (!ctx) throw OpenSslError("DTLS context");
  SSL_CTX_set_app_data(ctx, const_cast<DtlsConfig*>(&config_));
  SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, DTLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  // RFC 5764 4.1.2: the profiles we run, best first; GCM only where libsrtp has it.
  const char* profiles = rtp::SrtpSupportsGcm() ? "SRTP_AEAD_AES_128_GCM:SRTP_AES128_CM_SHA1_80"
                                                : "SRTP_AES128_CM_SHA1_80";
  if (SSL_CTX_set_tlsext_use_srtp(ctx, profiles) != 0) throw OpenSslError("use_srtp");
  if (config_.identity) {
    const auto& k = config_.identity->Get();
    if (SSL_CTX_use_certificate(ctx, k.cert) != 1 || SSL_CTX_use_PrivateKey(ctx, k.key) != 1 ||
        SSL_CTX_set_cipher_list(
            ctx, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305") != 1) {
      throw OpenSslError("DTLS certificate");
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, VerifyPeer);
  } else {
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE-PSK-CHACHA20-POLY1305:ECDHE-PSK-AES128-CBC-SHA256") !=
        1) {
      throw OpenSslError("DTLS PSK suites");
    }
    SSL_CTX_set_psk_client_callback(ctx, PskClient);
    SSL_CTX_set_psk_server_callback(ctx, PskServer);
  }
}

DtlsSession::~DtlsSession() = default;

// The datagrams of a handshake that will give no keys were taken for nothing.
void DtlsSession::RefuseTaken() {
  if (!current_) return;
  stats_.datagramsRefused += current_->took;
  current_->took = 0;
}

void DtlsSession::StartEndpoint(bool client) {
  RefuseTaken();
  auto e = std::make_unique<Endpoint>();
  e->client = client;
  e->ssl = SSL_new(ctx_->ctx);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(DatagramMethod());
  if (!e->ssl || !in || !out) {
    BIO_free(in);
    BIO_free(out);
    throw OpenSslError("DTLS connection");
  }
  BIO_set_mem_eof_return(in, -1);  // empty means "wait for more", not end of stream
  BIO_set_data(out, &outgoing_);
  SSL_set_bio(e->ssl, in, out);
  e->in = in;
  SSL_set_mtu(e->ssl, kMtu);
  DTLS_set_link_mtu(e->ssl, kMtu);
  DTLS_set_timer_cb(e->ssl, RetransmitTimer);
  if (client) {
    SSL_set_connect_state(e->ssl);
  } else {
    SSL_set_accept_state(e->ssl);
  }
  current_ = std::move(e);
}

void DtlsSession::Start(int64_t nowUs) {
  retryAtUs_ = -1;
  StartEndpoint(true);
  Progress(nowUs);
  if (current_) SSL_get_client_random(current_->ssl, current_->random.data(), 32);
}

bool DtlsSession::Handshaking() const {
  return current_ && !current_->done && !current_->failed;
}

void DtlsSession::OnDatagram(std::span<const uint8_t> datagram, int64_t nowUs) {
  ++stats_.datagramsIn;
  if (const auto hello = ClientHelloRandom(datagram)) {
    if (Handshaking() && current_->client && !current_->heardBack) {
      // Two clients: the larger random keeps its role (see the class comment).
      const int order = std::memcmp(hello->data(), current_->random.data(), 32);
      if (order < 0) return;
      if (order == 0) {
        Start(nowUs);
        return;
      }
    } else if (current_ && !current_->client && current_->random == *hello) {
      Feed(datagram, nowUs);  // a retransmission, for the handshake it started
      return;
    }
    // The partner starts a handshake (again): we answer it.
    retryAtUs_ = -1;
    StartEndpoint(false);
    current_->random = *hello;
    Feed(datagram, nowUs);
    return;
  }
  if (current_) Feed(datagram, nowUs);
}

void DtlsSession::Feed(std::span<const uint8_t> datagram, int64_t nowUs) {
  Endpoint& e = *current_;
  if (e.failed) {
    ++stats_.datagramsRefused;
    // Never in answer to an alert, and a few times only: two failed sides must not keep each
    // other talking, nor a forged datagram make us send more than it.
    if (!datagram.empty() && datagram[0] != kContentAlert && e.farewellsLeft > 0) {
      --e.farewellsLeft;
      outgoing_.insert(outgoing_.end(), e.farewell.begin(), e.farewell.end());
    }
    return;
  }
  if (datagram.size() > INT32_MAX) return;
  if (e.client) e.heardBack = true;
  BIO_write(e.in, datagram.data(), static_cast<int>(datagram.size()));
  if (!e.done) {
    ++e.took;
    Progress(nowUs);
    // DTLS drops a record that does not decrypt without a word (RFC 6347 4.1.2.7), so a wrong
    // pre-shared key shows only this way: the partner's keys changed, and its Finished under
    // them is gone. (The client learns it from the silence after its Finished: OnTimer.)
    const OSSL_HANDSHAKE_STATE state = SSL_get_state(e.ssl);
    if (!e.done && !e.failed && HasEncryptedRecord(datagram) &&
        (state == TLS_ST_SR_CHANGE || state == TLS_ST_CR_CHANGE)) {
      Fail(DtlsFailure::Authentication, nowUs);
    }
  } else {
    // After the handshake: OpenSSL answers a retransmitted last flight; there is no
    // application data on this channel, so what it reads is thrown away. Anything it does not
    // answer (a record of another session, under keys we don't have) came to nothing, except a
    // late copy of the ClientHello this handshake answered.
    const size_t before = outgoing_.size();
    uint8_t sink[256];
    ERR_clear_error();
    while (SSL_read(e.ssl, sink, sizeof sink) > 0) {
    }
    ERR_clear_error();
    if (outgoing_.size() == before && !ClientHelloRandom(datagram)) ++stats_.datagramsRefused;
  }
  // One datagram at a time: nothing of this one may be read as the start of the next.
  if (current_) BIO_reset(current_->in);
}

void DtlsSession::Progress(int64_t nowUs) {
  Endpoint& e = *current_;
  VerifyProbe probe{&e.peerFingerprint, &e.fingerprintBad};
  SSL_set_app_data(e.ssl, &probe);
  ERR_clear_error();
  const size_t before = outgoing_.size();
  const int r = SSL_do_handshake(e.ssl);
  const int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(e.ssl, r);
  SSL_set_app_data(e.ssl, nullptr);
  if (r == 1) {
    e.done = true;
    if (!Export()) {
      Fail(DtlsFailure::NoSrtpProfile, nowUs);
      return;
    }
    ++stats_.handshakesDone;
    e.took = 0;  // every one of them went into the keys
    lastFailure_ = DtlsFailure::None;
    return;
  }
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    if (e.client && e.finishedAtUs < 0 && SSL_get_state(e.ssl) == TLS_ST_CW_FINISHED) {
      e.finishedAtUs = nowUs;
    }
    return;
  }
  // The alert OpenSSL sent for this failure, if any.
  e.farewell.assign(outgoing_.begin() + static_cast<ptrdiff_t>(std::min(before, outgoing_.size())),
                    outgoing_.end());
  if (e.fingerprintBad) {
    ++stats_.fingerprintRefused;
    Fail(DtlsFailure::Fingerprint, nowUs);
  } else {
    // Two honest partners agree on everything else; what differs is the key (a passphrase) or
    // the kind of identity (a passphrase on one side only).
    Fail(DtlsFailure::Authentication, nowUs);
  }
}

void DtlsSession::Fail(DtlsFailure failure, int64_t nowUs) {
  ERR_clear_error();
  RefuseTaken();
  current_->failed = true;
  ++stats_.handshakesFailed;
  if (failure != DtlsFailure::Timeout) ++stats_.handshakesRefused;
  lastFailure_ = failure;
  // A partner that restarts answers our new attempt; with keys in hand, the session goes on.
  if (!Connected()) retryAtUs_ = nowUs + kRetryAfterFailureUs;
}

bool DtlsSession::Export() {
  Endpoint& e = *current_;
  const SRTP_PROTECTION_PROFILE* profile = SSL_get_selected_srtp_profile(e.ssl);
  if (!profile) return false;
  SrtpKeying k;
  size_t saltLength = 14;
  if (profile->id == SRTP_AEAD_AES_128_GCM) {
    k.profile = SrtpKeying::Profile::AeadAes128Gcm;
    saltLength = 12;
  } else if (profile->id != SRTP_AES128_CM_SHA1_80) {
    return false;
  }
  constexpr size_t keyLength = 16;
  std::vector<uint8_t> m(2 * (keyLength + saltLength));
  if (SSL_export_keying_material(e.ssl, m.data(), m.size(), kExporterLabel,
                                 sizeof kExporterLabel - 1, nullptr, 0, 0) != 1) {
    return false;
  }
  if (!config_.psk.empty() && config_.identity) {
    // The certificate handshake alone does not prove the passphrase: fold it into the keys, so
    // a partner without it cannot open a packet.
    std::vector<uint8_t> mixed(m.size());
    EVP_PKEY_CTX* kdf = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    size_t length = mixed.size();
    const bool ok =
        kdf && EVP_PKEY_derive_init(kdf) > 0 && EVP_PKEY_CTX_set_hkdf_md(kdf, EVP_sha256()) > 0 &&
        EVP_PKEY_CTX_set1_hkdf_salt(kdf, config_.psk.data(), static_cast<int>(config_.psk.size())) >
            0 &&
        EVP_PKEY_CTX_set1_hkdf_key(kdf, m.data(), static_cast<int>(m.size())) > 0 &&
        EVP_PKEY_CTX_add1_hkdf_info(kdf, reinterpret_cast<const unsigned char*>(kPskMixInfo),
                                    sizeof kPskMixInfo - 1) > 0 &&
        EVP_PKEY_derive(kdf, mixed.data(), &length) > 0 && length == mixed.size();
    EVP_PKEY_CTX_free(kdf);
    OPENSSL_cleanse(m.data(), m.size());
    if (!ok) return false;
    m.swap(mixed);
  }
  // RFC 5764 4.2: client key, server key, client salt, server salt.
  const auto part = [&](size_t at, size_t n) {
    return std::vector<uint8_t>(m.begin() + static_cast<ptrdiff_t>(at),
                                m.begin() + static_cast<ptrdiff_t>(at + n));
  };
  std::vector<uint8_t> client = part(0, keyLength), server = part(keyLength, keyLength);
  const auto clientSalt = part(2 * keyLength, saltLength);
  const auto serverSalt = part(2 * keyLength + saltLength, saltLength);
  client.insert(client.end(), clientSalt.begin(), clientSalt.end());
  server.insert(server.end(), serverSalt.begin(), serverSalt.end());
  OPENSSL_cleanse(m.data(), m.size());
  k.local = e.client ? client : server;
  k.remote = e.client ? server : client;
  keys_ = std::move(k);
  ++generation_;
  peerFingerprint_ = e.peerFingerprint;
  cipher_ = SSL_get_cipher_name(e.ssl) ? SSL_get_cipher_name(e.ssl) : "";
  return true;
}

void DtlsSession::OnTimer(int64_t nowUs) {
  if (Handshaking() && current_->finishedAtUs >= 0 &&
      nowUs - current_->finishedAtUs >= kFinishedAnswerUs) {
    Fail(DtlsFailure::Authentication, nowUs);
  }
  if (current_ && !current_->failed) {
    timeval tv{};
    if (DTLSv1_get_timeout(current_->ssl, &tv) == 1 && tv.tv_sec == 0 && tv.tv_usec == 0) {
      ERR_clear_error();
      if (DTLSv1_handle_timeout(current_->ssl) < 0 && !current_->done) {
        Fail(DtlsFailure::Timeout, nowUs);
      }
      ERR_clear_error();
    }
  }
  if (retryAtUs_ >= 0 && nowUs >= retryAtUs_ && !Connected()) Start(nowUs);
}

int64_t DtlsSession::NextTimerUs(int64_t nowUs) const {
  int64_t next = retryAtUs_;
  if (Handshaking() && current_->finishedAtUs >= 0) {
    const int64_t at = current_->finishedAtUs + kFinishedAnswerUs;
    next = next < 0 ? at : std::min(next, at);
  }
  if (current_ && !current_->failed) {
    timeval tv{};
    if (DTLSv1_get_timeout(current_->ssl, &tv) == 1) {
      const int64_t at = nowUs + int64_t{tv.tv_sec} * 1'000'000 + tv.tv_usec;
      next = next < 0 ? at : std::min(next, at);
    }
  }
  return next;
}

std::vector<std::vector<uint8_t>> DtlsSession::TakeOutgoing() {
  stats_.datagramsOut += outgoing_.size();
  std::vector<std::vector<uint8_t>> out;
  out.swap(outgoing_);
  return out;
}

std::optional<SrtpKeying> DtlsSession::TakeKeys() {
  if (taken_ == generation_ || !keys_) return std::nullopt;
  taken_ = generation_;
  return keys_;
}

}  // namespace tandem::net
