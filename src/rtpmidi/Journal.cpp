#include "rtpmidi/Journal.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "platform/Bytes.h"
#include "rtpmidi/Payload.h"

namespace tandem::rtpmidi {

namespace {

// Controllers that act by happening rather than by their value: all sound off, reset all
// controllers, all notes off and the mode changes that imply it. They travel with the count tool.
bool CountsCommands(uint8_t number) {
  return number == 120 || number == 121 || number >= 123;
}
// The ones that silence every note on the channel.
bool SilencesNotes(uint8_t number) {
  return number == 120 || number >= 123;
}
// What reset all controllers (121) returns to its default.
bool ResetByController121(uint8_t number) {
  return number == 1 || number == 11 || (number >= 64 && number <= 67) ||
         (number >= 98 && number <= 101);
}

// A whole channel message, its data bytes masked to 7 bits.
struct ChannelMessage {
  uint8_t type, channel, d1, d2;
  static std::optional<ChannelMessage> Read(std::span<const uint8_t> command) {
    const uint8_t status = command[0];
    if (status < 0x80 || status >= 0xF0 || command.size() < MessageLength(status)) return {};
    return ChannelMessage{static_cast<uint8_t>(status & 0xF0), static_cast<uint8_t>(status & 0x0F),
                          static_cast<uint8_t>(command.size() > 1 ? command[1] & 0x7F : 0),
                          static_cast<uint8_t>(command.size() > 2 ? command[2] & 0x7F : 0)};
  }
};

}  // namespace

JournalSender::JournalSender(uint16_t firstSequence)
    : channels_(16), checkpointExt_(0x10000u + firstSequence), checkpoint_(firstSequence) {}

uint32_t JournalSender::Extend(uint16_t sequence) const {
  const uint32_t ref = hasSent_ ? lastSeq_ : checkpointExt_;
  return ref + static_cast<uint32_t>(static_cast<int16_t>(sequence - static_cast<uint16_t>(ref)));
}

void JournalSender::Touch(Item& item, uint32_t seq, int64_t atUs) {
  if (!item.live) ++live_;
  item = Item{true, seq, atUs};
}

void JournalSender::Drop(Item& item) {
  if (item.live) --live_;
  item.live = false;
}

void JournalSender::Record(std::span<const uint8_t> command, uint16_t sequence, int64_t atUs) {
  if (command.empty()) return;
  const uint32_t seq = Extend(sequence);
  if (!hasSent_ || seq > lastSeq_) {
    hasSent_ = true;
    lastSeq_ = seq;
    sent_.push_back(Sent{seq, atUs});
  }
  const uint8_t status = command[0];
  if (status == 0xFF) {  // System Reset: every note is off, and nothing before it matters
    for (Channel& c : channels_) {
      c.velocity.fill(0);
      c.strike.fill(Strike{});
      for (Item& i : c.note) Drop(i);
    }
    return;
  }
  const auto m = ChannelMessage::Read(command);
  if (!m) return;
  Channel& c = channels_[m->channel];
  const uint8_t d1 = m->d1, d2 = m->d2;
  switch (m->type) {
    case 0x80:
      c.velocity[d1] = 0;
      Touch(c.note[d1], seq, atUs);
      break;
    case 0x90:
      c.velocity[d1] = d2;
      if (d2 != 0) c.strike[d1] = Strike{seq, atUs, d2};
      Touch(c.note[d1], seq, atUs);
      break;
    case 0xA0:
      c.poly[d1] = d2;
      Touch(c.polyItem[d1], seq, atUs);
      break;
    case 0xB0:
      c.controller[d1] = d2;
      ++c.count[d1];
      Touch(c.controllerItem[d1], seq, atUs);
      if (d1 == 0) c.bankMsb = d2, c.bankSeen = true;
      if (d1 == 32) c.bankLsb = d2, c.bankSeen = true;
      if (SilencesNotes(d1)) {
        // Notes before it are over on both sides; the count tool carries the command itself.
        c.velocity.fill(0);
        c.strike.fill(Strike{});
        for (Item& i : c.note) Drop(i);
      }
      if (d1 == 121) {
        Drop(c.wheelItem), Drop(c.pressureItem);
        for (Item& i : c.polyItem) Drop(i);
        for (int n = 0; n < 128; ++n) {
          if (ResetByController121(static_cast<uint8_t>(n))) Drop(c.controllerItem[n]);
        }
      }
      break;
    case 0xC0:
      c.program = d1;
      c.programBank = c.bankSeen;
      c.programMsb = c.bankMsb, c.programLsb = c.bankLsb;
      Touch(c.programItem, seq, atUs);
      break;
    case 0xD0:
      c.pressure = d1;
      Touch(c.pressureItem, seq, atUs);
      break;
    case 0xE0:
      c.wheelLsb = d1, c.wheelMsb = d2;
      Touch(c.wheelItem, seq, atUs);
      break;
  }
}

void JournalSender::Forget(uint32_t upTo) {
  if (live_ == 0) return;
  auto forget = [&](Item& i) {
    if (i.live && i.seq <= upTo) Drop(i);
  };
  for (Channel& c : channels_) {
    for (int n = 0; n < 128; ++n)
      forget(c.note[n]), forget(c.controllerItem[n]), forget(c.polyItem[n]);
    forget(c.programItem), forget(c.wheelItem), forget(c.pressureItem);
  }
}

void JournalSender::Confirm(uint16_t sequence) {
  if (!hasSent_) return;
  const uint32_t seq = Extend(sequence);
  if (seq > lastSeq_ || seq < checkpointExt_) return;
  checkpointExt_ = seq + 1;
  checkpoint_ = static_cast<uint16_t>(checkpointExt_);
  while (!sent_.empty() && sent_.front().seq <= seq) sent_.pop_front();
  Forget(seq);
}

RecoveryJournal JournalSender::Build(uint16_t sequence, int64_t now) {
  // A partner that never confirms still gets a journal of bounded size: history past the
  // horizon (or past a few thousand packets) moves the checkpoint.
  constexpr size_t kMaxPackets = 4096;
  uint32_t expired = 0;
  bool expire = false;
  while (!sent_.empty() &&
         (sent_.front().atUs < now - kJournalHorizonUs || sent_.size() > kMaxPackets)) {
    expired = sent_.front().seq, expire = true;
    sent_.pop_front();
  }
  if (expire) {
    checkpointExt_ = expired + 1;
    checkpoint_ = static_cast<uint16_t>(checkpointExt_);
    Forget(expired);
  }

  RecoveryJournal j;
  j.s = true;
  j.checkpoint = checkpoint_;
  if (!hasSent_ || live_ == 0) return j;
  const uint32_t previous = Extend(sequence) - 1;
  auto single = [&](const Item& i) { return i.seq != previous; };
  for (uint8_t ch = 0; ch < 16; ++ch) {
    const Channel& c = channels_[ch];
    ChannelJournal cj;
    cj.channel = ch;
    cj.s = true;
    bool any = false;
    if (c.programItem.live) {
      cj.p = ChapterP{single(c.programItem), c.program, c.programBank,
                      c.programMsb,          false,     c.programLsb};
      cj.s &= cj.p->s, any = true;
    }
    ChapterC cc;
    cc.s = true;
    for (uint8_t n = 0; n < 128; ++n) {
      const Item& i = c.controllerItem[n];
      if (!i.live) continue;
      const bool count = CountsCommands(n);
      cc.logs.push_back(
          ControllerLog{single(i), n, count, false,
                        count ? static_cast<uint8_t>(c.count[n] & 0x3F) : c.controller[n]});
      cc.s &= single(i);
    }
    if (!cc.logs.empty()) cj.s &= cc.s, cj.c = std::move(cc), any = true;
    if (c.wheelItem.live) {
      cj.w = ChapterW{single(c.wheelItem), c.wheelLsb, false, c.wheelMsb};
      cj.s &= cj.w->s, any = true;
    }
    ChapterN cn;
    cn.b = true;
    // Logs for the notes sounding, and for the ones struck and released since the checkpoint
    // while still recent: a log beside an OFFBITS bit, so a receiver that lost both can still
    // play the note. Such a log says Y = 0: a receiver that reads the bit before the log then
    // never strikes a note that is over.
    std::vector<std::pair<uint32_t, uint8_t>> on, released;
    for (uint8_t n = 0; n < 128; ++n) {
      const Item& i = c.note[n];
      if (!i.live) continue;
      const Strike& k = c.strike[n];
      if (c.velocity[n] != 0) {
        on.emplace_back(k.seq, n);
        continue;
      }
      cn.offs.set(n);
      cn.b &= single(i);
      if (k.velocity != 0 && k.seq >= checkpointExt_ && now - k.atUs < kRecentNoteUs) {
        released.emplace_back(k.seq, n);
      }
    }
    // 128 logs leave no room for OFFBITS: the released notes' logs give way, the oldest first.
    std::sort(released.begin(), released.end());
    const size_t room = 127 - std::min<size_t>(on.size(), 127);
    if (released.size() > room) released.erase(released.begin(), released.end() - room);
    on.insert(on.end(), released.begin(), released.end());
    std::sort(on.begin(), on.end());  // oldest note-on first
    for (const auto& [seq, n] : on) {
      const Strike& k = c.strike[n];
      const bool recent = c.velocity[n] != 0 && now - k.atUs < kRecentNoteUs;
      cn.logs.push_back(NoteLog{seq != previous, n, recent, k.velocity});
      cj.s &= seq != previous;
    }
    if (!cn.logs.empty() || cn.offs.any()) cj.s &= cn.b, cj.n = std::move(cn), any = true;
    if (c.pressureItem.live) {
      cj.t = ChapterT{single(c.pressureItem), c.pressure};
      cj.s &= cj.t->s, any = true;
    }
    ChapterA ca;
    ca.s = true;
    for (uint8_t n = 0; n < 128; ++n) {
      const Item& i = c.polyItem[n];
      if (!i.live) continue;
      ca.logs.push_back(PressureLog{single(i), n, false, c.poly[n]});
      ca.s &= single(i);
    }
    if (!ca.logs.empty()) cj.s &= ca.s, cj.a = std::move(ca), any = true;
    if (any) {
      j.s &= cj.s;
      j.channels.push_back(std::move(cj));
    }
  }
  return j;
}

// ---- Receiving ----

JournalReceiver::JournalReceiver() : channels_(16) {}

void JournalReceiver::Played(std::span<const uint8_t> command, uint32_t seq) {
  if (command.empty()) return;
  const uint8_t status = command[0];
  if (status == 0xFF) {
    for (Channel& c : channels_) c.velocity.fill(0);
    return;
  }
  const auto m = ChannelMessage::Read(command);
  if (!m) return;
  Channel& c = channels_[m->channel];
  const uint8_t d1 = m->d1, d2 = m->d2;
  switch (m->type) {
    case 0x80:
      c.velocity[d1] = 0;
      break;
    case 0x90:
      c.velocity[d1] = d2;
      if (d2 != 0) c.struck[d1] = seq, c.struckVelocity[d1] = d2;
      break;
    case 0xA0:
      c.poly[d1] = d2;
      break;
    case 0xB0:
      c.controller[d1] = d2;
      ++c.count[d1];
      if (SilencesNotes(d1)) c.velocity.fill(0);
      if (d1 == 121) {
        c.wheel = 0x2000, c.pressure = 0;
        c.poly.fill(-1);
        for (int n = 0; n < 128; ++n) {
          if (ResetByController121(static_cast<uint8_t>(n))) c.controller[n] = -1;
        }
      }
      break;
    case 0xC0:
      c.program = d1;
      break;
    case 0xD0:
      c.pressure = d1;
      break;
    case 0xE0:
      c.wheel = d2 << 7 | d1;
      break;
  }
}

void JournalReceiver::Emit(std::vector<Repair>& out, std::vector<uint8_t> bytes, uint32_t seq) {
  Played(bytes, seq);
  out.push_back(Repair{std::move(bytes)});
}

std::vector<Repair> JournalReceiver::Repairs(const RecoveryJournal& journal, uint32_t seq,
                                             bool strike) {
  std::vector<Repair> out;
  // The checkpoint, extended by the packet's own number: it lies at or before it.
  const uint32_t checkpoint =
      seq - static_cast<uint16_t>(static_cast<uint16_t>(seq) - journal.checkpoint);
  auto emit = [&](std::vector<uint8_t> bytes) { Emit(out, std::move(bytes), seq); };
  for (const ChannelJournal& cj : journal.channels) {
    Channel& c = channels_[cj.channel & 0x0F];
    const uint8_t ch = cj.channel & 0x0F;
    auto message = [ch](uint8_t kind, uint8_t a, uint8_t b) {
      return std::vector<uint8_t>{static_cast<uint8_t>(kind | ch), a, b};
    };
    if (cj.p) {
      const ChapterP& p = *cj.p;
      const bool bankDiffers =
          p.b && (c.controller[0] != p.bankMsb || c.controller[32] != p.bankLsb);
      if (bankDiffers || c.program != p.program) {
        if (p.b) emit(message(0xB0, 0, p.bankMsb)), emit(message(0xB0, 32, p.bankLsb));
        emit({static_cast<uint8_t>(0xC0 | ch), p.program});
      }
    }
    if (cj.c) {
      for (const ControllerLog& l : cj.c->logs) {
        if (!l.a) {
          if (c.controller[l.number] != l.value) emit(message(0xB0, l.number, l.value));
        } else if (CountsCommands(l.number) && !cj.h && (c.count[l.number] & 0x3F) != l.value) {
          // We missed one of these: play it once, and take the sender's count.
          emit(message(0xB0, l.number, 0));
          c.count[l.number] = l.value;
        }
      }
    }
    if (cj.w) {
      const int wheel = cj.w->second << 7 | cj.w->first;
      if (c.wheel != wheel) emit(message(0xE0, cj.w->first, cj.w->second));
    }
    if (cj.n) {
      for (int n = 0; n < 128; ++n) {
        if (cj.n->offs[n] && c.velocity[n] != 0) {
          emit(message(0x80, static_cast<uint8_t>(n), 0x40));
        }
      }
      for (const NoteLog& l : cj.n->logs) {
        if (l.velocity == 0) {  // not a valid log: it can only mean the note is off
          if (c.velocity[l.note] != 0) emit(message(0x80, l.note, 0x40));
          continue;
        }
        if (!strike) continue;  // the packet itself is late: a note now would be a wrong note
        if (cj.n->offs[l.note]) {
          // Struck and released since the checkpoint: played short, once, unless the strike we
          // played since then is that one. Ours is another if it came before the checkpoint or
          // had another velocity; a log with S clear is a note-on in the packet just before this
          // one, which we lost (we repair only after a loss). The sender keeps such a log only
          // while recent, and gives it Y = 0 for receivers that read it otherwise.
          const bool ours =
              c.struckVelocity[l.note] == l.velocity && c.struck[l.note] >= checkpoint && l.s;
          if (c.velocity[l.note] == 0 && !ours) {
            emit(message(0x90, l.note, l.velocity));
            emit(message(0x80, l.note, 0x40));
          }
          continue;
        }
        if (!l.y) continue;  // the sender judged it too old to strike late
        if (c.velocity[l.note] == 0) {
          emit(message(0x90, l.note, l.velocity));
        } else if (c.velocity[l.note] != l.velocity || c.struck[l.note] < checkpoint) {
          // A note-off and a new note-on went missing: the strike logged is another than ours,
          // by its velocity, or because a held note is logged only when struck since the
          // checkpoint and ours came before it.
          emit(message(0x80, l.note, 0x40));
          emit(message(0x90, l.note, l.velocity));
        }
      }
    }
    if (cj.t && c.pressure != cj.t->pressure) {
      emit({static_cast<uint8_t>(0xD0 | ch), cj.t->pressure});
    }
    if (cj.a) {
      for (const PressureLog& l : cj.a->logs) {
        if (c.poly[l.note] != l.pressure) emit(message(0xA0, l.note, l.pressure));
      }
    }
  }
  return out;
}

std::vector<Repair> JournalReceiver::ReleaseAll() {
  std::vector<Repair> out;
  for (uint8_t ch = 0; ch < 16; ++ch) {
    const Channel& c = channels_[ch];
    for (uint8_t n = 0; n < 128; ++n) {
      if (c.velocity[n] != 0) out.push_back(Repair{{static_cast<uint8_t>(0x80 | ch), n, 0x40}});
    }
    if (c.controller[64] >= 64) out.push_back(Repair{{static_cast<uint8_t>(0xB0 | ch), 64, 0}});
  }
  channels_.assign(16, Channel{});
  return out;
}

}  // namespace tandem::rtpmidi
