#include "gui/KeyboardPanel.h"

#include <QHBoxLayout>

#include "gui/Widgets.h"

namespace tandem {

KeyboardPanel::KeyboardPanel(const char* name, const char* keyboardName) {
  setObjectName(name);
  setFrameShape(QFrame::StyledPanel);
  row_ = new QHBoxLayout(this);
  row_->setContentsMargins(6, 6, 6, 6);
  keyboard_ = new KeyboardPicture;
  keyboard_->setObjectName(keyboardName);
  row_->addWidget(keyboard_, 0, Qt::AlignTop);
}

void KeyboardPanel::AddControls(QLayout* controls) {
  row_->addLayout(controls, 1);
}

}  // namespace tandem
