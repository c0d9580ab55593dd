// The recovery journal's wire form (RFC 6295 section 5 and appendix A): the journal as plain
// values, chapter by chapter, with its encoder and its parser.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
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
// and the off bits (notes released since the checkpoint). A note in both was struck, then
// released.
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

}  // namespace tandem::rtpmidi
