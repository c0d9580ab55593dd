// The session thread's link to a real RTP session over UDP.
#include "net/IceAgent.h"
#include "rtp/RtpSession.h"
#include "transport/MidiRtp.h"

namespace tandem {

namespace {

class SessionLink : public RtpLink {
 public:
  // Replies follow the partner's packets through its router; only its address is trusted.
  SessionLink() { session_.SetSymmetric(true); }

  int Create(uint16_t portBase) override { return session_.Create(portBase); }
  int CreateOnPath(std::shared_ptr<rtp::DatagramPath> path) override {
    ice_ = std::dynamic_pointer_cast<IceAgent>(path);
    return session_.Create(std::move(path));
  }
  int Destroy() override { return session_.Destroy(); }
  int SetTimestampUnit(double seconds) override { return session_.SetTimestampUnit(seconds); }
  int AddDestination(uint32_t ip, uint16_t port) override {
    return session_.AddDestination(ip, port);
  }
  int AddDestinationAddress(const IpAddress& address, uint16_t port) override {
    return session_.AddDestination(address, port);
  }
  int IncrementTimestamp(uint32_t units) override { return session_.IncrementTimestamp(units); }
  int SendPacket(const uint8_t* payload, size_t length, uint8_t payloadType, bool marker,
                 uint32_t tsIncrement) override {
    return session_.SendPacket(payload, length, payloadType, marker, tsIncrement);
  }
  int Poll() override { return session_.Poll(); }
  int DataFd() const override { return session_.DataFd(); }
  int ControlFd() const override { return session_.ControlFd(); }
  int64_t MillisUntilRtcp() const override { return session_.MillisUntilRtcp(); }
  bool GotoFirstSourceWithData() override { return session_.GotoFirstSourceWithData(); }
  bool GotoNextSourceWithData() override { return session_.GotoNextSourceWithData(); }
  int SetCurrentSourceTimestampUnit(double seconds) override {
    return session_.SetCurrentSourceTimestampUnit(seconds);
  }
  std::unique_ptr<rtp::Packet> GetNextPacket() override { return session_.GetNextPacket(); }
  rtp::SessionStats Stats() const override { return session_.Stats(); }
  rtp::LinkFigures Link() const override { return session_.Link(); }
  int SetSecurity(bool senderCheck, const std::optional<rtp::SrtpKey>& key) override {
    session_.SetSenderCheck(senderCheck);
    net::DtlsConfig config;
    if (key) config.psk.assign(key->begin(), key->end());
    // From invitation codes: the certificate the partner's code named authenticates the
    // handshake; with a passphrase as well, both must match.
    if (ice_ && ice_->Identity() && !ice_->ExpectedFingerprint().empty()) {
      config.identity = ice_->Identity();
      config.expectedFingerprint = ice_->ExpectedFingerprint();
    }
    ice_.reset();
    if (config.psk.empty() && !config.identity) return 0;
    return session_.EnableDtls(config);
  }
  rtp::SecurityStatus Security() const override { return session_.Security(); }

 private:
  rtp::RtpSession session_;
  std::shared_ptr<IceAgent> ice_;  // the path of the session being set up, if an ICE one
};

}  // namespace

std::unique_ptr<RtpLink> MakeSessionLink() {
  return std::make_unique<SessionLink>();
}

// Here rather than beside the other constructor, so tests with a stand-in link need no sockets.
MidiRTP::MidiRTP(TFormCtl& form) : MidiRTP(form, MakeSessionLink()) {}

}  // namespace tandem
