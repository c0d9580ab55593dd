// The RTP-MIDI payload (RFC 6295 section 3): the MIDI command section, a list of MIDI commands
// each with a delta time from the packet's timestamp, followed by the recovery journal when the J
// flag says so. Bytes in, bytes out; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tandem::rtpmidi {

// What Apple's peers use, and what we send; any payload type is taken on receipt.
inline constexpr uint8_t kPayloadType = 97;
// RTP timestamps count 100 µs steps (10 kHz), as CK timestamps do.
inline constexpr uint32_t kClockRate = 10000;
inline constexpr int64_t kUsPerTick = 100;
// Our largest payload (command section and journal), to stay under a typical path MTU.
inline constexpr size_t kDefaultMaxPayload = 1200;
// The largest SysEx message we reassemble from segments; longer ones are dropped.
inline constexpr size_t kMaxSysex = 65536;
// At most this many commands are taken from one received command section.
inline constexpr size_t kMaxCommandsPerPacket = 1024;

// One MIDI command in a command section. `delta` is in 10 kHz ticks after the packet's RTP
// timestamp (cumulative: the sum of the delta times before it). `bytes` is the whole command
// with its status byte: a channel or system common message, one real-time byte, a complete SysEx
// (F0 .. F7), or a SysEx segment (F0 .. F0 first, F7 .. F0 middle, F7 .. F7 last, .. F4 cancel).
struct Command {
  uint32_t delta = 0;
  std::vector<uint8_t> bytes;
  bool operator==(const Command&) const = default;
};

// Appends a command section for `commands` (deltas must not decrease) to out: the B flag for a
// length over 15, Z when the first command has a delta, P = 0 and full status bytes (no running
// status). False (out unchanged) when the list is over 4095 bytes long or a command is empty.
bool EncodeCommandSection(std::span<const Command> commands, bool journalFollows,
                          std::vector<uint8_t>& out);
// The size EncodeCommandSection would append.
size_t CommandSectionSize(std::span<const Command> commands);

struct CommandSection {
  bool journal = false;  // J: a recovery journal follows the list
  std::vector<Command> commands;
  std::span<const uint8_t> rest;  // the bytes after the list (the journal when J)
};

// Parses a payload's command section: running status and delta times resolved, real-time bytes
// found inside a SysEx taken out as commands of their own (at the SysEx's delta), SysEx segments
// left as segments (see SysexAssembler). False on a malformed section (out's list may be partial).
bool ParseCommandSection(std::span<const uint8_t> payload, CommandSection& out);

// Joins SysEx segments that arrive in successive commands (and packets) into whole messages.
class SysexAssembler {
 public:
  enum class Result {
    kNotSysex,   // not a SysEx command: play it as it is
    kComplete,   // a whole message is in Message()
    kPending,    // a first or middle segment was taken; more to come
    kCancelled,  // the sender cancelled the message (F4 end), or a segment came out of order
    kDropped,    // over kMaxSysex, or a segment with no start: nothing to play
  };
  Result Add(std::span<const uint8_t> command);
  const std::vector<uint8_t>& Message() const { return message_; }
  // A packet was lost: a message in progress cannot be completed.
  void Reset() { message_.clear(), inProgress_ = false; }

 private:
  std::vector<uint8_t> message_;
  bool inProgress_ = false;
};

// Splits a whole SysEx message (F0 .. F7) into segments of at most `maxSegment` bytes each
// (F0 .. F0, F7 .. F0, .., F7 .. F7); a message that fits comes back whole.
std::vector<std::vector<uint8_t>> SplitSysex(std::span<const uint8_t> message, size_t maxSegment);

// The length of a channel or system common message from its status byte: 0 for SysEx (F0, F7),
// the undefined F4 and F5, and data bytes; 1 for real-time bytes.
size_t MessageLength(uint8_t status);

}  // namespace tandem::rtpmidi
