#include "gui/MainWindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <map>
#include <tuple>

#include "app/Application.h"
#include "gui/ImageCanvas.h"
#include "gui/PortChooser.h"
#include "gui/Widgets.h"
#include "model/Settings.h"
#include "model/StatusTimer.h"

namespace tandem {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QString VolumeTip(int percent) {
  return QString("Level of the built-in synthesizer: %1 % of its usual level").arg(percent);
}

QColor Rgb(uint32_t rgb) {
  return QColor::fromRgb(static_cast<QRgb>(rgb));
}

QGridLayout* TightGrid(QWidget* owner) {
  auto* grid = new QGridLayout(owner);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(4);
  return grid;
}

}  // namespace

QString NewRecordingPath() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  QDir().mkpath(folder);
  QString name = "Tandem " + QDateTime::currentDateTime().toString("yyyy-MM-dd HH.mm.ss") + ".mid";
  return QDir(folder).filePath(name);
}

QString TruncateUtf8(const QString& text, int maxBytes) {
  if (text.toUtf8().size() <= maxBytes) return text;
  QString out;
  int bytes = 0;
  for (int i = 0; i < text.size();) {
    // A surrogate pair is one character: keep both halves or neither.
    int units = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    int size = static_cast<int>(text.mid(i, units).toUtf8().size());
    if (bytes + size > maxBytes) break;
    out += text.mid(i, units);
    bytes += size;
    i += units;
  }
  return out;
}

MainWindow::MainWindow(TFormCtl& form, QWidget* parent) : MainWindow(form, nullptr, parent) {}

MainWindow::MainWindow(Application& app, QWidget* parent) : MainWindow(app.Form(), &app, parent) {}

MainWindow::MainWindow(TFormCtl& form, Application* app, QWidget* parent)
    : QWidget(parent), form_(form), app_(app) {
  setObjectName("FormCtl");
  setWindowTitle("Tandem");

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(8, 8, 8, 6);
  root->setSpacing(6);

  auto* top = new QHBoxLayout;
  top->addWidget(BuildMidiGroup());
  top->addWidget(BuildRtpGroup(), 1);
  root->addLayout(top);

  auto* middle = new QHBoxLayout;
  auto* panels = new QVBoxLayout;
  panels->addWidget(BuildLocalPanel());
  panels->addWidget(BuildReceptionPanel());
  middle->addLayout(panels, 1);
  middle->addWidget(BuildRetransmissionGroup(), 0);
  root->addLayout(middle);

  root->addWidget(BuildChat(), 1);

  statusLine_ = new QLabel;
  statusLine_->setObjectName("EditMidiStatus");
  statusLine_->setWordWrap(true);
  statusLine_->setTextFormat(Qt::PlainText);
  statusLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Room for three lines from the start: a label that grows later squeezes the rest of the
  // window instead of growing it.
  statusLine_->setFixedHeight(3 * statusLine_->fontMetrics().lineSpacing() + 4);
  statusLine_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  root->addWidget(statusLine_);

  Refresh(true);
  timer_.setInterval(kTimerIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &MainWindow::Tick);
  timer_.start();
}

MainWindow::~MainWindow() {
  timer_.stop();
}

// ---------------------------------------------------------------------------------------------
// Building blocks

QLabel* MainWindow::Label(const QString& text, QWidget* buddy) {
  auto* label = new QLabel(text);
  if (buddy) label->setBuddy(buddy);
  return label;
}

QLineEdit* MainWindow::Display(EditBox& box, const char* name, int chars) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  edit->setReadOnly(true);
  edit->setFocusPolicy(Qt::ClickFocus);  // selectable for copying, but Tab passes it by
  if (chars > 0) {
    QFontMetrics fm(edit->font());
    edit->setFixedWidth(fm.horizontalAdvance(QString(chars, QChar('0'))) + 14);
  }
  edits_.push_back({edit, &box, false, UINT64_MAX});
  return edit;
}

