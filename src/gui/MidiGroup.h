// The MIDI group: the last message read and sent, Read MIDI and the test note, audition and
// recording, and in a running program the choosers of its ports and the synthesizer's volume.
#pragma once

#include <QGroupBox>
#include <QString>

#include "model/Settings.h"

class QGridLayout;
class QSlider;

namespace tandem {

class Application;
class FormBinder;
class PortChooser;

class MidiGroup : public QGroupBox {
  Q_OBJECT
 public:
  // Without `app` there are no ports to choose, and no volume.
  MidiGroup(FormBinder& binder, Application* app);

  bool HasPorts() const { return app_ != nullptr; }
  // The ports in use; none without a running program.
  RememberedPorts Ports() const;
  // Opens remembered ports and shows them in the choosers.
  void RestorePorts(const RememberedPorts& ports);

 private:
  void AddPortChoosers(QGridLayout* grid, int row);
  void AddVolume(QGridLayout* grid, int row);

  FormBinder& binder_;
  TFormCtl& form_;
  Application* app_;
  PortChooser* inputChooser_ = nullptr;
  PortChooser* outputChooser_ = nullptr;
  QSlider* volumeSlider_ = nullptr;
};

// A new file in the user's music folder, named by the moment it is asked for.
QString NewRecordingPath();

}  // namespace tandem
