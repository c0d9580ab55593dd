#include "rtpmidi/Session.h"

#include <climits>

namespace tandem::rtpmidi {

Session::Session(SessionConfig config, int64_t now)
    : config_(std::move(config)),
      origin_(now),
      sequence_(config_.firstSequence),
      journalOut_(config_.firstSequence) {}
bool Session::Invite(const IpAddress&, uint16_t, uint32_t, int64_t) {
  return false;
}
bool Session::Accept(int64_t) {
  return false;
}
bool Session::Refuse(int64_t) {
  return false;
}
void Session::End(int64_t) {}
void Session::OnDatagram(Port, const IpAddress&, uint16_t, std::span<const uint8_t>, int64_t) {}
void Session::Tick(int64_t) {}
int64_t Session::NextWakeUs() const {
  return INT64_MAX;
}
void Session::SendMidi(std::span<const uint8_t>, int64_t) {}
void Session::Flush(int64_t) {}
std::vector<Datagram> Session::TakeDatagrams() {
  return std::move(out_);
}
std::vector<Event> Session::TakeEvents() {
  return std::move(events_);
}
int64_t Session::PartnerTimeToLocalUs(uint32_t) const {
  return -1;
}

bool IsCommand(std::span<const uint8_t> b) {
  return b.size() >= 4 && b[0] == 0xFF && b[1] == 0xFF;
}
bool ParseCommandPacket(std::span<const uint8_t>, CommandPacket&) {
  return false;
}
bool ParseClockPacket(std::span<const uint8_t>, ClockPacket&) {
  return false;
}
bool ParseFeedbackPacket(std::span<const uint8_t>, FeedbackPacket&) {
  return false;
}
std::vector<uint8_t> BuildCommandPacket(const CommandPacket&) {
  return {};
}
std::vector<uint8_t> BuildClockPacket(const ClockPacket&) {
  return {};
}
std::vector<uint8_t> BuildFeedbackPacket(const FeedbackPacket&) {
  return {};
}

}  // namespace tandem::rtpmidi