QLineEdit* MainWindow::Setting(EditBox& box, const char* name, int chars) {
  auto* edit = Display(box, name, chars);
  edit->setReadOnly(false);
  edit->setFocusPolicy(Qt::StrongFocus);
  edits_.back().editable = true;
  if (box.MaxLength() > 0) edit->setMaxLength(static_cast<int>(box.MaxLength()));
  size_t index = edits_.size() - 1;
  // Every keystroke reaches the model, so a thread reading the setting sees what is typed.
  connect(edit, &QLineEdit::textEdited, this, [this, index](const QString& text) {
    EditBinding& b = edits_[index];
    b.box->SetText(text.toStdString());
    b.seen = b.box->Version();
  });
  return edit;
}

QCheckBox* MainWindow::Check(CheckBox& box, const char* name, std::function<void(bool)> onClick) {
  auto* check = new QCheckBox(Q(box.Caption()));
  check->setObjectName(name);
  check->setChecked(box.Checked());
  checks_.push_back({check, &box});
  connect(check, &QCheckBox::clicked, this, [this, &box, onClick](bool checked) {
    RunCommand([&box, &onClick, checked] {
      if (onClick) {
        onClick(checked);
      } else {
        box.SetChecked(checked);
      }
    });
  });
  return check;
}

QPushButton* MainWindow::Command(Button& button, const char* name, std::function<void()> command) {
  auto* push = new QPushButton(Q(button.Caption()));
  push->setObjectName(name);
  push->setAutoDefault(false);
  buttons_.push_back({push, &button});
  connect(push, &QPushButton::clicked, this, [this, command] { RunCommand(command); });
  return push;
}

QPlainTextEdit* MainWindow::MemoView(Memo& memo, const char* name, int visibleLines) {
  auto* view = new LineMemo(visibleLines);
  view->setObjectName(name);
  view->setMaximumBlockCount(2000);
  view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memos_.push_back({view, &memo, 0, UINT32_MAX});
  return view;
}

GaugeBar* MainWindow::GaugeView(Gauge& gauge, const char* name) {
  auto* bar = new GaugeBar(gauge);
  bar->setObjectName(name);
  gauges_.push_back(bar);
  return bar;
}

QRadioButton* MainWindow::Radio(RadioButton& button, const char* name) {
  auto* radio = new QRadioButton(Q(button.Caption()));
  radio->setObjectName(name);
  radio->setChecked(button.Checked());
  radios_.emplace_back(radio, &button);
  connect(radio, &QRadioButton::clicked, this, [this, &button] {
    RunCommand(
        [this, &button] { form_.SetRetransmission(static_cast<Retransmission>(button.Index())); });
  });
  return radio;
}

QWidget* MainWindow::StepPair(EditBox& box, const char* editName, const char* arrowsName,
                              bool typable, void (TFormCtl::*handler)(int)) {
  auto* pair = new QWidget;
  auto* row = new QHBoxLayout(pair);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  QLineEdit* edit = typable ? Setting(box, editName, 3) : Display(box, editName, 3);
  edit->setAlignment(Qt::AlignRight);
  auto* arrows = new StepArrows;
  arrows->setObjectName(arrowsName);
  arrows->setFixedHeight(edit->sizeHint().height());
  connect(arrows, &StepArrows::Stepped, this, [this, handler](int delta) {
    TFormCtl& form = form_;
    RunCommand([&form, handler, delta] { (form.*handler)(delta); });
  });
  // The arrow keys in the box step too, as on a spin box.
  edit->installEventFilter(this);
  stepEdits_.emplace_back(edit, arrows);
  row->addWidget(edit);
  row->addWidget(arrows);
  row->addStretch();
  return pair;
}

// ---------------------------------------------------------------------------------------------
// Groups

