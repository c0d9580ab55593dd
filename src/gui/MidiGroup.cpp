#include "gui/MidiGroup.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStandardPaths>
#include <string>
#include <tuple>

#include "app/Application.h"
#include "gui/FormBinder.h"
#include "gui/PortChooser.h"

namespace tandem {

namespace {

QString VolumeTip(int percent) {
  return QString("Level of the built-in synthesizer: %1 % of its usual level").arg(percent);
}

}  // namespace

QString NewRecordingPath() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  QDir().mkpath(folder);
  QString name = "Tandem " + QDateTime::currentDateTime().toString("yyyy-MM-dd HH.mm.ss") + ".mid";
  return QDir(folder).filePath(name);
}

MidiGroup::MidiGroup(FormBinder& binder, Application* app)
    : QGroupBox("MIDI"), binder_(binder), form_(binder.Form()), app_(app) {
  setObjectName("GroupBox2");
  auto* grid = TightGrid(this);
  grid->addWidget(new QLabel("IN"), 0, 1, Qt::AlignHCenter);
  grid->addWidget(new QLabel("OUT"), 0, 2, Qt::AlignHCenter);
  struct Row {
    const char* label;
    EditBox& in;
    const char* inName;
    EditBox& out;
    const char* outName;
  };
  Row rows[] = {
      {"Message", form_.EditByte1, "EditByte1", form_.EditMsgOut, "EditMsgOut"},
      {"Note", form_.EditByte2, "EditByte2", form_.EditNoteOut, "EditNoteOut"},
      {"Velocity", form_.EditByte3, "EditByte3", form_.EditVelociteOut, "EditVelociteOut"},
      {"Channel", form_.EditCanal, "EditCanal", form_.EditCanalOut, "EditCanalOut"},
  };
  int r = 1;
  for (Row& row : rows) {
    grid->addWidget(new QLabel(row.label), r, 0);
    grid->addWidget(binder.Display(row.in, row.inName, 4), r, 1);
    grid->addWidget(binder.Display(row.out, row.outName, 4), r, 2);
    ++r;
  }
  TFormCtl& form = form_;
  grid->addWidget(binder.Command(form.ButtonReadMidi, "ButtonReadMidi",
                                 [&form] { form.ButtonReadMidiClick(); }),
                  r, 0);
  grid->addWidget(binder.Command(form.Button1, "Button1", [&form] { form.Button1Click(); }), r, 1,
                  1, 2);
  ++r;
  auto* checks = new QHBoxLayout;
  checks->addWidget(binder.Check(form.CheckBoxMidiPlay, "CheckBoxMidiPlay",
                                 [&form](bool checked) { form.SetAudition(checked); }));
  auto* record = binder.Check(form.CheckBoxRecord, "CheckBoxRecord", [&form](bool checked) {
    form.SetRecording(checked, checked ? NewRecordingPath().toStdString() : std::string());
  });
  record->setToolTip("Record the session as a MIDI file in the music folder");
  checks->addWidget(record);
  checks->addStretch();
  grid->addLayout(checks, r, 0, 1, 3);
  ++r;
  if (app_ != nullptr) {
    // The choosers are wider than the IN and OUT columns: they get a grid of their own, and the
    // group's extra width goes to an empty last column, not between IN and OUT.
    auto* ports = TightGrid(nullptr);
    AddPortChoosers(ports, 0);
    AddVolume(ports, 2);
    grid->addLayout(ports, r, 0, 1, 4);
    grid->setColumnStretch(3, 1);
    ++r;
  }
  grid->setRowStretch(r, 1);
}

void MidiGroup::AddPortChoosers(QGridLayout* grid, int row) {
  // The GUI's MIDI clients are named "tandem"; their own ports cannot be chosen.
  const std::string client = "tandem";
  Application* app = app_;
  inputChooser_ = new PortChooser(
      PortRole::Input, [app] { return app->Midi().InputPorts(); }, client);
  outputChooser_ = new PortChooser(
      PortRole::Output, [app] { return app->Midi().OutputPorts(); }, client);
  inputChooser_->setObjectName("ComboMidiIn");
  outputChooser_->setObjectName("ComboMidiOut");
  inputChooser_->setToolTip("MIDI input: used from the next \"Read MIDI\"");
  outputChooser_->setToolTip("MIDI output: used from the next change of \"Audition\"");
  auto [in, out] = app_->Ports();
  inputChooser_->Select(in);
  outputChooser_->Select(out);
  auto choose = [this] {
    binder_.RunCommand(
        [this] { app_->SetPorts(inputChooser_->Choice(), outputChooser_->Choice()); });
  };
  connect(inputChooser_, &PortChooser::Chosen, this, choose);
  connect(outputChooser_, &PortChooser::Chosen, this, choose);
  grid->addWidget(Label("Input", inputChooser_), row, 0);
  grid->addWidget(inputChooser_, row, 1);
  grid->addWidget(Label("Output", outputChooser_), row + 1, 0);
  grid->addWidget(outputChooser_, row + 1, 1);
  grid->setColumnStretch(1, 1);
}

void MidiGroup::AddVolume(QGridLayout* grid, int row) {
  volumeSlider_ = new QSlider(Qt::Horizontal);
  volumeSlider_->setObjectName("TrackBarVolume");
  volumeSlider_->setRange(form_.TrackBarVolume.Min(), form_.TrackBarVolume.Max());
  volumeSlider_->setSingleStep(5);
  volumeSlider_->setPageStep(25);
  volumeSlider_->setTickPosition(QSlider::TicksBelow);
  volumeSlider_->setTickInterval(kDefaultVolume);
  volumeSlider_->setValue(form_.TrackBarVolume.Position());
  volumeSlider_->setToolTip(VolumeTip(volumeSlider_->value()));
  connect(volumeSlider_, &QSlider::valueChanged, this, [this](int value) {
    binder_.RunCommand([this, value] { form_.SetVolume(value); });
    volumeSlider_->setToolTip(VolumeTip(value));
  });
  binder_.OnRefresh([this] {
    if (volumeSlider_->value() == form_.TrackBarVolume.Position()) return;
    QSignalBlocker quiet(volumeSlider_);
    volumeSlider_->setValue(form_.TrackBarVolume.Position());
    volumeSlider_->setToolTip(VolumeTip(volumeSlider_->value()));
  });
  grid->addWidget(Label("Volume", volumeSlider_), row, 0);
  grid->addWidget(volumeSlider_, row, 1);
}

RememberedPorts MidiGroup::Ports() const {
  RememberedPorts ports;
  if (app_ != nullptr) std::tie(ports.in, ports.out) = app_->Ports();
  return ports;
}

void MidiGroup::RestorePorts(const RememberedPorts& ports) {
  if (app_ == nullptr) return;
  const bool newOutput = PortChoiceText(ports.out) != PortChoiceText(Ports().out);
  app_->SetPorts(ports.in, ports.out);
  inputChooser_->Select(ports.in);
  outputChooser_->Select(ports.out);
  // The output open since start-up is the default one; the remembered one replaces it.
  if (newOutput && form_.CheckBoxMidiPlay.Checked()) form_.SetAudition(true);
}

}  // namespace tandem
