#include "gui/MainWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QSettings>
#include <QVBoxLayout>
#include <map>

#include "app/Application.h"
#include "gui/ChatPanel.h"
#include "gui/ImageCanvas.h"
#include "gui/LocalPanel.h"
#include "gui/MidiGroup.h"
#include "gui/ReceptionPanel.h"
#include "gui/RetransmissionGroup.h"
#include "gui/RtpGroup.h"
#include "gui/Widgets.h"
#include "model/Settings.h"
#include "model/StatusTimer.h"

namespace tandem {

namespace {

// The window's place and size, kept with the settings of the model.
const char* const kGeometryKeys[] = {"window/x", "window/y", "window/width", "window/height"};
// A window must show at least this much of itself on some screen to be put back where it was.
constexpr int kVisibleEdge = 48;

}  // namespace

MainWindow::MainWindow(TFormCtl& form, QWidget* parent) : MainWindow(form, nullptr, parent) {}

MainWindow::MainWindow(Application& app, QWidget* parent) : MainWindow(app.Form(), &app, parent) {}

MainWindow::MainWindow(TFormCtl& form, Application* app, QWidget* parent)
    : QWidget(parent), form_(form), app_(app), binder_(form, *this) {
  setObjectName("FormCtl");
  setWindowTitle("Tandem");

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(8, 8, 8, 6);
  root->setSpacing(6);

  auto* top = new QHBoxLayout;
  midi_ = new MidiGroup(binder_, app);
  top->addWidget(midi_);
  top->addWidget(new RtpGroup(binder_), 1);
  root->addLayout(top);

  auto* middle = new QHBoxLayout;
  auto* panels = new QVBoxLayout;
  local_ = new LocalPanel(binder_);
  reception_ = new ReceptionPanel(binder_);
  panels->addWidget(local_);
  panels->addWidget(reception_);
  middle->addLayout(panels, 1);
  middle->addWidget(new RetransmissionGroup(binder_), 0);
  root->addLayout(middle);

  root->addWidget(new ChatPanel(binder_), 1);
  root->addWidget(BuildStatusLine());

  binder_.Refresh(true);
  timer_.setInterval(kTimerIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &MainWindow::Tick);
  timer_.start();
}

MainWindow::~MainWindow() {
  timer_.stop();
}

QLabel* MainWindow::BuildStatusLine() {
  // The status line wraps: its messages (why an output could not open, with each driver's
  // reason) are longer than the window is wide.
  auto* status = new QLabel;
  status->setObjectName("EditMidiStatus");
  status->setWordWrap(true);
  status->setTextFormat(Qt::PlainText);
  status->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // Room for three lines from the start: a label that grows later squeezes the rest of the
  // window instead of growing it.
  status->setFixedHeight(3 * status->fontMetrics().lineSpacing() + 4);
  status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  binder_.OnRefresh([this, status, seen = UINT64_MAX]() mutable {
    if (uint64_t version = form_.EditMidiStatus.Version(); version != seen) {
      seen = version;
      status->setText(QText(form_.EditMidiStatus.Text()));
    }
  });
  return status;
}

void MainWindow::Tick() {
  KeyboardPicture& toPlay = reception_->Keyboard();
  KeyboardPicture& toSend = local_->Keyboard();
  ImageCanvas play(toPlay.Image());
  ImageCanvas send(toSend.Image());
  if (!Timer1Timer(form_, play, send)) return;
  form_.CheckRecording();
  if (app_) app_->PollNearby();
  toPlay.update();
  toSend.update();
  binder_.Refresh(false);
}

void MainWindow::RestoreSettings(QSettings& settings) {
  std::map<std::string, std::string> values;
  for (const QString& key : settings.allKeys()) {
    QVariant v = settings.value(key);
    // A hand-written list or number is no text of ours: that value keeps its default.
    if (v.typeId() == QMetaType::QString) values[key.toStdString()] = v.toString().toStdString();
  }
  RememberedPorts ports = midi_->Ports();
  LoadSettings(values, form_, ports);
  midi_->RestorePorts(ports);
  RestoreGeometry(values);
  binder_.Refresh(true);
}

void MainWindow::RestoreGeometry(const std::map<std::string, std::string>& values) {
  int g[4];
  for (int i = 0; i < 4; ++i) {
    auto it = values.find(kGeometryKeys[i]);
    auto n = it == values.end() ? std::nullopt : TryStrToInt(it->second);
    if (!n) return;
    g[i] = *n;
  }
  const QSize least = minimumSizeHint();
  if (g[2] < least.width() || g[3] < least.height() || g[2] > 16384 || g[3] > 16384) return;
  const QRect wanted(g[0], g[1], g[2], g[3]);
  for (QScreen* screen : QGuiApplication::screens()) {
    QRect shown = screen->availableGeometry().intersected(wanted);
    if (shown.width() >= kVisibleEdge && shown.height() >= kVisibleEdge) {
      setGeometry(wanted);
      return;
    }
  }
  resize(wanted.size());
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
  RememberedPorts ports = midi_->Ports();
  for (const SettingLine& line : SettingLines()) {
    // Without a running program there are no ports to remember.
    if (!midi_->HasPorts() && std::string(line.key).rfind("midi/", 0) == 0) continue;
    auto text = line.save(form_, ports);
    if (text) {
      settings.setValue(line.key, QText(*text));
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

}  // namespace tandem
