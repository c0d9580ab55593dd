#include "model/StatusTimer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tandem {

namespace {

constexpr float kPerMinute = 60.0f;
constexpr int32_t kSpeedCap = 1000;
constexpr int32_t kBufferCap = 120;

// Ticks run on the GUI thread only; a per-thread flag keeps two windows (or two test threads)
// from dropping each other's ticks.
thread_local bool tickRunning = false;

class TickGuard {
 public:
  TickGuard() : acquired_(!tickRunning) { tickRunning = true; }
  ~TickGuard() {
    if (acquired_) tickRunning = false;
  }
  TickGuard(const TickGuard&) = delete;
  TickGuard& operator=(const TickGuard&) = delete;
  bool Acquired() const { return acquired_; }

 private:
  bool acquired_;
};

}  // namespace

int32_t SpeedGaugeValue(float notesPerSecond) {
  const float perMinute = notesPerSecond * kPerMinute;
  // A value that does not fit an int must not reach the conversion; the gauge clamps the rest.
  if (std::isnan(perMinute)) return 0;
  if (perMinute >= static_cast<float>(kSpeedCap)) return kSpeedCap;
  if (perMinute <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(perMinute);  // truncates toward zero
}

namespace {

// One decimal, and no "-0.0" or "nan" from a figure that is not a plain number.
std::string Fixed1(double value) {
  if (!std::isfinite(value) || value < 0) value = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", std::min(value, 1e9));
  return text;
}

}  // namespace

std::string LinkLine(const rtp::LinkFigures& f) {
  if (!f.haveReport) return "---";
  if (f.journal) {
    std::string line = "RTT " + (f.haveRtt ? Fixed1(f.rttMs) + " ms" : std::string("---"));
    line += " · in: lost " + Fixed1(f.receivedFractionLost * 100) + " %";
    return line + " · recovered " + std::to_string(f.recovered);
  }
  std::string line = "RTT " + (f.haveRtt ? Fixed1(f.rttMs) + " ms" : std::string("---"));
  line += " · lost " + Fixed1(f.sentFractionLost * 100) + " %";
  line += " · jitter " + Fixed1(f.sentJitterMs) + " ms";
  if (f.haveReceived) {
    line += " | in: lost " + Fixed1(f.receivedFractionLost * 100) + " %";
    line += " · jitter " + Fixed1(f.receivedJitterMs) + " ms";
  }
  // The port our packets go to: "Send Port", or the one the partner's router answers from.
  if (f.sendPort != 0) line += " · to port " + std::to_string(f.sendPort);
  return line;
}

void ShowLink(TFormCtl& form) {
  std::string line = LinkLine(form.Link());
  if (line != form.EditLink.Text()) form.EditLink.SetText(line);
}

bool Timer1Timer(TFormCtl& form, Canvas& play, Canvas& send) {
  TickGuard guard;
  if (!guard.Acquired()) return false;

  DrawKeyboard(play, form.KeysPlayed);
  DrawKeyboard(send, form.KeysSent);
  form.EditSpeed.SetText(FloatToStrGeneral(form.LocalSpeed.load() * kPerMinute, 4, 5));
  if (form.CheckBoxAutomateLocalBuffer.Checked()) {
    form.EditBufferLocal.SetText(IntToStr(form.LocalBuffer.load()));
  }
  form.GaugeSpeedLocal.SetProgress(SpeedGaugeValue(form.LocalSpeed.load()));
  form.GaugeBufferLocal.SetProgress(std::min(kBufferCap, form.LocalBuffer.load()));
  form.GaugeBufferRemote.SetProgress(std::min(kBufferCap, form.ReceptionBuffer.load()));
  ShowLink(form);
  return true;
}

}  // namespace tandem