QWidget* MainWindow::BuildMidiGroup() {
  auto* group = new QGroupBox("MIDI");
  group->setObjectName("GroupBox2");
  auto* grid = TightGrid(group);
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
    grid->addWidget(Display(row.in, row.inName, 4), r, 1);
    grid->addWidget(Display(row.out, row.outName, 4), r, 2);
    ++r;
  }
  grid->addWidget(
      Command(form_.ButtonReadMidi, "ButtonReadMidi", [this] { form_.ButtonReadMidiClick(); }), r,
      0);
  grid->addWidget(Command(form_.Button1, "Button1", [this] { form_.Button1Click(); }), r, 1, 1, 2);
  ++r;
  auto* checks = new QHBoxLayout;
  checks->addWidget(Check(form_.CheckBoxMidiPlay, "CheckBoxMidiPlay",
                          [this](bool checked) { form_.SetAudition(checked); }));
  auto* record = Check(form_.CheckBoxRecord, "CheckBoxRecord", [this](bool checked) {
    form_.SetRecording(checked, checked ? NewRecordingPath().toStdString() : std::string());
  });
  record->setToolTip("Record the session as a MIDI file in the music folder");
  checks->addWidget(record);
  checks->addStretch();
  grid->addLayout(checks, r, 0, 1, 3);
  ++r;
  if (app_ != nullptr) {
    // The choosers are wider than the IN and OUT columns: they get a grid of their own, and the
    // group's extra width goes to an empty last column, not between IN and OUT.
    auto* ports = new QGridLayout;
    ports->setHorizontalSpacing(6);
    ports->setVerticalSpacing(4);
    AddPortChoosers(ports, 0);
    AddVolume(ports, 2);
    grid->addLayout(ports, r, 0, 1, 4);
    grid->setColumnStretch(3, 1);
    ++r;
  }
  grid->setRowStretch(r, 1);
  return group;
}

void MainWindow::AddPortChoosers(QGridLayout* grid, int row) {
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
    RunCommand([this] { app_->SetPorts(inputChooser_->Choice(), outputChooser_->Choice()); });
  };
  connect(inputChooser_, &PortChooser::Chosen, this, choose);
  connect(outputChooser_, &PortChooser::Chosen, this, choose);
  grid->addWidget(Label("Input", inputChooser_), row, 0);
  grid->addWidget(inputChooser_, row, 1);
  grid->addWidget(Label("Output", outputChooser_), row + 1, 0);
  grid->addWidget(outputChooser_, row + 1, 1);
  grid->setColumnStretch(1, 1);
}

void MainWindow::AddVolume(QGridLayout* grid, int row) {
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
    RunCommand([this, value] { form_.SetVolume(value); });
    volumeSlider_->setToolTip(VolumeTip(value));
  });
  grid->addWidget(Label("Volume", volumeSlider_), row, 0);
  grid->addWidget(volumeSlider_, row, 1);
}

