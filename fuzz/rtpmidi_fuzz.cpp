// RTP-MIDI: the command section and journal parsers on any bytes (what parses encodes back to the
// same), and a session fed session commands, clock sync, feedback and MIDI packets, well-formed
// or not, from its partner and from strangers. Whatever arrives, everything the session sends is
// well-formed and everything it hands the caller is a MIDI message.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "FuzzCheck.h"
#include "rtp/RtpPacket.h"
#include "rtpmidi/Journal.h"
#include "rtpmidi/Payload.h"
#include "rtpmidi/Session.h"

using namespace tandem;
using namespace tandem::rtpmidi;

namespace {

constexpr uint32_t kOwnSsrc = 0x5EED0002;
constexpr uint32_t kPartnerSsrc = 0xA0000001;
constexpr int kMaxSteps = 2000;

void CheckMessage(const std::vector<uint8_t>& m) {
  FUZZ_CHECK(!m.empty() && m[0] >= 0x80);
  if (m[0] == 0xF0) {
    FUZZ_CHECK(m.back() == 0xF7 && m.size() <= kMaxSysex);
  } else {
    FUZZ_CHECK(m.size() <= 3);
  }
}

void FuzzCommandSection(std::span<const uint8_t> bytes) {
  CommandSection s;
  if (!ParseCommandSection(bytes, s)) return;
  SysexAssembler a;
  for (const Command& c : s.commands) {
    FUZZ_CHECK(!c.bytes.empty() && c.bytes[0] >= 0x80);
    if (a.Add(c.bytes) == SysexAssembler::Result::kComplete) CheckMessage(a.Message());
  }
  std::vector<uint8_t> again;
  if (!EncodeCommandSection(s.commands, s.journal, again)) return;  // longer with full status
  CommandSection t;
  FUZZ_CHECK(ParseCommandSection(again, t));
  FUZZ_CHECK(t.commands == s.commands && t.journal == s.journal);
}

void FuzzJournal(std::span<const uint8_t> bytes) {
  RecoveryJournal j;
  if (!ParseJournal(bytes, j)) return;
  for (ChannelJournal& c : j.channels) c.skippedM = c.skippedE = false;
  std::vector<uint8_t> again;
  EncodeJournal(j, again);
  RecoveryJournal k;
  FUZZ_CHECK(ParseJournal(again, k));
  FUZZ_CHECK(k == j);
  JournalReceiver receiver;
  for (const Repair& r : receiver.Repairs(j)) CheckMessage(r.bytes);
  for (const Repair& r : receiver.ReleaseAll()) CheckMessage(r.bytes);
}

void CheckSent(const Datagram& d, size_t maxPayload) {
  if (IsCommand(d.bytes)) {
    CommandPacket c;
    ClockPacket ck;
    FeedbackPacket rs;
    FUZZ_CHECK(ParseCommandPacket(d.bytes, c) || ParseClockPacket(d.bytes, ck) ||
               ParseFeedbackPacket(d.bytes, rs));
    return;
  }
  FUZZ_CHECK(d.port == Port::kData);
  rtp::RtpView v;
  FUZZ_CHECK(rtp::ParseRtp(d.bytes, v) == rtp::RtpParseError::kOk);
  FUZZ_CHECK(!v.marker && v.payloadType == kPayloadType && v.ssrc == kOwnSsrc);
  FUZZ_CHECK(v.payload.size() <= maxPayload);
  CommandSection s;
  FUZZ_CHECK(ParseCommandSection(v.payload, s) && s.journal);
  RecoveryJournal j;
  FUZZ_CHECK(ParseJournal(s.rest, j));
}

std::vector<uint8_t> BuiltCommand(FuzzedDataProvider& in, const char* what, uint32_t ssrc) {
  CommandPacket p;
  p.command[0] = what[0], p.command[1] = what[1];
  p.version = in.ConsumeBool() ? 2 : in.ConsumeIntegral<uint32_t>();
  p.token = in.ConsumeIntegralInRange<uint32_t>(0, 3);
  p.ssrc = ssrc;
  p.name = in.ConsumeRandomLengthString(40);
  return BuildCommandPacket(p);
}

std::vector<uint8_t> Data(FuzzedDataProvider& in, uint16_t& sequence) {
  rtp::RtpHeader h;
  h.marker = in.ConsumeBool();
  h.payloadType = kPayloadType;
  sequence = static_cast<uint16_t>(sequence + in.ConsumeIntegralInRange(-2, 4));
  h.sequence = sequence;
  h.timestamp = in.ConsumeIntegral<uint32_t>();
  h.ssrc = in.ConsumeBool() ? kPartnerSsrc : in.ConsumeIntegral<uint32_t>();
  std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 200));
  std::vector<uint8_t> out;
  rtp::BuildRtp(h, payload, out);
  return out;
}

