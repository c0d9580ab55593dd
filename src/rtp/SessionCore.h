// The RTP session without sockets: datagrams and the time come in as arguments, datagrams to send
// come out as bytes. The facade RtpSession moves them through its two UDP sockets; tests feed
// bytes and a fake clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "rtp/Rtcp.h"
#include "rtp/RtcpInterval.h"
#include "rtp/RtpSession.h"
#include "rtp/Source.h"

namespace tandem::rtp {

struct CoreConfig {
  uint32_t ssrc = 0;
  uint16_t firstSequence = 0;
  uint32_t firstTimestamp = 0;
  uint64_t seed = 0;  // for the randomised report interval
  std::string cname = "tandem";
  double sessionBandwidth = 10000;  // bytes per second; reports take 5 % of it (RFC 3550 6.2)
  double rtcpMinimumSeconds = 5;
  Micros wallclockOffset = 0;  // now + this = microseconds since 1970, for our SR's NTP time
};

struct Destination {
  IpAddress ip;
  uint16_t port = 0;         // data port
  uint16_t controlPort = 0;  // RTCP: port + 1 until the partner's reports come from elsewhere
  bool operator==(const Destination&) const = default;
};

// What became of one received datagram.
enum class Input {
  kAccepted,  // filed (data) or used (RTCP)
  kHeld,      // a data packet after a sequence jump, held until the next one confirms it
  kMalformed,
  kOwnSsrc,
  kDropped,  // a limit on sources or waiting packets was reached
};

// Bounds on what the network can make us keep.
inline constexpr size_t kMaxSources = 512;
inline constexpr size_t kMaxWaitingPerSource = 4096;
// A source that said BYE is forgotten this long after, once its packets are taken.
inline constexpr Micros kByeGrace = 2'000'000;

class SessionCore {
 public:
  SessionCore(const CoreConfig& config, Micros now);

  uint32_t Ssrc() const { return config_.ssrc; }
  const std::string& Cname() const { return config_.cname; }

  int SetTimestampUnit(double seconds);
  double TimestampUnit() const { return timestampUnit_; }
  int AddDestination(uint32_t ipHostOrder, uint16_t port);
  int AddDestination(const IpAddress& address, uint16_t port);
  const std::vector<Destination>& Destinations() const { return destinations_; }
  // From now on, data (or RTCP with `control`) for destination `index` goes to `port`.
  void MoveDestinationPort(size_t index, uint16_t port, bool control);

  void IncrementTimestamp(uint32_t units) { timestamp_ += units; }
  uint32_t Timestamp() const { return timestamp_; }
  uint16_t NextSequence() const { return sequence_; }

  // Builds the next data packet into out (cleared first). Nothing changes until CommitSent.
  int BuildData(std::span<const uint8_t> payload, uint8_t payloadType, bool marker,
                std::vector<uint8_t>& out) const;
  // The packet built last went out: advance the sequence number and the timestamp.
  void CommitSent(size_t payloadSize, uint32_t tsIncrement, Micros now);

  Input OnData(std::span<const uint8_t> datagram, Micros now);
  Input OnControl(std::span<const uint8_t> datagram, Micros now);

  bool ReportDue(Micros now) const { return now >= nextReport_; }
  Micros NextReportTime() const { return nextReport_; }
  // Our compound report (SR or RR, then SDES CNAME). Schedules the next one and forgets
  // members that timed out or said goodbye.
  std::vector<uint8_t> MakeReport(Micros now);
  // A report followed by our BYE; empty when we never sent anything (RFC 3550 6.3.7).
  std::vector<uint8_t> MakeBye(Micros now);
  // RFC 3550 8.2: another participant uses our SSRC. Returns the BYE for the old identifier
  // (empty when we never sent), then takes `ssrc`; sequence numbers and the timeline go on.
  std::vector<uint8_t> ChangeSsrc(uint32_t ssrc, Micros now);
  // A packet was built but never left (protection refused it, or no socket took it while
  // protected): its sequence number is used up, so no two packets are protected under one.
  void SkipSequence() { ++sequence_; }
  // Changes the minimum report interval and reschedules the next report from now.
  void SetRtcpMinimum(double seconds, Micros now);
  // The interval we would use now, before randomisation.
  double DeterministicInterval() const;

  bool GotoFirstSourceWithData();
  bool GotoNextSourceWithData();
  int SetCurrentSourceTimestampUnit(double seconds);
  std::unique_ptr<Packet> TakeNextPacket();

  std::vector<SourceInfo> Sources() const;
  LinkFigures Link() const;
  const Source* FindSource(uint32_t ssrc) const;
  SessionStats& Stats() { return stats_; }
  const SessionStats& Stats() const { return stats_; }

 private:
  Source* FindOrAdd(uint32_t ssrc, Micros now);
  void File(Source& s, std::unique_ptr<Packet> packet);
  void NoteArrival(Source& s, uint32_t rtpTimestamp, Micros now);
  void AppendReport(std::vector<uint8_t>& out, Micros now, bool takeBlocks);
  void TakeReportAboutUs(const ReportBlock& block, Micros now);
  std::vector<ReportBlock> Blocks(Micros now, bool take);
  RtcpIntervalInput IntervalInput(bool forTimeout) const;
  void Schedule(Micros from);
  void Sweep(Micros now);
  bool WeSent() const { return packetCount_ > packetsAtReportBefore_; }
  uint64_t Ntp(Micros now) const;
  uint32_t RtpTimestampAt(Micros now) const;

  CoreConfig config_;
  std::mt19937_64 random_;
  double timestampUnit_ = 0;
  std::vector<Destination> destinations_;

  // Sending.
  uint16_t sequence_;
  uint32_t timestamp_;
  uint32_t packetCount_ = 0;
  uint32_t octetCount_ = 0;
  bool sentAnything_ = false;
  uint32_t lastSentTimestamp_ = 0;
  Micros lastSendTime_ = 0;

  // Reports.
  bool initial_ = true;
  Micros nextReport_ = 0;
  double lastInterval_ = 0;  // seconds, randomised
  double averageRtcpSize_;
  uint32_t packetsAtLastReport_ = 0;
  uint32_t packetsAtReportBefore_ = 0;

  // The SRs we sent last (middle 32 bits of their NTP time, and when), to find the one a
  // partner's report names (RFC 3550 6.4.1) and to refuse a report that names none of them.
  struct SentSr {
    uint32_t middle;
    Micros at;
  };
  std::deque<SentSr> sentSrs_;
  LinkFigures link_;

  // Sources in the order we first heard them.
  std::unordered_map<uint32_t, std::unique_ptr<Source>> sources_;
  std::vector<uint32_t> order_;
  size_t cursor_ = 0;
  bool haveCursor_ = false;

  SessionStats stats_;
};

}  // namespace tandem::rtp