QWidget* MainWindow::BuildRtpGroup() {
  auto* group = new QGroupBox("RTP");
  group->setObjectName("GroupBoxRTP");
  auto* grid = TightGrid(group);

  auto* memo = MemoView(form_.MemoIpAddr, "MemoIpAddr", 3);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  grid->addWidget(memo, 0, 0, 1, 4);

  auto* ip = Setting(form_.EditDestIp, "EditDestIp", 15);
  auto* listen = Setting(form_.EditPortLocal, "EditPortLocal", 6);
  auto* send = Setting(form_.EditPortDistant, "EditPortDistant", 6);
  grid->addWidget(Label("IP Dest", ip), 1, 0);
  grid->addWidget(ip, 1, 1);
  grid->addWidget(Label("Listen Port", listen), 2, 0);
  grid->addWidget(listen, 2, 1);
  grid->addWidget(Label("Send Port", send), 3, 0);
  grid->addWidget(send, 3, 1);
  auto* passphrase = Setting(form_.EditPassphrase, "EditPassphrase", 15);
  passphrase->setEchoMode(QLineEdit::Password);
  passphrase->setToolTip("Both partners type the same one; empty: the session travels in clear");
  grid->addWidget(Label("Passphrase", passphrase), 4, 0);
  grid->addWidget(passphrase, 4, 1);
  auto* remember = Check(form_.CheckBoxRememberPassphrase, "CheckBoxRememberPassphrase");
  remember->setToolTip("Keep the passphrase in the settings file, readable by you alone");
  auto* acceptAny = Check(form_.CheckBoxAcceptAny, "CheckBoxAcceptAny");
  acceptAny->setToolTip("Take packets from any address, not only from IP Dest");
  auto* checks = new QHBoxLayout;
  checks->addWidget(remember);
  checks->addWidget(acceptAny);
  checks->addStretch();
  grid->addLayout(checks, 5, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Command(form_.ButtonInvertPort, "ButtonInvertPort",
                             [this] { form_.ButtonInvertPortClick(); }));
  buttons->addWidget(
      Command(form_.ButtonStartRTP, "ButtonStartRTP", [this] { form_.ButtonStartRTPClick(); }));
  buttons->addStretch();
  grid->addLayout(buttons, 6, 0, 1, 2);

  struct Row {
    const char* label;
    EditBox& box;
    const char* name;
  };
  Row rows[] = {
      {"RTP Status", form_.EditStatutConnect, "EditStatutConnect"},
      {"Reception", form_.EditStatutReceive, "EditStatutReceive"},
      {"# Received", form_.EditNbrRec, "EditNbrRec"},
      {"# Sent", form_.EditNbrSend, "EditNbrSend"},
      {"# Dropped", form_.EditNbrDropped, "EditNbrDropped"},
      {"# Refused", form_.EditNbrRefused, "EditNbrRefused"},
      {"BandWidth", form_.EditDebit, "EditDebit"},
  };
  int r = 1;
  for (Row& row : rows) {
    auto* edit = Display(row.box, row.name, 0);
    edit->setMinimumWidth(QFontMetrics(edit->font()).horizontalAdvance("erreur a l'envoi") + 14);
    grid->addWidget(Label(row.label), r, 2);
    grid->addWidget(edit, r, 3);
    ++r;
  }
  // The link line is longer than the other displays: it gets the group's whole width.
  auto* link = Display(form_.EditLink, "EditLink", 0);
  grid->addWidget(Label("Link"), r, 0);
  grid->addWidget(link, r, 1, 1, 3);
  grid->setColumnStretch(3, 1);
  grid->setColumnMinimumWidth(1, 10);
  return group;
}

