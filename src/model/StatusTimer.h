// The 100 ms status refresh: both keyboards, the local speed and the two buffer gauges.
#pragma once

#include "model/DrawKeyboard.h"
#include "model/FormCtrl.h"

namespace tandem {

// One tick, on the GUI thread. Returns false when the tick was dropped because another tick is
// still running on this thread (a nested event loop inside a paint, say): ticks never overlap.
bool Timer1Timer(TFormCtl& form, Canvas& play, Canvas& send);

// LocalSpeed (note-ons per second) as note-ons per minute, whole and capped for the gauge.
int32_t SpeedGaugeValue(float notesPerSecond);

}  // namespace tandem
