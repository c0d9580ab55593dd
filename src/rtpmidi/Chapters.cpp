#include "rtpmidi/Chapters.h"

#include <algorithm>
#include <tuple>

#include "platform/Bytes.h"

namespace tandem::rtpmidi {

namespace {

// Table-of-contents bits of a channel journal header.
constexpr uint8_t kTocP = 0x80, kTocC = 0x40, kTocM = 0x20, kTocW = 0x10, kTocN = 0x08,
                  kTocE = 0x04, kTocT = 0x02, kTocA = 0x01;
constexpr size_t kMaxChannelLength = 0x3FF;

uint8_t Bit(bool b, uint8_t value) {
  return static_cast<uint8_t>((b ? 0x80 : 0) | (value & 0x7F));
}

void EncodeChannel(const ChannelJournal& c, std::vector<uint8_t>& out) {
  std::vector<uint8_t> body;
  ByteWriter w(body);
  uint8_t toc = 0;
  if (c.p) {
    toc |= kTocP;
    w.U8(Bit(c.p->s, c.p->program));
    w.U8(Bit(c.p->b, c.p->bankMsb));
    w.U8(Bit(c.p->x, c.p->bankLsb));
  }
  if (c.c && !c.c->logs.empty()) {
    toc |= kTocC;
    const size_t n = std::min<size_t>(c.c->logs.size(), 128);
    w.U8(Bit(c.c->s, static_cast<uint8_t>(n - 1)));
    for (size_t i = 0; i < n; ++i) {
      const ControllerLog& l = c.c->logs[i];
      w.U8(Bit(l.s, l.number));
      w.U8(l.a ? static_cast<uint8_t>(0x80 | (l.t ? 0x40 : 0) | (l.value & 0x3F)) : l.value & 0x7F);
    }
  }
  if (c.w) {
    toc |= kTocW;
    w.U8(Bit(c.w->s, c.w->first));
    w.U8(Bit(c.w->r, c.w->second));
  }
  if (c.n) {
    toc |= kTocN;
    // 128 logs take the OFFBITS range's code: with offs to send, the 128th log is left out.
    const size_t logs = std::min<size_t>(c.n->logs.size(), c.n->offs.any() ? 127 : 128);
    int low = 15, high = logs == 128 ? 0 : 1;  // no OFFBITS
    if (logs < 128 && c.n->offs.any()) {
      low = 16, high = -1;
      for (int note = 0; note < 128; ++note) {
        if (c.n->offs[note]) low = std::min(low, note / 8), high = std::max(high, note / 8);
      }
      // Wireshark's dissector spans the OFFBITS by the log count and calls a packet that ends
      // sooner malformed: zero octets widen the range to match, where 16 can.
      while (high - low + 1 < static_cast<int>(std::min<size_t>(logs, 16))) {
        if (high < 15)
          ++high;
        else
          --low;
      }
    }
    w.U8(Bit(c.n->b, static_cast<uint8_t>(std::min<size_t>(logs, 127))));
    w.U8(static_cast<uint8_t>(low << 4 | high));
    for (size_t i = 0; i < logs; ++i) {
      const NoteLog& l = c.n->logs[i];
      w.U8(Bit(l.s, l.note));
      w.U8(Bit(l.y, l.velocity));
    }
    for (int octet = low; octet <= high; ++octet) {
      uint8_t bits = 0;
      for (int k = 0; k < 8; ++k) {
        if (c.n->offs[octet * 8 + k]) bits |= static_cast<uint8_t>(0x80 >> k);
      }
      w.U8(bits);
    }
  }
  if (c.t) {
    toc |= kTocT;
    w.U8(Bit(c.t->s, c.t->pressure));
  }
  if (c.a && !c.a->logs.empty()) {
    toc |= kTocA;
    const size_t n = std::min<size_t>(c.a->logs.size(), 128);
    w.U8(Bit(c.a->s, static_cast<uint8_t>(n - 1)));
    for (size_t i = 0; i < n; ++i) {
      w.U8(Bit(c.a->logs[i].s, c.a->logs[i].note));
      w.U8(Bit(c.a->logs[i].x, c.a->logs[i].pressure));
    }
  }
  const size_t length = body.size() + 3;  // at most 3 + 3 + 257 + 2 + 274 + 1 + 257
  ByteWriter o(out);
  o.U8(static_cast<uint8_t>((c.s ? 0x80 : 0) | (c.channel & 0x0F) << 3 | (c.h ? 0x04 : 0) |
                            (length >> 8 & 0x03)));
  o.U8(static_cast<uint8_t>(length & 0xFF));
  o.U8(toc);
  o.Bytes(body);
}

bool ParseChannel(ByteReader& r, ChannelJournal& c) {
  const uint8_t b0 = r.U8();
  const uint8_t b1 = r.U8();
  const uint8_t toc = r.U8();
  const size_t length = static_cast<size_t>(b0 & 0x03) << 8 | b1;
  if (!r.Ok() || length < 3) return false;
  c.s = b0 & 0x80;
  c.channel = b0 >> 3 & 0x0F;
  c.h = b0 & 0x04;
  const auto body = r.Bytes(length - 3);
  if (!r.Ok()) return false;
  ByteReader in(body);
  if (toc & kTocP) {
    ChapterP p;
    uint8_t v = in.U8();
    p.s = v & 0x80, p.program = v & 0x7F;
    v = in.U8();
    p.b = v & 0x80, p.bankMsb = v & 0x7F;
    v = in.U8();
    p.x = v & 0x80, p.bankLsb = v & 0x7F;
    c.p = p;
  }
  if (toc & kTocC) {
    ChapterC chapter;
    const uint8_t h = in.U8();
    chapter.s = h & 0x80;
    const size_t n = (h & 0x7F) + 1u;
    for (size_t i = 0; i < n && in.Ok(); ++i) {
      ControllerLog l;
      const uint8_t a = in.U8(), b = in.U8();
      l.s = a & 0x80, l.number = a & 0x7F, l.a = b & 0x80;
      if (l.a) {
        l.t = b & 0x40, l.value = b & 0x3F;
      } else {
        l.value = b & 0x7F;
      }
      chapter.logs.push_back(l);
    }
    c.c = std::move(chapter);
  }
  if (toc & kTocM) {
    // Parameter changes: skipped by its own length, which counts its two header octets.
    const uint8_t a = in.U8(), b = in.U8();
    const size_t m = static_cast<size_t>(a & 0x03) << 8 | b;
    if (m < 2) return false;
    in.Skip(m - 2);
    c.skippedM = true;
  }
  if (toc & kTocW) {
    ChapterW w;
    const uint8_t a = in.U8(), b = in.U8();
    w.s = a & 0x80, w.first = a & 0x7F, w.r = b & 0x80, w.second = b & 0x7F;
    c.w = w;
  }
  if (toc & kTocN) {
    ChapterN n;
    const uint8_t a = in.U8(), b = in.U8();
    n.b = a & 0x80;
    size_t logs = a & 0x7F;
    const int low = b >> 4, high = b & 0x0F;
    if (low > high && !(low == 15 && high <= 1)) return false;
    if (logs == 127 && low == 15 && high == 0) logs = 128;
    for (size_t i = 0; i < logs && in.Ok(); ++i) {
      NoteLog l;
      const uint8_t x = in.U8(), y = in.U8();
      l.s = x & 0x80, l.note = x & 0x7F, l.y = y & 0x80, l.velocity = y & 0x7F;
      n.logs.push_back(l);
    }
    for (int octet = low; octet <= high && in.Ok(); ++octet) {
      const uint8_t bits = in.U8();
      for (int k = 0; k < 8; ++k) {
        if (bits & (0x80 >> k)) n.offs.set(static_cast<size_t>(octet * 8 + k));
      }
    }
    c.n = std::move(n);
  }
  if (toc & kTocE) {
    // Note extras: skipped.
    const uint8_t h = in.U8();
    in.Skip(((h & 0x7Fu) + 1u) * 2u);
    c.skippedE = true;
  }
  if (toc & kTocT) {
    const uint8_t v = in.U8();
    c.t = ChapterT{static_cast<bool>(v & 0x80), static_cast<uint8_t>(v & 0x7F)};
  }
  if (toc & kTocA) {
    ChapterA chapter;
    const uint8_t h = in.U8();
    chapter.s = h & 0x80;
    const size_t n = (h & 0x7F) + 1u;
    for (size_t i = 0; i < n && in.Ok(); ++i) {
      PressureLog l;
      const uint8_t a = in.U8(), b = in.U8();
      l.s = a & 0x80, l.note = a & 0x7F, l.x = b & 0x80, l.pressure = b & 0x7F;
      chapter.logs.push_back(l);
    }
    c.a = std::move(chapter);
  }
  return in.Ok();
}

}  // namespace

void EncodeJournal(const RecoveryJournal& journal, std::vector<uint8_t>& out) {
  const size_t channels = std::min<size_t>(journal.channels.size(), 16);
  ByteWriter w(out);
  w.U8(static_cast<uint8_t>((journal.s ? 0x80 : 0) | (journal.y ? 0x40 : 0) |
                            (channels ? 0x20 : 0) | (journal.h ? 0x10 : 0) |
                            (channels ? (channels - 1) & 0x0F : 0)));
  w.U16Be(journal.checkpoint);
  if (journal.y) w.U16Be(0x8002);  // an empty system journal: S set, no chapters, length 2
  for (size_t i = 0; i < channels; ++i) EncodeChannel(journal.channels[i], out);
}

bool ParseJournal(std::span<const uint8_t> bytes, RecoveryJournal& out) {
  out = RecoveryJournal{};
  ByteReader r(bytes);
  const uint8_t h = r.U8();
  out.checkpoint = r.U16Be();
  if (!r.Ok()) return false;
  out.s = h & 0x80, out.y = h & 0x40, out.h = h & 0x10;
  if (out.y) {
    // System chapters: skipped by the system journal's length (which counts its header).
    const uint16_t sys = r.U16Be();
    const size_t length = sys & kMaxChannelLength;
    if (!r.Ok() || length < 2 || !r.Skip(length - 2)) return false;
  }
  if (h & 0x20) {
    const size_t channels = (h & 0x0F) + 1u;
    for (size_t i = 0; i < channels; ++i) {
      ChannelJournal c;
      if (!ParseChannel(r, c)) return false;
      out.channels.push_back(std::move(c));
    }
  }
  return r.Ok();
}

}  // namespace tandem::rtpmidi