QWidget* MainWindow::BuildLocalPanel() {
  auto* frame = new QFrame;
  frame->setObjectName("LocalPanel");
  frame->setFrameShape(QFrame::StyledPanel);
  auto* row = new QHBoxLayout(frame);
  row->setContentsMargins(6, 6, 6, 6);
  keyboardToSend_ = new KeyboardPicture;
  keyboardToSend_->setObjectName("ImageKeyboardToSend");
  row->addWidget(keyboardToSend_, 0, Qt::AlignTop);

  auto* grid = TightGrid(nullptr);
  grid->addWidget(Label("Local Speed"), 0, 0);
  grid->addWidget(GaugeView(form_.GaugeSpeedLocal, "GaugeSpeedLocal"), 0, 1);
  auto* speed = Display(form_.EditSpeed, "EditSpeed", 7);
  speed->setAlignment(Qt::AlignRight);
  grid->addWidget(speed, 0, 2);
  grid->addWidget(Label("EPM"), 0, 3);

  auto* buffer = Setting(form_.EditBufferLocal, "EditBufferLocal", 7);
  buffer->setAlignment(Qt::AlignRight);
  grid->addWidget(Label("Local Buffer", buffer), 1, 0);
  grid->addWidget(GaugeView(form_.GaugeBufferLocal, "GaugeBufferLocal"), 1, 1);
  grid->addWidget(buffer, 1, 2);
  grid->addWidget(Label("ms"), 1, 3);

  auto* bufferButtons = new QHBoxLayout;
  bufferButtons->addWidget(Check(form_.CheckBoxAutomateLocalBuffer, "CheckBoxAutomateLocalBuffer",
                                 [this](bool checked) { form_.SetAutomateLocalBuffer(checked); }));
  auto* set = Command(form_.ButtonSetLocalBuffer, "ButtonSetLocalBuffer",
                      [this] { form_.ButtonSetLocalBufferClick(); });
  bufferButtons->addWidget(set);
  bufferButtons->addStretch();
  grid->addLayout(bufferButtons, 2, 1, 1, 3);
  // Enter in the buffer box means "Set", as long as Set is available.
  connect(buffer, &QLineEdit::returnPressed, set, [set] {
    if (set->isEnabled()) set->click();
  });

  auto* steps = new QHBoxLayout;
  steps->addWidget(Check(form_.CheckBoxLocalMIDI, "CheckBoxLocalMIDI"));
  steps->addWidget(StepPair(form_.EditLocalCanal, "EditLocalCanal", "UpDownLocalCanal", true,
                            &TFormCtl::UpDownLocalCanalChanging));
  steps->addSpacing(8);
  steps->addWidget(Check(form_.CheckBoxTranspose, "CheckBoxTranspose"));
  steps->addWidget(StepPair(form_.EditTransposeLocalValue, "EditTransposeLocalValue",
                            "UpDownTransposeLocalValue", false,
                            &TFormCtl::UpDownTransposeLocalValueChanging));
  steps->addStretch();
  grid->addLayout(steps, 3, 0, 1, 4);
  grid->setRowStretch(4, 1);
  row->addLayout(grid, 1);
  return frame;
}

QWidget* MainWindow::BuildReceptionPanel() {
  auto* frame = new QFrame;
  frame->setObjectName("ReceptionPanel");
  frame->setFrameShape(QFrame::StyledPanel);
  auto* row = new QHBoxLayout(frame);
  row->setContentsMargins(6, 6, 6, 6);
  keyboardToPlay_ = new KeyboardPicture;
  keyboardToPlay_->setObjectName("ImageKeyboardToPlay");
  row->addWidget(keyboardToPlay_, 0, Qt::AlignTop);

  auto* grid = TightGrid(nullptr);
  auto* receptionLabel = Label("Reception Buffer :");
  grid->addWidget(receptionLabel, 0, 0);
  auto* reception = new QHBoxLayout;
  reception->setSpacing(4);
  reception->addWidget(GaugeView(form_.GaugeBufferRemote, "GaugeBufferRemote"), 1);
  reception->addSpacing(4);
  auto* steady = Check(form_.CheckBoxSteady, "CheckBoxSteady");
  reception->addWidget(steady);
  auto* late = Display(form_.EditNbrLate, "EditNbrLate", 5);
  // No taller than the label, so the row keeps the gauge's height and the window its size.
  const int rowHeight = receptionLabel->sizeHint().height() + 2;
  steady->setFixedHeight(rowHeight);
  late->setFixedHeight(rowHeight);
  reception->addWidget(Label("Late", late));
  reception->addWidget(late);
  grid->addLayout(reception, 0, 1, 1, 3);

  auto* steps = new QHBoxLayout;
  steps->addWidget(Check(form_.CheckBoxMidiCanalOut, "CheckBoxMidiCanalOut"));
  steps->addWidget(StepPair(form_.EditMidiCanalOut, "EditMidiCanalOut", "UpDownMidiCanalOut", true,
                            &TFormCtl::UpDownMidiCanalOutChanging));
  steps->addSpacing(8);
  steps->addWidget(Check(form_.CheckBoxTransposeOut, "CheckBoxTransposeOut"));
  steps->addWidget(StepPair(form_.EditTransposeOut, "EditTransposeOut", "UpDownTransposeOut", true,
                            &TFormCtl::UpDownTransposeOutChanging));
  steps->addStretch();
  grid->addLayout(steps, 1, 0, 1, 4);

  // Sound settings that nothing reads yet: shown, greyed out.
  auto* program = Setting(form_.EditProgram, "EditProgram", 12);
  auto* factor = Setting(form_.EditFactorADSR, "EditFactorADSR", 3);
  auto* attack = Setting(form_.EditAttack, "EditAttack", 4);
  auto* release = Setting(form_.EditRelease, "EditRelease", 4);
  for (QLineEdit* e : {program, factor, attack, release}) e->setEnabled(false);
  auto* sound1 = new QHBoxLayout;
  sound1->setSpacing(4);
  sound1->addWidget(Label("Instrument", program));
  sound1->addWidget(program);
  sound1->addSpacing(8);
  sound1->addWidget(Label("Factor", factor));
  sound1->addWidget(factor);
  sound1->addStretch();
  auto* sound2 = new QHBoxLayout;
  sound2->setSpacing(4);
  sound2->addWidget(Label("Attack", attack));
  sound2->addWidget(attack);
  sound2->addWidget(Label("ms"));
  sound2->addSpacing(8);
  sound2->addWidget(Label("Release", release));
  sound2->addWidget(release);
  sound2->addWidget(Label("ms"));
  sound2->addStretch();
  for (auto* layout : {sound1, sound2}) {
    for (int i = 0; i < layout->count(); ++i) {
      if (auto* label = qobject_cast<QLabel*>(layout->itemAt(i)->widget()))
        label->setEnabled(false);
    }
  }
  grid->addLayout(sound1, 2, 0, 1, 4);
  grid->addLayout(sound2, 3, 0, 1, 4);
  grid->setRowStretch(4, 1);
  grid->setColumnStretch(1, 1);
  row->addLayout(grid, 1);
  return frame;
}

