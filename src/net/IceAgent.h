// One ICE connection (RFC 8445) through libnice: gathers host, server-reflexive and relayed
// candidates, runs the connectivity checks against the partner's, and carries datagrams over the
// selected pair. RTP and RTCP share its single component (RFC 5761).
//
// The agent lives in a GLib main context on a thread of its own. Its receive callback only copies
// the datagram into a bounded queue and makes Fd() readable; the consumer drains with Receive.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/DatagramPath.h"
#include "net/Dtls.h"
#include "net/IpAddress.h"

namespace tandem {

struct IceServer {
  std::string host;  // a name or a numeric address; empty: none
  uint16_t port = 3478;
};

struct IceSettings {
  IceServer stun;
  IceServer turn;  // relayed candidates only with a user too
  std::string turnUser;
  std::string turnPassword;
  bool controlling = false;  // the inviting side controls (RFC 8445 6.1.1: the offerer)
  std::vector<IpAddress> localAddresses;  // host candidates only on these; empty: every interface
};

struct IceCandidate {
  enum class Type : uint8_t { kHost = 0, kServerReflexive = 1, kPeerReflexive = 2, kRelayed = 3 };
  Type type = Type::kHost;
  IpAddress address;
  uint16_t port = 0;
  uint32_t priority = 0;
  bool operator==(const IceCandidate&) const = default;
};

// What one side tells the other: its credentials (RFC 8445 5.3) and candidates.
struct IceDescription {
  std::string ufrag;
  std::string pwd;
  std::vector<IceCandidate> candidates;
  bool operator==(const IceDescription&) const = default;
};

enum class IceState : uint8_t {
  kGathering,
  kWaiting,  // gathered; no partner description yet
  kChecking,
  kConnected,
  kFailed,
};

struct IceStatus {
  IceState state = IceState::kGathering;
  bool relayed = false;  // connected through a TURN relay, ours or the partner's
  // The ends of the selected pair, once connected: ours and the partner's.
  IceCandidate::Type local = IceCandidate::Type::kHost;
  IceCandidate::Type remote = IceCandidate::Type::kHost;
  bool reconnecting = false;  // a working path broke; checking again on our own
  bool failedBefore = false;  // no pair worked yet, and the checks go on again
  bool stunFailed = false;    // a STUN server was named and no server-reflexive candidate came
  std::string selected;       // "local -> remote" of the selected pair, when connected
};

class IceAgent : public rtp::DatagramPath {
 public:
  // Starts the agent's thread and gathering. Throws std::runtime_error when libnice cannot set up
  // (the STUN or TURN host does not resolve, no stream).
  explicit IceAgent(const IceSettings& settings);
  ~IceAgent() override;
  IceAgent(const IceAgent&) = delete;
  IceAgent& operator=(const IceAgent&) = delete;

  // Waits for gathering to end (at most `timeout`), then gives our credentials and candidates.
  IceDescription Local(std::chrono::milliseconds timeout);
  // The partner's description: the checks start. False when it names no usable candidate.
  bool SetRemote(const IceDescription& remote);

  // Sends one datagram over the selected pair; 0, or -errno (-ENOTCONN before a pair works).
  int Send(std::span<const uint8_t> bytes) override;
  // Takes one received datagram into buffer: its length, or -EAGAIN when none waits. A datagram
  // longer than the buffer is cut (the full length is still returned).
  int64_t Receive(std::span<uint8_t> buffer) override;
  // Readable while datagrams wait (an eventfd); -1 when the system gave none.
  int Fd() const override;
  // The partner's first candidate's address (none before SetRemote).
  IpAddress Peer() const override;
  // Datagrams dropped because the consumer fell too far behind.
  uint64_t Overflowed() const;

  IceStatus Status() const;

  // Who is at the other end: our certificate and the fingerprint the partner's code named. A
  // session over this path keys itself with a handshake that checks it. Set before the session.
  void SetCertificates(std::shared_ptr<const net::DtlsIdentity> ours, std::string theirs) {
    identity_ = std::move(ours);
    expectedFingerprint_ = std::move(theirs);
  }
  const std::shared_ptr<const net::DtlsIdentity>& Identity() const { return identity_; }
  const std::string& ExpectedFingerprint() const { return expectedFingerprint_; }

 private:
  std::shared_ptr<const net::DtlsIdentity> identity_;
  std::string expectedFingerprint_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tandem
