#include "rtpmidi/Journal.h"

namespace tandem::rtpmidi {

void EncodeJournal(const RecoveryJournal&, std::vector<uint8_t>&) {}
bool ParseJournal(std::span<const uint8_t>, RecoveryJournal&) {
  return false;
}
JournalSender::JournalSender(uint16_t firstSequence) : checkpoint_(firstSequence) {}
void JournalSender::Record(std::span<const uint8_t>, uint16_t, int64_t) {}
RecoveryJournal JournalSender::Build(uint16_t, int64_t) {
  return {};
}
void JournalSender::Confirm(uint16_t) {}
void JournalReceiver::Played(std::span<const uint8_t>) {}
std::vector<Repair> JournalReceiver::Repairs(const RecoveryJournal&) {
  return {};
}
std::vector<Repair> JournalReceiver::ReleaseAll() {
  return {};
}

}  // namespace tandem::rtpmidi