QWidget* MainWindow::BuildRetransmissionGroup() {
  auto* group = new QGroupBox("Retransmission");
  group->setObjectName("RadioGroup1");
  auto* column = new QVBoxLayout(group);
  column->setSpacing(4);
  auto* buttons = new QButtonGroup(group);
  for (auto [button, name] : {std::pair{&form_.RadioButtonNoTransm, "RadioButtonNoTransm"},
                              std::pair{&form_.RadioButtonInMsg, "RadioButtonInMsg"},
                              std::pair{&form_.RadioButtonCst, "RadioButtonCst"},
                              std::pair{&form_.RadioButtonVariable, "RadioButtonVariable"}}) {
    QRadioButton* radio = Radio(*button, name);
    buttons->addButton(radio);
    column->addWidget(radio);
  }
  column->addSpacing(6);
  auto* grid = TightGrid(nullptr);
  auto* base = Setting(form_.EditBaseValue, "EditBaseValue", 4);
  auto* mult = Setting(form_.EditMulValue, "EditMulValue", 4);
  base->setAlignment(Qt::AlignRight);
  mult->setAlignment(Qt::AlignRight);
  grid->addWidget(Label("Base", base), 0, 0);
  grid->addWidget(base, 0, 1);
  grid->addWidget(Label("ms"), 0, 2);
  grid->addWidget(Label("Mult.", mult), 1, 0);
  grid->addWidget(mult, 1, 1);
  grid->setColumnStretch(3, 1);
  column->addLayout(grid);
  column->addStretch();
  return group;
}

QWidget* MainWindow::BuildChat() {
  auto* box = new QWidget;
  box->setObjectName("Chat");
  auto* column = new QVBoxLayout(box);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(4);
  // Four lines at least (it grows with the window), so the window with its Link line still fits
  // a 768-pixel screen.
  auto* memo = MemoView(form_.MemoChat, "MemoChat", 4);
  column->addWidget(memo, 1);

  auto* row = new QHBoxLayout;
  auto* entry = Setting(form_.EditChat, "EditChat", 0);
  entry->setPlaceholderText("Message to the other side");
  // The record carries 98 bytes of text: a character that would not fit whole is refused.
  connect(entry, &QLineEdit::textEdited, this, &MainWindow::LimitChatText);
  connect(entry, &QLineEdit::returnPressed, this,
          [this] { RunCommand([this] { form_.EditChatKeyPress('\r'); }); });
  row->addWidget(entry, 1);
  entry->setFocus();  // the window opens ready to chat
  row->addWidget(
      Command(form_.ButtonChatSend, "ButtonChatSend", [this] { form_.ButtonChatSendClick(); }));
  column->addLayout(row);
  return box;
}

