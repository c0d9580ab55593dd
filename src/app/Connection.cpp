#include "app/Connection.h"

#include <cstdio>
#include <stdexcept>

namespace tandem {

namespace {

constexpr auto kGatherWait = std::chrono::seconds(10);
// Checks that fail go round again on their own. The joining side waits for its partner to paste
// the answer, which may take minutes; the inviting side pastes last, so its failure is real.
constexpr auto kJoinerPatience = std::chrono::minutes(3);
constexpr auto kInviterPatience = std::chrono::seconds(30);

// "AB:12:..." (RFC 8122 5) as its 32 bytes, for the code; nothing when it is not that form.
std::vector<uint8_t> FingerprintBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 3) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return {};
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes.size() == 32 ? bytes : std::vector<uint8_t>{};
}

std::string FingerprintText(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : ":%02X", b);
    text += pair;
  }
  return text;
}

// The path named by its selected pair as a whole. Relayed when either end is on a TURN relay,
// saying whose: the partner's notes make a detour through it. Direct through a public address
// when either end is one a router gave: server-reflexive, or peer-reflexive (the same kind of
// address, learned from the checks rather than from a STUN server). Host only when both ends
// are the computers' own addresses.
std::string PathName(const IceStatus& s) {
  using Type = IceCandidate::Type;
  const bool ours = s.local == Type::kRelayed, theirs = s.remote == Type::kRelayed;
  if (ours && theirs) return "relayed by our TURN server and the partner's";
  if (ours) return "relayed by our TURN server";
  if (theirs) return "relayed by the partner's TURN server";
  if (s.local == Type::kHost && s.remote == Type::kHost) return "direct (host)";
  return "direct (public address)";
}

// A certificate of our own for this connection; none when OpenSSL cannot make one (the session
// then keys itself as without a code: with the passphrase, or not at all).
std::shared_ptr<const net::DtlsIdentity> NewIdentity() {
  try {
    return net::DtlsIdentity::Generate();
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

std::optional<IceServer> ParseServer(const std::string& text) {
  IceServer s;
  std::string host = text;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return std::nullopt;
      port = text.substr(close + 2);
    }
  } else if (const auto colon = text.rfind(':');
             colon != std::string::npos && text.find(':') == colon) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  s.host = host;
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    const int p = std::stoi(port);
    if (p <= 0 || p > 65535) return std::nullopt;
    s.port = static_cast<uint16_t>(p);
  }
  return s;
}

Connection::Connection(TFormCtl& form, IceSettings settings)
    : form_(form), settings_(std::move(settings)) {}

Connection::~Connection() {
  // The session may still hold the path; it goes with the session's next set-up.
  form_.SetConnectionPath(nullptr);
}

std::string Connection::Invite() {
  settings_.controlling = true;  // RFC 8445 6.1.1: the side that offers controls
  agent_ = std::make_shared<IceAgent>(settings_);
  ours_.kind = Invitation::Kind::kInvitation;
  ours_.id = NewInvitationId();
  ours_.ice = agent_->Local(kGatherWait);
  identity_ = NewIdentity();
  if (identity_) ours_.fingerprint = FingerprintBytes(identity_->Fingerprint());
  return EncodeInvitation(ours_);
}

std::optional<std::string> Connection::Join(const std::string& code, std::string& error) {
  const auto theirs = DecodeInvitation(code, error);
  if (!theirs) return std::nullopt;
  if (theirs->kind != Invitation::Kind::kInvitation) {
    error = "this is an answer; the invitation comes from the inviting side";
    return std::nullopt;
  }
  settings_.controlling = false;
  try {
    agent_ = std::make_shared<IceAgent>(settings_);
  } catch (const std::exception& e) {
    error = e.what();
    return std::nullopt;
  }
  ours_.kind = Invitation::Kind::kAnswer;
  ours_.id = theirs->id;  // the answer names the invitation it answers
  ours_.ice = agent_->Local(kGatherWait);
  identity_ = NewIdentity();
  if (identity_) ours_.fingerprint = FingerprintBytes(identity_->Fingerprint());
  // The certificate the invitation names is the only one the handshake takes.
  if (identity_ && theirs->fingerprint.size() == 32) {
    agent_->SetCertificates(identity_, FingerprintText(theirs->fingerprint));
  }
  if (!agent_->SetRemote(theirs->ice)) {
    error = "the invitation names no address that can be reached";
    return std::nullopt;
  }
  answered_ = true;
  checkingSince_ = std::chrono::steady_clock::now();
  return EncodeInvitation(ours_);
}

bool Connection::Answer(const std::string& code, std::string& error) {
  if (!agent_ || ours_.kind != Invitation::Kind::kInvitation) {
    error = "there is no invitation of ours to answer";
    return false;
  }
  const auto theirs = DecodeInvitation(code, error);
  if (!theirs) return false;
  if (theirs->kind != Invitation::Kind::kAnswer) {
    error = "this is an invitation, not an answer";
    return false;
  }
  if (theirs->id != ours_.id) {
    error = "this answer is to another invitation";
    return false;
  }
  // A code is good for one connection: a second answer would take over the first partner's.
  if (answered_) {
    error = "this invitation was answered already; make a new one";
    return false;
  }
  if (identity_ && theirs->fingerprint.size() == 32) {
    agent_->SetCertificates(identity_, FingerprintText(theirs->fingerprint));
  }
  if (!agent_->SetRemote(theirs->ice)) {
    error = "the answer names no address that can be reached";
    return false;
  }
  answered_ = true;
  checkingSince_ = std::chrono::steady_clock::now();
  return true;
}

std::string Connection::Describe() const {
  if (!agent_) return "";
  const IceStatus s = agent_->Status();
  switch (s.state) {
    case IceState::kGathering:
    case IceState::kWaiting:
      if (s.stunFailed && ours_.ice.candidates.empty()) return "failed: no STUN answer";
      return answered_ ? "checking" : "waiting for answer";
    case IceState::kChecking:
      if (s.reconnecting) return "reconnecting";
      if (s.failedBefore && !Patient()) return "failed: no candidate pair works";
      return "checking";
    case IceState::kConnected:
      // The path works, but the one at its end is not the partner the code named.
      if (started_ && form_.PathCertificateRefused.load()) {
        return "failed: certificate does not match";
      }
      return PathName(s);
    case IceState::kFailed:
      if (s.reconnecting) return "reconnecting";
      if (Patient()) return "checking";
      return s.stunFailed ? "failed: no STUN answer" : "failed: no candidate pair works";
  }
  return "";
}

bool Connection::Patient() const {
  const auto patience =
      ours_.kind == Invitation::Kind::kInvitation ? kInviterPatience : kJoinerPatience;
  return std::chrono::steady_clock::now() - checkingSince_ < patience;
}

std::optional<std::string> Connection::Poll() {
  const std::string text = Describe();
  if (agent_ && !started_ && agent_->Status().state == IceState::kConnected) {
    started_ = true;
    form_.SetConnectionPath(agent_);
    if (!form_.RtpActive.load()) form_.ButtonStartRTPClick();
  }
  if (text == shown_) return std::nullopt;
  shown_ = text;
  return text;
}

}  // namespace tandem
