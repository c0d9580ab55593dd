// DTLS-SRTP (RFC 5764): a DTLS 1.2 handshake on the session's own port that gives fresh SRTP keys
// for every session. The handshake runs in OpenSSL over memory BIOs: this layer owns no socket,
// it takes the datagrams that arrive and hands back the ones to send, so it runs over our UDP
// sockets or over anything else that carries datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/DtlsDatagrams.h"
#include "net/DtlsIdentity.h"

namespace tandem::net {

// How a session is authenticated. A pre-shared key alone gives a PSK handshake (ECDHE-PSK
// suites: forward secrecy, no certificates). An identity gives a certificate handshake (ECDHE-
// ECDSA), both sides showing theirs; with an expected fingerprint the partner's must be that
// one. With both, the certificate handshake runs and the pre-shared key is folded into the SRTP
// keys, so a partner must hold the key and the expected certificate.
struct DtlsConfig {
  std::vector<uint8_t> psk;
  std::shared_ptr<const DtlsIdentity> identity;
  std::string expectedFingerprint;  // empty: any certificate
};

// The SRTP keys one handshake exported, for libsrtp.
struct SrtpKeying {
  enum class Profile { AesCm128HmacSha1_80, AeadAes128Gcm };
  Profile profile = Profile::AesCm128HmacSha1_80;
  std::vector<uint8_t> local;   // master key then master salt, for what we send
  std::vector<uint8_t> remote;  // the same for what the partner sends
};

enum class DtlsFailure {
  None,
  Authentication,  // the partner's key or certificate is not ours: "passphrase mismatch?"
  Fingerprint,     // its certificate is not the expected one
  NoSrtpProfile,   // the partner offered no SRTP profile we run
  Timeout,         // no answer after every retransmission
  Protocol,        // anything else OpenSSL refused
};
const char* DtlsFailureText(DtlsFailure failure);

struct DtlsStats {
  uint64_t handshakesDone = 0;
  uint64_t handshakesFailed = 0;
  // ... of which the partner answered but was refused (all but the ones that got no answer).
  uint64_t handshakesRefused = 0;
  uint64_t fingerprintRefused = 0;  // handshakes failed on the partner's fingerprint
  // Datagrams that came to nothing: those of a handshake that gave no keys (one that failed, or
  // one the partner dropped for another), those that came after it failed, and those a finished
  // handshake neither read nor answered (records under keys we don't have). A ClientHello that
  // lost the choice of roles is taken: it said where and who the partner is.
  uint64_t datagramsRefused = 0;
  uint64_t datagramsIn = 0;
  uint64_t datagramsOut = 0;
};

// One peer's side of DTLS-SRTP for one session. Both partners run the same code and neither is
// told its role: each starts as a client, and when two ClientHellos cross, the one with the
// larger client random (RFC 5246 7.4.1.2, 32 bytes compared as a big-endian number) stays the
// client while the other becomes the server and answers it. A ClientHello that arrives once a
// handshake is done is the partner starting again: we answer it as the server, keeping the old
// keys until the new handshake completes, so a replayed ClientHello cannot end a session.
//
// OpenSSL times its retransmissions on its own clock; `nowUs` (monotonic microseconds) times
// what this class adds: the retry after a failed handshake.
class DtlsSession {
 public:
  // Throws std::runtime_error when OpenSSL cannot be set up with this configuration.
  explicit DtlsSession(DtlsConfig config);
  ~DtlsSession();
  DtlsSession(const DtlsSession&) = delete;
  DtlsSession& operator=(const DtlsSession&) = delete;

  // Starts a handshake as a client (the first flight is then waiting in TakeOutgoing).
  void Start(int64_t nowUs);
  // A datagram from the partner, first byte 20 to 63 (ClassifyDatagram says Dtls).
  void OnDatagram(std::span<const uint8_t> datagram, int64_t nowUs);
  // Runs what is due: retransmissions, and a new attempt some time after a failure.
  void OnTimer(int64_t nowUs);
  // When OnTimer next has work (monotonic microseconds), or -1 for never.
  int64_t NextTimerUs(int64_t nowUs) const;
  // The datagrams to send to the partner, oldest first.
  std::vector<std::vector<uint8_t>> TakeOutgoing();

  // True once a handshake has given keys (and while a later one runs).
  bool Connected() const { return generation_ > 0; }
  bool Handshaking() const;
  // Why the last handshake failed (None when it did not).
  DtlsFailure LastFailure() const { return lastFailure_; }
  // Counts the handshakes that gave keys; TakeKeys returns each generation once.
  uint64_t Generation() const { return generation_; }
  std::optional<SrtpKeying> TakeKeys();
  // The partner's certificate fingerprint, once a certificate handshake is done.
  const std::string& PeerFingerprint() const { return peerFingerprint_; }
  // The cipher suite of the last handshake that gave keys, e.g. "ECDHE-PSK-CHACHA20-POLY1305".
  const std::string& Cipher() const { return cipher_; }
  const DtlsStats& Stats() const { return stats_; }

  // A failed handshake is tried again this long after, as a client.
  static constexpr int64_t kRetryAfterFailureUs = 1'000'000;
  // A server that cannot read our Finished drops it without a word (RFC 6347 4.1.2.7): its
  // pre-shared key differs. A client whose Finished gets no answer this long takes it so; on a
  // lossy path a retransmission gets through well within it.
  static constexpr int64_t kFinishedAnswerUs = 1'500'000;

 private:
  struct Endpoint;
  void StartEndpoint(bool client);
  void RefuseTaken();
  void Feed(std::span<const uint8_t> datagram, int64_t nowUs);
  void Progress(int64_t nowUs);
  void Fail(DtlsFailure failure, int64_t nowUs);
  bool Export();

  DtlsConfig config_;
  struct Context;
  std::unique_ptr<Context> ctx_;
  std::unique_ptr<Endpoint> current_;
  std::vector<std::vector<uint8_t>> outgoing_;
  uint64_t generation_ = 0;
  uint64_t taken_ = 0;
  std::optional<SrtpKeying> keys_;
  DtlsFailure lastFailure_ = DtlsFailure::None;
  int64_t retryAtUs_ = -1;
  std::string peerFingerprint_;
  std::string cipher_;
  DtlsStats stats_;
};

}  // namespace tandem::net
