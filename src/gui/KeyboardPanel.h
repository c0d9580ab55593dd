// A framed panel with a keyboard picture on its left: the base of the panels of what this side
// plays (local send) and what it receives.
#pragma once

#include <QFrame>

class QHBoxLayout;
class QLayout;

namespace tandem {

class KeyboardPicture;

class KeyboardPanel : public QFrame {
  Q_OBJECT
 public:
  KeyboardPicture& Keyboard() const { return *keyboard_; }

 protected:
  KeyboardPanel(const char* name, const char* keyboardName);
  // Puts the panel's controls right of the keyboard, taking the rest of the width.
  void AddControls(QLayout* controls);

 private:
  QHBoxLayout* row_;
  KeyboardPicture* keyboard_;
};

}  // namespace tandem