void MainWindow::LimitChatText(const QString& text) {
  QString fitting = TruncateUtf8(text, static_cast<int>(kChatMaxChars));
  if (fitting == text) return;
  auto* entry = qobject_cast<QLineEdit*>(sender());
  if (!entry) return;
  int cursor = std::min(entry->cursorPosition(), static_cast<int>(fitting.size()));
  entry->setText(fitting);
  entry->setCursorPosition(cursor);
  form_.EditChat.SetText(fitting.toStdString());
  for (EditBinding& b : edits_) {
    if (b.widget == entry) b.seen = b.box->Version();
  }
}

// ---------------------------------------------------------------------------------------------
// Behaviour

void MainWindow::RunCommand(const std::function<void()>& command) {
  try {
    command();
  } catch (const UserError& e) {
    QMessageBox::critical(this, windowTitle(), Q(e.what()));
  } catch (const std::exception& e) {
    QMessageBox::critical(this, windowTitle(), Q(e.what()));
  }
  Refresh(true);
}

void MainWindow::Tick() {
  ImageCanvas play(keyboardToPlay_->Image());
  ImageCanvas send(keyboardToSend_->Image());
  if (!Timer1Timer(form_, play, send)) return;
  form_.CheckRecording();
  keyboardToPlay_->update();
  keyboardToSend_->update();
  Refresh(false);
}

void MainWindow::Refresh(bool force) {
  for (EditBinding& b : edits_) {
    uint64_t version = b.box->Version();
    if (version == b.seen) continue;
    if (b.editable && !force && b.widget->hasFocus()) continue;
    b.seen = version;
    QString text = Q(b.box->Text());
    if (b.widget->text() != text) {
      int cursor = b.widget->cursorPosition();
      b.widget->setText(text);
      // A display shows the start of a long text; a box being typed in keeps its cursor.
      b.widget->setCursorPosition(b.widget->hasFocus() ? std::min(cursor, int(text.size())) : 0);
    }
  }
  if (volumeSlider_ != nullptr && volumeSlider_->value() != form_.TrackBarVolume.Position()) {
    QSignalBlocker quiet(volumeSlider_);
    volumeSlider_->setValue(form_.TrackBarVolume.Position());
    volumeSlider_->setToolTip(VolumeTip(volumeSlider_->value()));
  }
  if (uint64_t version = form_.EditMidiStatus.Version(); version != statusSeen_) {
    statusSeen_ = version;
    statusLine_->setText(Q(form_.EditMidiStatus.Text()));
  }
  for (MemoBinding& m : memos_) {
    for (const std::string& line : m.memo->LinesSince(m.cursor)) m.widget->appendPlainText(Q(line));
    uint32_t color = m.memo->Color();
    if (color != m.color) {
      m.color = color;
      // The model's default colour is the window's own text colour, whatever the theme.
      QPalette p = m.widget->palette();
      p.setColor(QPalette::Text,
                 color == kRgbDefaultText ? palette().color(QPalette::Text) : Rgb(color));
      m.widget->setPalette(p);
    }
  }
  for (CheckBinding& c : checks_) {
    if (c.widget->isChecked() != c.box->Checked()) {
      QSignalBlocker block(c.widget);
      c.widget->setChecked(c.box->Checked());
    }
  }
  for (ButtonBinding& b : buttons_) b.widget->setEnabled(b.button->Enabled());
  for (auto& [radio, button] : radios_) {
    if (radio->isChecked() != button->Checked() && button->Checked()) {
      QSignalBlocker block(radio);
      radio->setChecked(true);
    }
  }
  for (GaugeBar* g : gauges_) g->Refresh();
}

