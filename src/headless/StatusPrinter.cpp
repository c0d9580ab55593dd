#include "headless/StatusPrinter.h"

#include <algorithm>

#include "model/StatusTimer.h"

namespace tandem {

namespace {

// One line per change, whatever a text holds.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

StatusPrinter::StatusPrinter(TFormCtl& form, Sink sink, bool verbose)
    : form_(form), sink_(std::move(sink)), chatCursor_(form.MemoChat.TotalAppended()) {
  statuses_ = {
      {"RTP Status", {&form.EditStatutConnect}, "----"},
      {"Reception", {&form.EditStatutReceive}, "----"},
      {"MIDI", {&form.EditMidiStatus}, ""},
  };
  if (verbose) {
    statuses_.push_back(
        {"IN", {&form.EditByte1, &form.EditByte2, &form.EditByte3, &form.EditCanal}, ""});
    statuses_.push_back(
        {"OUT",
         {&form.EditMsgOut, &form.EditNoteOut, &form.EditVelociteOut, &form.EditCanalOut},
         ""});
    statuses_[3].last = Read(statuses_[3]);
    statuses_[4].last = Read(statuses_[4]);
  }
  statuses_.push_back({"Security", {&form.EditSecurity}, "---"});
  // "Invitation from NAME (ADDRESS)" stands alone, as the line /accept or /refuse answers.
  statuses_.push_back({"", {&form.EditInvitation}, ""});
  statuses_.push_back({"Nearby", {&form.EditNearby}, ""});
  counters_ = {
      {"# Received", {&form.EditNbrRec}, "----"}, {"# Sent", {&form.EditNbrSend}, "----"},
      {"# Dropped", {&form.EditNbrDropped}, "0"}, {"# Refused", {&form.EditNbrRefused}, "0"},
      {"# Late", {&form.EditNbrLate}, "0"},  // steady events that came after their moment
      {"BandWidth", {&form.EditDebit}, "---"},
  };
  link_ = {"Link", {&form.EditLink}, "---"};
}

std::string StatusPrinter::Read(const Watched& w) {
  std::string text;
  for (const EditBox* box : w.boxes) {
    if (!text.empty()) text += ' ';
    text += box->Text();
  }
  return OneLine(text);
}

void StatusPrinter::PrintIfChanged(Watched& w) {
  std::string now = Read(w);
  if (now == w.last) return;
  w.last = now;
  if (!now.empty()) sink_(w.label.empty() ? now : w.label + ": " + now);
}

void StatusPrinter::PrintLink(int64_t nowMs) {
  if (lastLinkPrint_ != INT64_MIN && nowMs - lastLinkPrint_ < kLinkPeriodMs) return;
  ShowLink(form_);  // no status timer runs without a window
  const std::string before = link_.last;
  PrintIfChanged(link_);
  if (link_.last != before) lastLinkPrint_ = nowMs;
}

void StatusPrinter::Poll(int64_t nowMs) {
  for (auto& w : statuses_) PrintIfChanged(w);
  for (auto& line : form_.MemoChat.LinesSince(chatCursor_)) sink_(OneLine(line));
  if (listNearby_ && form_.NearbyVersion() != nearbySeen_) {
    nearbySeen_ = form_.NearbyVersion();
    std::vector<NearbyService> now = form_.Nearby();
    auto listed = [](const std::vector<NearbyService>& list, const NearbyService& s) {
      return std::find(list.begin(), list.end(), s) != list.end();
    };
    for (const auto& s : nearby_) {
      if (!listed(now, s)) sink_("Nearby: - " + OneLine(s.name));
    }
    for (const auto& s : now) {
      if (!listed(nearby_, s))
        sink_("Nearby: + " + OneLine(NearbyLine(s)) + " \u00b7 " + NearbyEndpoint(s));
    }
    nearby_ = std::move(now);
  }
  PrintLink(nowMs);
  if (lastCounterPrint_ != INT64_MIN && nowMs - lastCounterPrint_ < kCounterPeriodMs) return;
  bool printed = false;
  for (auto& w : counters_) {
    std::string before = w.last;
    PrintIfChanged(w);
    printed = printed || w.last != before;
  }
  if (printed) lastCounterPrint_ = nowMs;
}

void StatusPrinter::FlushCounters() {
  for (auto& w : counters_) PrintIfChanged(w);
  ShowLink(form_);
  PrintIfChanged(link_);
}

}  // namespace tandem
