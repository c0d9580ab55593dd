// The window: a view over the state model. User actions run the model's commands; every 100 ms
// the status timer runs and the widgets are refreshed from the model. Threads never touch it.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "model/FormCtrl.h"

class QCheckBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSettings;
class QSlider;

namespace tandem {

class Application;
class GaugeBar;
class PortChooser;
class KeyboardPicture;
class StepArrows;

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kTimerIntervalMs = 100;

  explicit MainWindow(TFormCtl& form, QWidget* parent = nullptr);
  // The window of a running program: with the choosers of its MIDI ports.
  explicit MainWindow(Application& app, QWidget* parent = nullptr);
  ~MainWindow() override;

  // One Timer1 tick: the status timer, then every widget from the model.
  void Tick();
  // Puts back what StoreSettings kept, line by line: a value that is missing or unusable
  // leaves its control as it is, and a position off every screen leaves the placing to the
  // window manager. Before the window is shown.
  void RestoreSettings(QSettings& settings);
  void StoreSettings(QSettings& settings);
  TFormCtl& Form() { return form_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  MainWindow(TFormCtl& form, Application* app, QWidget* parent);

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

  QWidget* BuildMidiGroup();
  void AddPortChoosers(QGridLayout* grid, int row);
  void AddVolume(QGridLayout* grid, int row);
  QWidget* BuildRtpGroup();
  QWidget* BuildLocalPanel();
  QWidget* BuildReceptionPanel();
  QWidget* BuildRetransmissionGroup();
  QWidget* BuildChat();

  QLineEdit* Display(EditBox& box, const char* name, int chars);
  QLineEdit* Setting(EditBox& box, const char* name, int chars);
  QCheckBox* Check(CheckBox& box, const char* name, std::function<void(bool)> onClick = {});
  QPushButton* Command(Button& button, const char* name, std::function<void()> command);
  QPlainTextEdit* MemoView(Memo& memo, const char* name, int visibleLines);
  GaugeBar* GaugeView(Gauge& gauge, const char* name);
  QRadioButton* Radio(RadioButton& button, const char* name);
  QWidget* StepPair(EditBox& box, const char* editName, const char* arrowsName, bool typable,
                    void (TFormCtl::*handler)(int));
  QLabel* Label(const QString& text, QWidget* buddy = nullptr);

  // Runs a user command; what it cannot do is shown in an error dialog.
  void RunCommand(const std::function<void()>& command);
  // Brings widgets up to the model. Unless `force`, an editable box that has the focus keeps
  // what the user is typing; after a command the model wins, since the command changed it.
  void Refresh(bool force);
  void LimitChatText(const QString& text);

  TFormCtl& form_;
  Application* app_;
  PortChooser* inputChooser_ = nullptr;
  PortChooser* outputChooser_ = nullptr;
  QSlider* volumeSlider_ = nullptr;
  QTimer timer_;
  KeyboardPicture* keyboardToSend_ = nullptr;
  KeyboardPicture* keyboardToPlay_ = nullptr;
  std::vector<EditBinding> edits_;
  std::vector<MemoBinding> memos_;
  std::vector<CheckBinding> checks_;
  std::vector<ButtonBinding> buttons_;
  std::vector<GaugeBar*> gauges_;
  std::vector<std::pair<QRadioButton*, RadioButton*>> radios_;
  // The status line wraps: its messages (why an output could not open, with each driver's
  // reason) are longer than the window is wide.
  QLabel* statusLine_ = nullptr;
  uint64_t statusSeen_ = UINT64_MAX;
  std::vector<std::pair<QLineEdit*, StepArrows*>> stepEdits_;
};

// A new file in the user's music folder, named by the moment it is asked for.
QString NewRecordingPath();

// Cuts `text` so that its UTF-8 form fits `maxBytes`, never inside a character.
QString TruncateUtf8(const QString& text, int maxBytes);

}  // namespace tandem
