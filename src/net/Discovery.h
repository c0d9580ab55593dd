// Finding partners by name on the local network (DNS-SD over multicast DNS, through the Avahi
// daemon): our session is announced while it listens, and the sessions others announce are
// listed. All the talking to the daemon happens on a thread of its own, so neither the window
// nor the session ever waits for it; without a daemon the list says so and nothing else changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tandem {

// What a listed session speaks: our own wire (_tandem._udp, on its listen port) or RTP-MIDI
// (_apple-midi._udp, on its control port), which Macs, iPads, Windows rtpMIDI and rtpmidid list.
enum class ServiceKind : uint8_t { kTandem, kRtpMidi };

// "Tandem" or "RTP-MIDI", as the list shows it.
const char* ServiceLabel(ServiceKind kind);

struct NearbyService {
  std::string name;
  ServiceKind kind = ServiceKind::kTandem;
  // One that works from here: IPv4, else a global IPv6 address, else a link-local one with its
  // interface ("fe80::1%eth0").
  std::string address;
  uint16_t port = 0;

  bool operator==(const NearbyService&) const = default;
};

// "NAME · Tandem"
std::string NearbyLine(const NearbyService& service);
// "192.0.2.7:5004", "[2001:db8::7]:5004"
std::string NearbyEndpoint(const NearbyService& service);

struct DiscoveryView {
  bool tried = false;  // the daemon was asked for at least once; until then nothing is known
  bool available = false;
  // "unavailable (no Avahi daemon)", "searching", "announced as NAME", ...
  std::string status;
  // The name our announcement holds on the network, once it holds one: a name already taken
  // gets the daemon's alternative ("Tandem on HOST #2"). Empty while nothing is announced.
  std::string announcedName;
  std::vector<NearbyService> services;  // by name, then kind; our own never among them
  // Both lists are complete as far as the network answered yet, and nothing is being resolved.
  bool settled = false;
};

class Discovery {
 public:
  // `browse`: list the sessions of others too; announcing works either way.
  explicit Discovery(bool browse);
  // Withdraws the announcement and lets go of the daemon.
  ~Discovery();
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  // Announce our session, or change what is announced; Withdraw ends it. Neither waits for the
  // daemon: its thread takes the request.
  void Announce(ServiceKind kind, const std::string& name, uint16_t port);
  void Withdraw();

  // Bumped by every change of what View returns, so a poller copies only on a change.
  uint64_t Version() const { return version_.load(); }
  DiscoveryView View() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::atomic<uint64_t> version_{0};
};

}  // namespace tandem
