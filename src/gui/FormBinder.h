// What every group of the window builds its widgets with: each widget is bound to a control of
// the model, user actions run the model's commands, and Refresh brings every bound widget up to
// the model. The groups share one binder, so a command in one group refreshes them all.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "model/FormCtrl.h"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWidget;

namespace tandem {

class GaugeBar;
class StepArrows;

inline QString QText(const std::string& s) {
  return QString::fromStdString(s);
}

// A grid with the window's spacing, laid on `owner` when it is given.
QGridLayout* TightGrid(QWidget* owner);
QLabel* Label(const QString& text, QWidget* buddy = nullptr);

class FormBinder : public QObject {
  Q_OBJECT
 public:
  // `window` parents the error dialogs and lends its text colour to the memos.
  FormBinder(TFormCtl& form, QWidget& window);

  TFormCtl& Form() { return form_; }

  // A read-only box showing `box`, `chars` digits wide (0: as wide as the layout makes it).
  QLineEdit* Display(EditBox& box, const char* name, int chars);
  // A box the user types `box` into.
  QLineEdit* Setting(EditBox& box, const char* name, int chars);
  // A click runs `onClick`, or without one sets the box.
  QCheckBox* Check(CheckBox& box, const char* name, std::function<void(bool)> onClick = {});
  QPushButton* Command(Button& button, const char* name, std::function<void()> command);
  QPlainTextEdit* MemoView(Memo& memo, const char* name, int visibleLines);
  GaugeBar* GaugeView(Gauge& gauge, const char* name);
  QRadioButton* Radio(RadioButton& button, const char* name, std::function<void()> command);
  // A number box with up and down arrows beside it that run `handler` with +1 or -1.
  QWidget* StepPair(EditBox& box, const char* editName, const char* arrowsName, bool typable,
                    void (TFormCtl::*handler)(int));
  // Runs at every refresh, for a widget no binding above covers.
  void OnRefresh(std::function<void()> refresh);

  // Runs a user command; what it cannot do is shown in an error dialog.
  void RunCommand(const std::function<void()>& command);
  // Brings widgets up to the model. Unless `force`, an editable box that has the focus keeps
  // what the user is typing; after a command the model wins, since the command changed it.
  void Refresh(bool force);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct EditBinding {
    QLineEdit* widget;
    EditBox* box;
    bool editable;
    uint64_t seen;
  };
  struct MemoBinding {
    QPlainTextEdit* widget;
    Memo* memo;
    uint64_t cursor;
    uint32_t color;
  };
  struct CheckBinding {
    QCheckBox* widget;
    CheckBox* box;
  };
  struct ButtonBinding {
    QPushButton* widget;
    Button* button;
  };

  TFormCtl& form_;
  QWidget& window_;
  std::vector<EditBinding> edits_;
  std::vector<MemoBinding> memos_;
  std::vector<CheckBinding> checks_;
  std::vector<ButtonBinding> buttons_;
  std::vector<GaugeBar*> gauges_;
  std::vector<std::pair<QRadioButton*, RadioButton*>> radios_;
  std::vector<std::pair<QLineEdit*, StepArrows*>> stepEdits_;
  std::vector<std::function<void()>> refreshers_;
};

}  // namespace tandem
