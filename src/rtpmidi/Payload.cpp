#include "rtpmidi/Payload.h"

#include <algorithm>

#include "platform/Bytes.h"

namespace tandem::rtpmidi {

namespace {

constexpr uint8_t kFlagB = 0x80;  // two-octet length
constexpr uint8_t kFlagJ = 0x40;  // a journal follows
constexpr uint8_t kFlagZ = 0x20;  // the first command has a delta time
constexpr size_t kMaxListLength = 0x0FFF;
constexpr uint32_t kMaxDelta = 0x0FFFFFFF;  // four 7-bit groups

bool IsRealtime(uint8_t b) {
  return b >= 0xF8;
}
bool EndsSysex(uint8_t b) {
  return b == 0xF7 || b == 0xF0 || b == 0xF4;
}

void AppendDelta(uint32_t delta, std::vector<uint8_t>& out) {
  delta = std::min(delta, kMaxDelta);
  uint8_t groups[4];
  int n = 0;
  do {
    groups[n++] = static_cast<uint8_t>(delta & 0x7F);
    delta >>= 7;
  } while (delta != 0);
  while (n > 1) out.push_back(static_cast<uint8_t>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

size_t DeltaSize(uint32_t delta) {
  delta = std::min(delta, kMaxDelta);
  size_t n = 1;
  while (delta >= 0x80) delta >>= 7, ++n;
  return n;
}

// The list bytes of a command section (no header); false when a command is empty.
bool BuildList(std::span<const Command> commands, std::vector<uint8_t>& list) {
  uint32_t previous = 0;
  for (size_t i = 0; i < commands.size(); ++i) {
    const Command& c = commands[i];
    if (c.bytes.empty()) return false;
    const uint32_t at = std::max(c.delta, previous);
    if (i > 0 || at > 0) AppendDelta(at - previous, list);
    previous = at;
    list.insert(list.end(), c.bytes.begin(), c.bytes.end());
  }
  return true;
}

}  // namespace

size_t MessageLength(uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xC0) return 3;
  if (status < 0xE0) return 2;
  if (status < 0xF0) return 3;
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    case 0xF6:
      return 1;
    case 0xF0:
    case 0xF7:
    case 0xF4:
    case 0xF5:
      return 0;
    default:
      return 1;  // real-time
  }
}

size_t CommandSectionSize(std::span<const Command> commands) {
  size_t list = 0;
  uint32_t previous = 0;
  for (size_t i = 0; i < commands.size(); ++i) {
    const uint32_t at = std::max(commands[i].delta, previous);
    if (i > 0 || at > 0) list += DeltaSize(at - previous);
    previous = at;
    list += commands[i].bytes.size();
  }
  return list + (list > 15 ? 2 : 1);
}

bool EncodeCommandSection(std::span<const Command> commands, bool journalFollows,
                          std::vector<uint8_t>& out) {
  std::vector<uint8_t> list;
  if (!BuildList(commands, list) || list.size() > kMaxListLength) return false;
  uint8_t flags = journalFollows ? kFlagJ : 0;
  if (!commands.empty() && commands.front().delta > 0) flags |= kFlagZ;
  ByteWriter w(out);
  if (list.size() > 15) {
    w.U8(static_cast<uint8_t>(flags | kFlagB | (list.size() >> 8)));
    w.U8(static_cast<uint8_t>(list.size() & 0xFF));
  } else {
    w.U8(static_cast<uint8_t>(flags | list.size()));
  }
  w.Bytes(list);
  return true;
}

bool ParseCommandSection(std::span<const uint8_t> payload, CommandSection& out) {
  out = CommandSection{};
  ByteReader r(payload);
  const uint8_t header = r.U8();
  size_t length = header & 0x0F;
  if (header & kFlagB) length = length << 8 | r.U8();
  const std::span<const uint8_t> list = r.Bytes(length);
  if (!r.Ok()) return false;
  out.journal = (header & kFlagJ) != 0;
  out.rest = payload.subspan(r.Position());

  ByteReader in(list);
  uint32_t time = 0;
  uint8_t running = 0;  // running status: only channel messages set it
  bool first = true;
  auto emit = [&](std::vector<uint8_t> bytes) {
    if (out.commands.size() >= kMaxCommandsPerPacket) return false;
    out.commands.push_back(Command{time, std::move(bytes)});
    return true;
  };
  while (in.Remaining() > 0) {
    if (!first || (header & kFlagZ)) {
      uint32_t delta = 0;
      for (int n = 0;; ++n) {
        const uint8_t b = in.U8();
        if (!in.Ok() || n == 4) return false;
        delta = delta << 7 | (b & 0x7F);
        if (!(b & 0x80)) break;
      }
      time += delta;
      if (in.Remaining() == 0) return false;  // a delta time with no command
    }
    first = false;
    const uint8_t lead = in.U8();
    if (lead == 0xF0 || lead == 0xF7) {
      // SysEx, whole or a segment: up to its F7, F0 or F4; real-time bytes inside play on their
      // own.
      std::vector<uint8_t> sysex{lead};
      for (;;) {
        const uint8_t b = in.U8();
        if (!in.Ok()) return false;
        if (b < 0x80) {
          sysex.push_back(b);
        } else if (EndsSysex(b)) {
          sysex.push_back(b);
          break;
        } else if (IsRealtime(b)) {
          if (!emit({b})) return false;
        } else {
          return false;
        }
      }
      running = 0;
      if (!emit(std::move(sysex))) return false;
      continue;
    }
    if (IsRealtime(lead)) {
      if (!emit({lead})) return false;
      continue;
    }
    uint8_t status = lead;
    std::vector<uint8_t> bytes;
    if (lead < 0x80) {
      if (running == 0) return false;
      status = running;
      bytes = {status, lead};
    } else {
      bytes = {status};
    }
    const size_t length = MessageLength(status);
    if (length == 0) return false;
    while (bytes.size() < length) {
      const uint8_t b = in.U8();
      if (!in.Ok() || b >= 0x80) return false;
      bytes.push_back(b);
    }
    if (bytes.size() > length) return false;  // a running-status byte after a one-byte message
    running = status < 0xF0 ? status : 0;
    if (!emit(std::move(bytes))) return false;
  }
  return true;
}

SysexAssembler::Result SysexAssembler::Add(std::span<const uint8_t> command) {
  if (command.empty() || (command[0] != 0xF0 && command[0] != 0xF7)) return Result::kNotSysex;
  if (command.size() < 2) {
    Reset();
    return Result::kDropped;
  }
  const uint8_t last = command.back();
  const bool start = command[0] == 0xF0;
  if (last == 0xF4) {
    Reset();
    return Result::kCancelled;
  }
  if (start) {
    if (command.size() > kMaxSysex) {
      Reset();
      return Result::kDropped;
    }
    message_.assign(command.begin(), command.end());
    if (last == 0xF7) {
      inProgress_ = false;
      return Result::kComplete;
    }
    message_.pop_back();  // the F0 that says more follows
    inProgress_ = true;
    return Result::kPending;
  }
  if (!inProgress_) return Result::kDropped;
  const auto body = command.subspan(1, command.size() - 2);
  if (message_.size() + body.size() + 1 > kMaxSysex) {
    Reset();
    return Result::kDropped;
  }
  message_.insert(message_.end(), body.begin(), body.end());
  if (last == 0xF0) return Result::kPending;
  message_.push_back(0xF7);
  inProgress_ = false;
  return Result::kComplete;
}

std::vector<std::vector<uint8_t>> SplitSysex(std::span<const uint8_t> message, size_t maxSegment) {
  if (message.size() <= maxSegment || message.size() < 2) return {{message.begin(), message.end()}};
  maxSegment = std::max<size_t>(maxSegment, 3);
  const size_t end = message.back() == 0xF7 ? message.size() - 1 : message.size();
  std::span<const uint8_t> body = message.subspan(1, end - 1);
  std::vector<std::vector<uint8_t>> segments;
  const size_t chunk = maxSegment - 2;
  bool firstSegment = true;
  while (true) {
    const bool last = body.size() <= chunk && !firstSegment;
    const size_t take = std::min(chunk, body.size());
    std::vector<uint8_t> s{static_cast<uint8_t>(firstSegment ? 0xF0 : 0xF7)};
    s.insert(s.end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(take));
    s.push_back(last ? 0xF7 : 0xF0);
    segments.push_back(std::move(s));
    body = body.subspan(take);
    firstSegment = false;
    if (last) break;
  }
  return segments;
}

}  // namespace tandem::rtpmidi