namespace {

// The window's place and size, kept with the settings of the model.
const char* const kGeometryKeys[] = {"window/x", "window/y", "window/width", "window/height"};
// A window must show at least this much of itself on some screen to be put back where it was.
constexpr int kVisibleEdge = 48;

}  // namespace

void MainWindow::RestoreSettings(QSettings& settings) {
  std::map<std::string, std::string> values;
  for (const QString& key : settings.allKeys()) {
    QVariant v = settings.value(key);
    // A hand-written list or number is no text of ours: that value keeps its default.
    if (v.typeId() == QMetaType::QString) values[key.toStdString()] = v.toString().toStdString();
  }
  RememberedPorts ports;
  if (app_ != nullptr) std::tie(ports.in, ports.out) = app_->Ports();
  const std::string outBefore = PortChoiceText(ports.out);
  LoadSettings(values, form_, ports);
  if (app_ != nullptr) {
    app_->SetPorts(ports.in, ports.out);
    inputChooser_->Select(ports.in);
    outputChooser_->Select(ports.out);
    // The output open since start-up is the default one; the remembered one replaces it.
    if (PortChoiceText(ports.out) != outBefore && form_.CheckBoxMidiPlay.Checked())
      form_.SetAudition(true);
  }

  int g[4];
  bool whole = true;
  for (int i = 0; i < 4; ++i) {
    auto it = values.find(kGeometryKeys[i]);
    auto n = it == values.end() ? std::nullopt : TryStrToInt(it->second);
    whole = whole && n.has_value();
    g[i] = n.value_or(0);
  }
  if (whole) {
    const QSize least = minimumSizeHint();
    QRect wanted(g[0], g[1], g[2], g[3]);
    const bool sized =
        g[2] >= least.width() && g[3] >= least.height() && g[2] <= 16384 && g[3] <= 16384;
    if (sized) {
      bool seen = false;
      for (QScreen* screen : QGuiApplication::screens()) {
        QRect shown = screen->availableGeometry().intersected(wanted);
        seen = seen || (shown.width() >= kVisibleEdge && shown.height() >= kVisibleEdge);
      }
      if (seen) {
        setGeometry(wanted);
      } else {
        resize(wanted.size());
      }
    }
  }
  Refresh(true);
}

void MainWindow::StoreSettings(QSettings& settings) {
  // The file may hold the passphrase: it is made readable by its owner alone before anything is
  // written, and QSettings keeps an existing file's permissions when it rewrites it.
  const QString path = settings.fileName();
  if (!path.isEmpty()) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.exists() && file.open(QIODevice::WriteOnly)) file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  }
  RememberedPorts ports;
  if (app_ != nullptr) std::tie(ports.in, ports.out) = app_->Ports();
  for (const SettingLine& line : SettingLines()) {
    // Without a running program there are no ports to remember.
    if (app_ == nullptr && std::string(line.key).rfind("midi/", 0) == 0) continue;
    auto text = line.save(form_, ports);
    if (text) {
      settings.setValue(line.key, Q(*text));
    } else {
      settings.remove(line.key);
    }
  }
  const QRect g = geometry();
  const int values[] = {g.x(), g.y(), g.width(), g.height()};
  for (int i = 0; i < 4; ++i) settings.setValue(kGeometryKeys[i], QString::number(values[i]));
  settings.sync();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The threads go on until the application shuts them down; the widgets stop reading now.
  timer_.stop();
  QWidget::closeEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
      for (auto& [edit, arrows] : stepEdits_) {
        if (edit == watched) {
          emit arrows->Stepped(key->key() == Qt::Key_Up ? +1 : -1);
          return true;
        }
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tandem
