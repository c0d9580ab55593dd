// The 100 ms status refresh: both keyboards, the local speed, the two buffer gauges and the link.
#pragma once

#include <string>

#include "model/DrawKeyboard.h"
#include "model/FormCtrl.h"

namespace tandem {

// One tick, on the GUI thread. Returns false when the tick was dropped because another tick is
// still running on this thread (a nested event loop inside a paint, say): ticks never overlap.
bool Timer1Timer(TFormCtl& form, Canvas& play, Canvas& send);

// The link line: "RTT 0.4 ms · lost 0.0 % · jitter 0.3 ms" from the partner's reports about our
// packets, then " | in: lost 0.0 % · jitter 0.2 ms" for its packets once they arrive; "---"
// before the partner's first report. An RTP-MIDI session: "RTT 0.4 ms · in: lost 0.0 % ·
// recovered 0", the round trip from its clock sync.
std::string LinkLine(const rtp::LinkFigures& figures);
// Puts LinkLine of the published figures into EditLink when it changed.
void ShowLink(TFormCtl& form);

// LocalSpeed (note-ons per second) as note-ons per minute, whole and capped for the gauge.
int32_t SpeedGaugeValue(float notesPerSecond);

}  // namespace tandem
