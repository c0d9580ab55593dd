// The recovery journal (RFC 6295 sections 4 and 5, appendix A): what the sender has played since
// the partner's last confirmed packet, carried in every packet so a receiver that lost packets
// can bring its notes and controllers back to where the sender is.
//
// JournalSender keeps the sent history and builds the journal for the next packet;
// JournalReceiver keeps what we played from the partner and turns a journal into repair commands
// after a loss. The journal's wire form is in Chapters.h.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "rtpmidi/Chapters.h"

namespace tandem::rtpmidi {

// A note-on held in the history counts as recent (its log's Y bit set) this long after it played.
inline constexpr int64_t kRecentNoteUs = 1'000'000;
// History older than this is dropped even without the partner's confirmation, so a partner that
// never sends RS still gets a journal of bounded size.
inline constexpr int64_t kJournalHorizonUs = 5'000'000;

// The sender's side: the state of each channel as sent, and for each item the packet that last
// changed it, so the journal covers everything since the checkpoint.
class JournalSender {
 public:
  explicit JournalSender(uint16_t firstSequence = 0);
  // A command went out in the packet with this sequence number, played at `atUs`. SysEx and
  // system messages are not journalled (there is no system journal), except System Reset.
  void Record(std::span<const uint8_t> command, uint16_t sequence, int64_t atUs);
  // The journal for the packet with `sequence` about to be sent at `now`: every item changed
  // since the checkpoint. History older than kJournalHorizonUs moves the checkpoint forward.
  RecoveryJournal Build(uint16_t sequence, int64_t now);
  // The partner has everything up to and including `sequence` (its RS): the checkpoint moves
  // past it and older history is forgotten. A sequence number we never sent, or one behind the
  // checkpoint, changes nothing.
  void Confirm(uint16_t sequence);
  uint16_t Checkpoint() const { return checkpoint_; }
  // Whether anything is journalled (a guard packet would carry something).
  bool HasHistory() const { return live_ > 0; }

 private:
  struct Item {
    bool live = false;  // changed since the checkpoint: journalled
    uint32_t seq = 0;   // extended sequence number of the packet that last changed it
    int64_t atUs = 0;   // when it was played
  };
  // The latest note-on of a note: a note struck and released since the checkpoint keeps its log
  // beside its OFFBITS bit while recent, so a receiver that lost both can still play it.
  struct Strike {
    uint32_t seq = 0;
    int64_t atUs = 0;
    uint8_t velocity = 0;  // 0: none since the last reset
  };
  struct Channel {
    std::array<uint8_t, 128> velocity{};  // 0: off
    std::array<Item, 128> note{};
    std::array<Strike, 128> strike{};
    std::array<uint8_t, 128> controller{};
    std::array<uint8_t, 128> count{};  // commands per controller, for the count tool
    std::array<Item, 128> controllerItem{};
    uint8_t bankMsb = 0, bankLsb = 0;
    bool bankSeen = false;
    uint8_t program = 0, programMsb = 0, programLsb = 0;
    bool programBank = false;
    Item programItem;
    uint8_t wheelLsb = 0, wheelMsb = 0;
    Item wheelItem;
    uint8_t pressure = 0;
    Item pressureItem;
    std::array<uint8_t, 128> poly{};
    std::array<Item, 128> polyItem{};
  };
  uint32_t Extend(uint16_t sequence) const;
  void Touch(Item& item, uint32_t seq, int64_t atUs);
  void Drop(Item& item);
  void Forget(uint32_t upTo);  // items last changed at or before upTo are no longer journalled
  std::vector<Channel> channels_;
  bool hasSent_ = false;
  uint32_t lastSeq_ = 0;        // extended sequence number of the latest packet recorded
  uint32_t checkpointExt_ = 0;  // extended; the history starts with this packet
  uint16_t checkpoint_ = 0;
  size_t live_ = 0;
  struct Sent {
    uint32_t seq;
    int64_t atUs;
  };
  std::deque<Sent> sent_;  // packets since the checkpoint, to move it by age
};

// A repair: a MIDI message to play so the receiver's state matches the sender's.
struct Repair {
  std::vector<uint8_t> bytes;
};

// The receiver's side: what has been played from the partner, per channel, and the repairs a
// journal calls for after a loss.
class JournalReceiver {
 public:
  JournalReceiver();
  // A command from the partner was played, from the packet with extended sequence number `seq`.
  void Played(std::span<const uint8_t> command, uint32_t seq = 0);
  // After a loss, with the journal of the packet with extended sequence number `seq`: compares
  // the journal with what was played and returns the messages that bring us to the sender's
  // state: notes it shows released are released; controllers, program, wheel and pressure
  // restored when they differ; notes it shows held struck again only when their log has the Y
  // bit (the sender judged them recent) and `strike` (the packet itself is not late). A note it
  // shows struck and released since its checkpoint (a log beside its OFFBITS bit) is played as a
  // short note when `strike`, unless the strike we played since the checkpoint is that one.
  // Each repair is also recorded as played.
  std::vector<Repair> Repairs(const RecoveryJournal& journal, uint32_t seq = 0, bool strike = true);
  // Note-offs for every note held from the partner, and the sustain pedal released (the session
  // ends). Forgets everything played.
  std::vector<Repair> ReleaseAll();

 private:
  struct Channel {
    std::array<uint8_t, 128> velocity{};  // 0: not sounding
    std::array<uint32_t, 128> struck{};   // extended sequence number of the latest note-on played
    std::array<uint8_t, 128> struckVelocity{};  // and its velocity; 0: none yet
    std::array<int16_t, 128> controller;        // -1: never seen
    std::array<uint8_t, 128> count{};
    int16_t program = -1;
    int32_t wheel = -1;
    int16_t pressure = -1;
    std::array<int16_t, 128> poly;
    Channel() { controller.fill(-1), poly.fill(-1); }
  };
  void Emit(std::vector<Repair>& out, std::vector<uint8_t> bytes, uint32_t seq);
  std::vector<Channel> channels_;
};

}  // namespace tandem::rtpmidi
