// What this side receives: the reception buffer, steady playout and late notes, the channel and
// the transposition of what is played, and the sound settings, beside the keyboard of the notes
// played.
#pragma once

#include "gui/KeyboardPanel.h"

namespace tandem {

class FormBinder;

class ReceptionPanel : public KeyboardPanel {
  Q_OBJECT
 public:
  explicit ReceptionPanel(FormBinder& binder);
};

}  // namespace tandem
