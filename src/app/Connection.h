// A connection made from invitation codes: the ICE agent, the codes both ways, and the
// "Connection" status. Once a path works, the RTP session starts over it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "model/FormCtrl.h"
#include "net/IceAgent.h"
#include "net/Invitation.h"

namespace tandem {

// The STUN server used when none is named.
inline constexpr const char* kDefaultStun = "stun.l.google.com:19302";

// "host:port", "[v6]:port" or a bare host (port 3478). Nothing when the port is unusable.
std::optional<IceServer> ParseServer(const std::string& text);

class Connection {
 public:
  Connection(TFormCtl& form, IceSettings settings);
  ~Connection();

  // The inviting side: gathers and gives the invitation code. Throws std::runtime_error when the
  // agent cannot start.
  std::string Invite();
  // The joining side: takes the partner's invitation and gives the answer code, or nothing with
  // the reason in `error`.
  std::optional<std::string> Join(const std::string& invitation, std::string& error);
  // The inviting side takes the partner's answer. False, with the reason, when it is not an
  // answer to our invitation, or our invitation was answered already.
  bool Answer(const std::string& code, std::string& error);

  // Follows the agent: starts the session once a path works. The "Connection" text when it
  // changed since the last call.
  std::optional<std::string> Poll();
  std::string Text() const { return shown_; }

 private:
  std::string Describe() const;
  // Failed checks are still young enough to be shown as "checking" while they go round again.
  bool Patient() const;

  TFormCtl& form_;
  IceSettings settings_;
  std::shared_ptr<IceAgent> agent_;
  std::shared_ptr<const net::DtlsIdentity> identity_;
  Invitation ours_;
  bool answered_ = false;
  std::chrono::steady_clock::time_point checkingSince_;  // when both descriptions were known
  bool started_ = false;
  std::string shown_;
};

}  // namespace tandem
