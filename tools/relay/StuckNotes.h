// The stuck-note measurement: peer A plays a long random performance to peer B through a lossy
// relay, and B's MIDI output is compared with what A played once everything has gone quiet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/FormCtrl.h"
#include "relay/LossyRelay.h"

namespace tandem::stuck {

// One note message on the first channel; times in milliseconds on one clock.
struct NoteEvent {
  int64_t atMs = 0;
  uint8_t status = 0x90;  // 0x90 note-on, 0x80 note-off
  uint8_t note = 0;
  uint8_t velocity = 0;
};

struct PerformanceOptions {
  size_t notes = 1000;  // note-ons; as many note-offs follow
  double notesPerSecond = 10.0;
  uint64_t seed = 1;
};

// Single notes, chords of two to four notes and sustained notes, ordered by time. Every note-on
// has a later note-off, velocities are never 0, and a key is never struck while it is held, as
// on a real keyboard. The first event is at 0.
std::vector<NoteEvent> MakePerformance(const PerformanceOptions& options);

struct Outcome {
  size_t notes = 0;            // note-ons A played
  size_t played = 0;           // note-ons B's output sounded
  size_t stuck = 0;            // keys B's output left sounding at the end
  size_t missed = 0;           // A's notes B never sounded while A held them (or soon after)
  size_t extra = 0;            // B's notes that answer none of A's
  int64_t worstReleaseMs = 0;  // longest a matched note kept sounding at B after A released it
  size_t aHolds = 0;           // keys A's own sent-key table still holds at the end
  uint64_t datagramsLost = 0;  // dropped by the relay on the way from A to B
  // RTP-MIDI: the journal's size in A's packets, median and largest, in bytes.
  uint32_t journalMedianBytes = 0;
  uint32_t journalLargestBytes = 0;
};

// How long after A released a note B may still start it and count as having played it.
constexpr int64_t kMatchSlackMs = 1000;

// Matches B's output (note messages with the times they were sounded) against A's performance
// (with the times A really played them), key by key in time order.
Outcome Compare(const std::vector<NoteEvent>& sent, const std::vector<NoteEvent>& sounded,
                int64_t matchSlackMs = kMatchSlackMs);

struct CaseOptions {
  Protocol protocol = ProtocolTandem;  // RTP-MIDI: the journal alone repairs, whatever `mode`
  Retransmission mode = RetransNone;
  relay::Impairments link;  // applied in both directions
  PerformanceOptions performance;
  int quietMs = 6000;  // silence after the last note before B's output is examined
  bool ipv6 = false;   // peers and relay on ::1 rather than 127.0.0.1
};

// Two applications in this process, each with an in-memory MIDI system, joined through the relay
// on free loopback ports. A's notes enter through its MIDI input with "Read MIDI" started. Throws
// std::runtime_error when a peer cannot be set up.
Outcome RunCase(const CaseOptions& options);

struct TableRow {
  std::string link;  // "0 %", "5 %", ...
  Protocol protocol = ProtocolTandem;
  Retransmission mode = RetransNone;
  Outcome outcome;
};

struct TableOptions {
  Protocol protocol = ProtocolTandem;  // RTP-MIDI: one row per link, the journal's
  PerformanceOptions performance;
  int quietMs = 6000;
  int parallel = 4;  // cases run at once
  uint64_t relaySeed = 1;
  int delayMs = 5;
  int jitterMs = 5;
  bool ipv6 = false;
};

// Every link condition (loss 0, 5 and 20 %, and 20 % with reordering and duplication) with every
// retransmission choice.
std::vector<TableRow> RunTable(const TableOptions& options);
std::string FormatTable(const std::vector<TableRow>& rows);
const char* ModeName(Retransmission mode);

}  // namespace tandem::stuck
