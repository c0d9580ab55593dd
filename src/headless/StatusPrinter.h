// What the headless front end prints: a poller over the window's model that turns its displays
// into lines, label first ("RTP Status: envoi correct"), each change once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/FormCtrl.h"

namespace tandem {

class StatusPrinter {
 public:
  using Sink = std::function<void(const std::string& line)>;
  static constexpr int64_t kCounterPeriodMs = 1000;
  // The link figures move with every report: a line at most this often is enough to read them.
  static constexpr int64_t kLinkPeriodMs = 5000;

  // Texts that differ from the window's initial ones are printed at the first poll; chat lines
  // already in the memo are not.
  StatusPrinter(TFormCtl& form, Sink sink, bool verbose);

  // Prints every status text that changed and the new chat lines; the counters and bandwidth
  // at most once per kCounterPeriodMs, and the "Link:" line at most once per kLinkPeriodMs,
  // when they changed. `nowMs` is any steady millisecond count.
  void Poll(int64_t nowMs);
  // Prints the counters that changed, whatever the time (at shut-down).
  void FlushCounters();
  // Also print the Nearby list's changes: "Nearby: + NAME · PROTOCOL · ADDRESS:PORT" for a
  // session that appears, "Nearby: - NAME" for one that goes.
  void ListNearby(bool on) { listNearby_ = on; }

 private:
  struct Watched {
    std::string label;
    std::vector<const EditBox*> boxes;  // printed together, separated by blanks
    std::string last;
  };
  static std::string Read(const Watched& w);
  void PrintIfChanged(Watched& w);
  void PrintLink(int64_t nowMs);

  TFormCtl& form_;
  Sink sink_;
  std::vector<Watched> statuses_;
  std::vector<Watched> counters_;
  uint64_t chatCursor_;
  int64_t lastCounterPrint_ = INT64_MIN;
  Watched link_;
  int64_t lastLinkPrint_ = INT64_MIN;
  bool listNearby_ = false;
  uint64_t nearbySeen_ = 0;
  std::vector<NearbyService> nearby_;
};

}  // namespace tandem