void FuzzSession(FuzzedDataProvider& in) {
  const IpAddress partner = IpAddress::V4(0x7F000002), stranger = IpAddress::V4(0x7F000003);
  SessionConfig config{"fuzz", kOwnSsrc, in.ConsumeIntegral<uint16_t>(),
                       in.ConsumeIntegralInRange<size_t>(0, 2000)};
  int64_t now = 1'000'000;
  Session s(config, now);
  const size_t maxPayload = std::max<size_t>(config.maxPayload, 64);
  uint16_t sequence = in.ConsumeIntegral<uint16_t>();
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    const bool fromPartner = in.ConsumeIntegralInRange(0, 7) != 0;
    const IpAddress& from = fromPartner ? partner : stranger;
    const Port port = in.ConsumeBool() ? Port::kControl : Port::kData;
    const uint16_t fromPort = in.ConsumeBool() ? 5004 : 5005;
    const uint32_t ssrc = in.ConsumeBool() ? kPartnerSsrc : in.ConsumeIntegral<uint32_t>();
    std::vector<uint8_t> bytes;
    switch (in.ConsumeIntegralInRange(0, 14)) {
      case 0:
        bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 120));
        break;
      case 1:
        bytes = BuiltCommand(in, "IN", ssrc);
        break;
      case 2:
        bytes = BuiltCommand(in, "OK", ssrc);
        break;
      case 3:
        bytes = BuiltCommand(in, in.ConsumeBool() ? "NO" : "BY", ssrc);
        break;
      case 4: {
        ClockPacket ck{ssrc, in.ConsumeIntegralInRange<uint8_t>(0, 3), {}};
        for (uint64_t& t : ck.timestamps)
          t = in.ConsumeIntegral<uint64_t>() >> in.ConsumeIntegralInRange(0, 63);
        bytes = BuildClockPacket(ck);
        break;
      }
      case 5:
        bytes = BuildFeedbackPacket({ssrc, in.ConsumeIntegral<uint16_t>()});
        break;
      case 6:
      case 7:
        bytes = Data(in, sequence);
        break;
      case 8:
        now += in.ConsumeIntegralInRange<int64_t>(0, 20'000'000);
        s.Tick(now);
        break;
      case 9:
        s.Invite(partner, 5004, in.ConsumeIntegralInRange<uint32_t>(0, 3), now);
        break;
      case 10:
        if (in.ConsumeBool()) {
          s.Accept(now);
        } else {
          s.Refuse(now);
        }
        break;
      case 11:
        s.End(now);
        break;
      case 12: {
        auto m = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 3000));
        s.SendMidi(m, now - in.ConsumeIntegralInRange<int64_t>(-1'000'000, 3'000'000));
        break;
      }
      default:
        s.Flush(now);
        break;
    }
    if (!bytes.empty()) s.OnDatagram(port, from, fromPort, bytes, now);
    for (const Datagram& d : s.TakeDatagrams()) CheckSent(d, maxPayload);
    for (const Event& e : s.TakeEvents()) {
      if (const auto* m = std::get_if<MidiIn>(&e)) CheckMessage(m->bytes);
      if (std::holds_alternative<InvitationPending>(e) && in.ConsumeBool()) s.Accept(now);
    }
    FUZZ_CHECK(s.NextWakeUs() >= 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      FuzzCommandSection(rest);
      break;
    case 1:
      FuzzJournal(rest);
      break;
    default: {
      FuzzedDataProvider in(rest.data(), rest.size());
      FuzzSession(in);
      break;
    }
  }
  return 0;
}
