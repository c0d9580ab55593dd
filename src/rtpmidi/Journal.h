// The recovery journal (RFC 6295 sections 4 and 5, appendix A): what the sender has played since
// the partner's last confirmed packet, carried in every packet so a receiver that lost packets
// can bring its notes and controllers back to where the sender is.
//
// Three parts: the journal as plain values with its parser and encoder; JournalSender, which
// keeps the sent history and builds the journal for the next packet; JournalReceiver, which keeps
// what we played from the partner and turns a journal into repair commands after a loss.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace tandem::rtpmidi {

// Chapter P: program change, with the bank select seen before it.
struct ChapterP {
  bool s = false;
  uint8_t program = 0;
  bool b = false;  // bank MSB/LSB below were set before the program change
  uint8_t bankMsb = 0;
  bool x = false;  // a reset (controller 121) came after the program change
  uint8_t bankLsb = 0;
  bool operator==(const ChapterP&) const = default;
};

// One controller log of chapter C. `a` = 0: the value tool (value, 7 bits). `a` = 1: the toggle
// or count tool, `t` and the 6-bit `value` as the sender's tool defines them.
struct ControllerLog {
  bool s = false;
  uint8_t number = 0;
  bool a = false;
  bool t = false;
  uint8_t value = 0;
  bool operator==(const ControllerLog&) const = default;
};

struct ChapterC {
  bool s = false;
  std::vector<ControllerLog> logs;  // 1..128
  bool operator==(const ChapterC&) const = default;
};

// Chapter W: pitch wheel (first = LSB, second = MSB as in the MIDI message).
struct ChapterW {
  bool s = false;
  uint8_t first = 0;
  bool r = false;
  uint8_t second = 0;
  bool operator==(const ChapterW&) const = default;
};

// Chapter N: note-on logs (notes sounding, with the Y bit for ones recent enough to strike again)
// and the off bits (notes released since the checkpoint).
struct NoteLog {
  bool s = false;
  uint8_t note = 0;
  bool y = false;
  uint8_t velocity = 0;  // 1..127
  bool operator==(const NoteLog&) const = default;
};

struct ChapterN {
  bool b = false;  // S bit of the chapter: its note logs and offs come from before packet I-1
  std::vector<NoteLog> logs;  // 0..128
  std::bitset<128> offs;
  bool operator==(const ChapterN&) const = default;
};

// Chapter T: channel pressure.
struct ChapterT {
  bool s = false;
  uint8_t pressure = 0;
  bool operator==(const ChapterT&) const = default;
};

// Chapter A: poly aftertouch logs.
struct PressureLog {
  bool s = false;
  uint8_t note = 0;
  bool x = false;  // a note-off came after this pressure
  uint8_t pressure = 0;
  bool operator==(const PressureLog&) const = default;
};

struct ChapterA {
  bool s = false;
  std::vector<PressureLog> logs;  // 1..128
  bool operator==(const ChapterA&) const = default;
};

// One channel journal. Chapters M (parameters) and E (note extras) are skipped on receipt and
// never sent.
struct ChannelJournal {
  bool s = false;
  uint8_t channel = 0;  // 0..15
  bool h = false;       // chapter C uses the enhanced encoding
  std::optional<ChapterP> p;
  std::optional<ChapterC> c;
  std::optional<ChapterW> w;
  std::optional<ChapterN> n;
  std::optional<ChapterT> t;
  std::optional<ChapterA> a;
  bool skippedM = false;  // present on the wire, not decoded
  bool skippedE = false;
  bool operator==(const ChannelJournal&) const = default;
};

struct RecoveryJournal {
  bool s = false;
  bool y = false;  // a system journal is present (skipped: we neither send nor decode one)
  bool h = false;
  uint16_t checkpoint = 0;               // the sequence number the journal's history starts after
  std::vector<ChannelJournal> channels;  // 0..16, ascending channel order when we send
  bool operator==(const RecoveryJournal&) const = default;
};

// Appends the journal to out. A journal with no channels is the 3-byte header with A = 0 (the
// "empty journal"); with `y` set, an empty system journal follows the header. Chapters C and A
// with no logs are left out (they cannot be coded).
void EncodeJournal(const RecoveryJournal& journal, std::vector<uint8_t>& out);
// Parses a journal at the start of `bytes` (bytes after it are ignored). False on anything
// malformed: a length that runs past its container, a chapter that overruns its channel journal,
// an impossible OFFBITS range.
bool ParseJournal(std::span<const uint8_t> bytes, RecoveryJournal& out);

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
  struct Channel {
    std::array<uint8_t, 128> velocity{};  // 0: off
    std::array<Item, 128> note{};
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
  // A command from the partner was played.
  void Played(std::span<const uint8_t> command);
  // After a loss: compares the journal with what was played and returns the messages that bring
  // us to the sender's state: notes it shows released are released; controllers, program, wheel
  // and pressure restored when they differ; notes it shows held struck again only when their log
  // has the Y bit (the sender judged them recent) and `strike` (the packet itself is not late).
  // Each repair is also recorded as played.
  std::vector<Repair> Repairs(const RecoveryJournal& journal, bool strike = true);
  // Note-offs for every note held from the partner, and the sustain pedal released (the session
  // ends). Forgets everything played.
  std::vector<Repair> ReleaseAll();

 private:
  struct Channel {
    std::array<uint8_t, 128> velocity{};  // 0: not sounding
    std::array<int16_t, 128> controller;  // -1: never seen
    std::array<uint8_t, 128> count{};
    int16_t program = -1;
    int32_t wheel = -1;
    int16_t pressure = -1;
    std::array<int16_t, 128> poly;
    Channel() { controller.fill(-1), poly.fill(-1); }
  };
  void Emit(std::vector<Repair>& out, std::vector<uint8_t> bytes);
  std::vector<Channel> channels_;
};

}  // namespace tandem::rtpmidi
