// What this side plays: its speed, the local buffer and its automation, the channel and the
// transposition of what is sent, beside the keyboard of the notes sent.
#pragma once

#include "gui/KeyboardPanel.h"

namespace tandem {

class FormBinder;

class LocalPanel : public KeyboardPanel {
  Q_OBJECT
 public:
  explicit LocalPanel(FormBinder& binder);
};

}  // namespace tandem
