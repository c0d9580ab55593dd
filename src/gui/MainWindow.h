// The window: a view over the state model, composed of its groups. User actions run the model's
// commands; every 100 ms the status timer runs and the widgets are refreshed from the model.
// Threads never touch it.
#pragma once

#include <QTimer>
#include <QWidget>
#include <map>
#include <string>

#include "gui/FormBinder.h"
#include "model/FormCtrl.h"

class QLabel;
class QSettings;

namespace tandem {

class Application;
class KeyboardPanel;
class MidiGroup;

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

 private:
  MainWindow(TFormCtl& form, Application* app, QWidget* parent);

  QLabel* BuildStatusLine();
  // Places the window where the settings had it, when that is still on a screen.
  void RestoreGeometry(const std::map<std::string, std::string>& values);

  TFormCtl& form_;
  Application* app_ = nullptr;  // none for a window over a bare model
  FormBinder binder_;
  MidiGroup* midi_ = nullptr;
  KeyboardPanel* local_ = nullptr;
  KeyboardPanel* reception_ = nullptr;
  QTimer timer_;
};

}  // namespace tandem
