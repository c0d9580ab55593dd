// The window driven like a user would, offscreen: clicks, typing, the timer tick.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <fstream>
#include <memory>

#include "app/Application.h"
#include "gui/ChatPanel.h"
#include "gui/MainWindow.h"
#include "gui/PortChooser.h"
#include "gui/Widgets.h"
#include "midi/MemoryMidi.h"
#include "model/FormCtrl.h"

namespace tandem {
namespace {

class CountingServices : public FormServices {
 public:
  void StartMidiRead() override { ++midiReads; }
  bool MidiReadAlive() override { return true; }
  void StartRtp() override { ++rtpStarts; }
  void StopRtp() override { ++rtpStops; }
  bool RtpAlive() override { return true; }
  void StartGenerator() override { ++generators; }
  int midiReads = 0, rtpStarts = 0, rtpStops = 0, generators = 0;
};

class WindowTest : public ::testing::Test {
 protected:
  WindowTest()
      : midi(std::make_shared<MemoryMidiSystem>()),
        form([m = midi](std::string& error) { return m->OpenOutput({}, error); }),
        window(form) {
    form.SetServices(&services);
    window.show();
  }

  template <typename T>
  T* Find(const char* name) {
    T* w = window.findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
  // Clicks near the left edge, where a check box's box and caption are whatever its width.
  void Click(const char* name) {
    QAbstractButton* b = Find<QAbstractButton>(name);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(std::min(8, b->width() / 2), b->height() / 2));
  }
  void StepClick(const char* arrows, bool up, int times = 1) {
    auto* a = Find<StepArrows>(arrows);
    for (int i = 0; i < times; ++i) QTest::mouseClick(up ? a->Up() : a->Down(), Qt::LeftButton);
  }
  QString LastLine(const char* memo) {
    return Find<QPlainTextEdit>(memo)->document()->lastBlock().text();
  }
  // Types any text, as an input method would (QTest::keyClicks knows ASCII only).
  static void Type(QWidget* w, const QString& text) {
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(w, &press);
      QApplication::sendEvent(w, &release);
    }
  }
  void Retype(const char* name, const QString& text) {
    QLineEdit* e = Edit(name);
    e->selectAll();
    QTest::keyClicks(e, text);
  }

  // Closes the next error dialog, keeping its text; fails the test if none appears.
  void ExpectErrorDialogDuring(const std::function<void()>& action, QString* text) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen = true;
      *text = box->text();
      EXPECT_EQ(box->icon(), QMessageBox::Critical);
      box->close();
    });
    action();
    EXPECT_TRUE(seen) << "no error dialog was shown";
  }

  std::shared_ptr<MemoryMidiSystem> midi;
  CountingServices services;
  TFormCtl form;
  MainWindow window;
};

TEST_F(WindowTest, ShowsEveryControlWithItsStartingText) {
  EXPECT_EQ(window.windowTitle(), "Tandem");
  const std::pair<const char*, const char*> edits[] = {
      {"EditByte1", "---"},
      {"EditByte2", "---"},
      {"EditByte3", "---"},
      {"EditCanal", "---"},
      {"EditMsgOut", "---"},
      {"EditNoteOut", "---"},
      {"EditVelociteOut", "---"},
      {"EditCanalOut", "---"},
      {"EditDestIp", "127.0.0.1"},
      {"EditPortLocal", "2000"},
      {"EditPortDistant", "3000"},
      {"EditStatutConnect", "----"},
      {"EditStatutReceive", "----"},
      {"EditNbrRec", "----"},
      {"EditNbrSend", "----"},
      {"EditDebit", "---"},
      {"EditNbrDropped", "0"},
      {"EditNbrRefused", "0"},
      {"EditPassphrase", ""},
      {"EditLink", "---"},
      {"EditSecurity", "---"},
      {"EditSpeed", "0"},
      {"EditBufferLocal", "0"},
      {"EditLocalCanal", "2"},
      {"EditTransposeLocalValue", "0"},
      {"EditMidiCanalOut", "1"},
      {"EditTransposeOut", "0"},
      {"EditBaseValue", "5"},
      {"EditMulValue", "2"},
      {"EditChat", ""},
      {"EditFactorADSR", "1"},
      {"EditAttack", "0"},
      {"EditRelease", "0"},
      {"EditProgram", "Grand Piano"},
  };
  for (auto [name, text] : edits) EXPECT_EQ(Edit(name)->text(), text) << name;
  const std::pair<const char*, const char*> buttons[] = {
      {"ButtonReadMidi", "Read MIDI"},          {"Button1", "MIDI Gen"},
      {"CheckBoxMidiPlay", "Audition"},         {"ButtonInvertPort", "Invert Port"},
      {"ButtonStartRTP", "Start RTP "},         {"CheckBoxAutomateLocalBuffer", "Auto"},
      {"ButtonSetLocalBuffer", "Set"},          {"CheckBoxLocalMIDI", "Local Channel"},
      {"CheckBoxTranspose", "Transpose"},       {"CheckBoxMidiCanalOut", "Receive Canal"},
      {"CheckBoxTransposeOut", "Transpose"},    {"RadioButtonNoTransm", "None"},
      {"RadioButtonInMsg", "In Normal Msg"},    {"RadioButtonCst", "Constant Rate"},
      {"RadioButtonVariable", "Variable Rate"}, {"ButtonChatSend", "Send"},
      {"CheckBoxAcceptAny", "Accept any"},
  };
  for (auto [name, text] : buttons) EXPECT_EQ(Find<QAbstractButton>(name)->text(), text) << name;
  EXPECT_TRUE(Find<QCheckBox>("CheckBoxMidiPlay")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>("CheckBoxMidiCanalOut")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("CheckBoxAutomateLocalBuffer")->isChecked());
  EXPECT_TRUE(Find<QRadioButton>("RadioButtonNoTransm")->isChecked());
  EXPECT_EQ(Find<QPlainTextEdit>("MemoChat")->toPlainText(), "Riro-ZUV-Eraz");
  EXPECT_EQ(Find<QPlainTextEdit>("MemoIpAddr")->toPlainText(), "Local IP information");
  EXPECT_EQ(Find<GaugeBar>("GaugeSpeedLocal")->ShownValue(), 500);  // until the first tick
  for (const char* name : {"EditProgram", "EditFactorADSR", "EditAttack", "EditRelease"})
    EXPECT_FALSE(Edit(name)->isEnabled()) << name;
  EXPECT_EQ(Edit("EditChat")->maxLength(), 98);
  // Fits a 1366x768 screen with room for a title bar and a panel.
  EXPECT_LE(window.sizeHint().width(), 1366);
  EXPECT_LE(window.sizeHint().height(), 700);
  EXPECT_LE(window.minimumSizeHint().height(), 700);
}

TEST_F(WindowTest, PassphraseIsMaskedAndAcceptAnyReachesTheModel) {
  QLineEdit* passphrase = Edit("EditPassphrase");
  EXPECT_EQ(passphrase->echoMode(), QLineEdit::Password);
  Type(passphrase, "s3cret words");
  EXPECT_EQ(form.EditPassphrase.Text(), "s3cret words");
  EXPECT_EQ(passphrase->displayText().indexOf("s3cret"), -1);
  Click("CheckBoxAcceptAny");
  EXPECT_TRUE(form.CheckBoxAcceptAny.Checked());
}

TEST_F(WindowTest, InvertPortSwapsThePortsBothWays) {
  Click("ButtonInvertPort");
  EXPECT_EQ(Edit("EditPortLocal")->text(), "3000");
  EXPECT_EQ(Edit("EditPortDistant")->text(), "2000");
  EXPECT_EQ(form.EditPortLocal.Text(), "3000");
  Retype("EditPortDistant", "x9");
  EXPECT_EQ(form.EditPortDistant.Text(), "x9") << "typing reaches the model";
  Click("ButtonInvertPort");
  EXPECT_EQ(Edit("EditPortLocal")->text(), "x9");
  EXPECT_EQ(Edit("EditPortDistant")->text(), "3000");
}

TEST_F(WindowTest, SetWithAWrongNumberShowsAnErrorAndKeepsTheBuffer) {
  form.LocalBuffer.store(40);
  Retype("EditBufferLocal", "abc");
  QString message;
  ExpectErrorDialogDuring([&] { Click("ButtonSetLocalBuffer"); }, &message);
  EXPECT_TRUE(message.contains("abc")) << message.toStdString();
  EXPECT_EQ(form.LocalBuffer.load(), 40);
  EXPECT_EQ(Edit("EditBufferLocal")->text(), "abc") << "the typed text stays";

  Retype("EditBufferLocal", "-5");
  Click("ButtonSetLocalBuffer");
  EXPECT_EQ(form.LocalBuffer.load(), -5);
}

TEST_F(WindowTest, StepArrowsStopAtTheirBoundsAndIgnoreTypedText) {
  StepClick("UpDownMidiCanalOut", false);
  EXPECT_EQ(Edit("EditMidiCanalOut")->text(), "1");
  Retype("EditMidiCanalOut", "7");
  StepClick("UpDownMidiCanalOut", true);
  EXPECT_EQ(Edit("EditMidiCanalOut")->text(), "2") << "the arrows keep their own position";
  StepClick("UpDownMidiCanalOut", true, 20);
  EXPECT_EQ(Edit("EditMidiCanalOut")->text(), "16");
  EXPECT_EQ(form.EditMidiCanalOut.Text(), "16");

  StepClick("UpDownTransposeLocalValue", false);
  EXPECT_EQ(Edit("EditTransposeLocalValue")->text(), "-1");
  StepClick("UpDownTransposeLocalValue", false, 12);
  EXPECT_EQ(Edit("EditTransposeLocalValue")->text(), "-12");

  StepClick("UpDownTransposeOut", true, 13);
  EXPECT_EQ(form.EditTransposeOut.Text(), "12");
  StepClick("UpDownLocalCanal", false, 3);
  EXPECT_EQ(form.EditLocalCanal.Text(), "1");

  // The arrow keys in the box step as the arrows do.
  QTest::keyClick(Edit("EditLocalCanal"), Qt::Key_Up);
  EXPECT_EQ(Edit("EditLocalCanal")->text(), "2");
}

TEST_F(WindowTest, AutoDisablesSetAndShowsTheComputedBuffer) {
  Click("CheckBoxAutomateLocalBuffer");
  EXPECT_TRUE(form.CheckBoxAutomateLocalBuffer.Checked());
  EXPECT_FALSE(Find<QPushButton>("ButtonSetLocalBuffer")->isEnabled());
  form.LocalBuffer.store(250);
  window.Tick();
  EXPECT_EQ(Edit("EditBufferLocal")->text(), "250");
  EXPECT_EQ(Find<GaugeBar>("GaugeBufferLocal")->ShownValue(), 120);

  Click("CheckBoxAutomateLocalBuffer");
  EXPECT_TRUE(Find<QPushButton>("ButtonSetLocalBuffer")->isEnabled());
  EXPECT_EQ(form.LocalBuffer.load(), 250) << "keeps the last automatic value";
}

TEST_F(WindowTest, EnterSendsTheChatLine) {
  QLineEdit* chat = Edit("EditChat");
  QTest::keyClicks(chat, "hello there");
  QTest::keyClick(chat, Qt::Key_Return);
  EXPECT_EQ(LastLine("MemoChat"), "I : hello there");
  EXPECT_EQ(chat->text(), "");
  ASSERT_EQ(form.OutgoingQueue.Count(), 1);
  RecordPtr record = form.OutgoingQueue.TakeFirstIf([](const EventRecord&) { return true; });
  ASSERT_TRUE(record);
  EXPECT_EQ(record->kind, EventChat);
  EXPECT_STREQ(record->text.data(), "hello there");
  EXPECT_EQ(Find<QPlainTextEdit>("MemoChat")->palette().color(QPalette::Text), QColor(Qt::blue));

  // An empty line is sent too, and the Send button does the same.
  Click("ButtonChatSend");
  EXPECT_EQ(LastLine("MemoChat"), "I : ");
  EXPECT_EQ(form.OutgoingQueue.Count(), 1);
}

TEST_F(WindowTest, ChatEntryHoldsNinetyEightBytesWithoutSplittingACharacter) {
  QLineEdit* chat = Edit("EditChat");
  QTest::keyClicks(chat, QString(120, 'a'));
  EXPECT_EQ(chat->text().size(), 98);
  chat->clear();
  Type(chat, QString(60, QChar(0xE9)));  // é: 2 bytes in UTF-8
  EXPECT_EQ(chat->text(), QString(49, QChar(0xE9)));
  EXPECT_EQ(form.EditChat.Text().size(), 98u);
  QTest::keyClick(chat, Qt::Key_Return);
  RecordPtr record = form.OutgoingQueue.TakeFirstIf([](const EventRecord&) { return true; });
  ASSERT_TRUE(record);
  EXPECT_EQ(QString::fromUtf8(record->text.data()), QString(49, QChar(0xE9)));
}

TEST(TruncateUtf8, KeepsWholeCharactersOnly) {
  EXPECT_EQ(TruncateUtf8("abc", 98), "abc");
  EXPECT_EQ(TruncateUtf8(QString::fromUtf8("a\xC3\xA9"
                                           "b"),
                         2),
            "a");
  QString emoji = QString::fromUtf8("\xF0\x9F\x8E\xB9\xF0\x9F\x8E\xB9");  // two 4-byte characters
  EXPECT_EQ(TruncateUtf8(emoji, 7).size(), 2) << "one character: both surrogate halves";
  EXPECT_EQ(TruncateUtf8(emoji, 3), "");
}

TEST_F(WindowTest, TickBringsThreadWrittenValuesOnScreen) {
  form.EditStatutConnect.SetText("envoi correct");
  form.EditByte2.SetText("60");
  form.MemoChat.Append("you : hi");
  form.MemoIpAddr.Append("host 127.0.0.1");
  form.LocalSpeed.store(5);
  form.ReceptionBuffer.store(80);
  form.KeysSent[60].store(1);
  form.KeysPlayed[61].store(1);
  rtp::LinkFigures link;
  link.haveReport = link.haveRtt = true;
  link.rttMs = 0.4;
  form.PublishLink(link);
  window.Tick();
  EXPECT_EQ(Edit("EditStatutConnect")->text(), "envoi correct");
  EXPECT_EQ(Edit("EditLink")->text(), "RTT 0.4 ms · lost 0.0 % · jitter 0.0 ms");
  EXPECT_EQ(Edit("EditByte2")->text(), "60");
  EXPECT_EQ(LastLine("MemoChat"), "you : hi");
  EXPECT_EQ(LastLine("MemoIpAddr"), "host 127.0.0.1");
  EXPECT_EQ(Edit("EditSpeed")->text(), "300");
  EXPECT_EQ(Find<GaugeBar>("GaugeSpeedLocal")->ShownValue(), 300);
  EXPECT_EQ(Find<GaugeBar>("GaugeBufferRemote")->ShownValue(), 80);
  QImage sent = Find<KeyboardPicture>("ImageKeyboardToSend")->Image();
  QImage played = Find<KeyboardPicture>("ImageKeyboardToPlay")->Image();
  EXPECT_EQ(sent.pixel(158, 80), qRgb(255, 0, 0));
  EXPECT_EQ(played.pixel(158, 80), qRgb(255, 255, 255));
  EXPECT_EQ(played.pixel(165, 30), qRgb(255, 0, 0));
}

TEST_F(WindowTest, TypingIsNotOverwrittenByARefresh) {
  Click("CheckBoxAutomateLocalBuffer");
  form.LocalBuffer.store(90);
  QLineEdit* buffer = Edit("EditBufferLocal");
  QApplication::setActiveWindow(&window);
  buffer->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return buffer->hasFocus(); }, 2000));
  buffer->selectAll();
  QTest::keyClicks(buffer, "12");
  window.Tick();
  EXPECT_EQ(buffer->text(), "12") << "the box being edited keeps what is typed";
  Find<QLineEdit>("EditChat")->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !buffer->hasFocus(); }, 2000));
  window.Tick();
  EXPECT_EQ(buffer->text(), "90") << "once left, it shows the model again";
}

TEST_F(WindowTest, CommandsReachTheServicesAndTheModel) {
  Click("ButtonReadMidi");
  Click("Button1");
  Click("Button1");
  Click("ButtonStartRTP");
  Click("ButtonStartRTP");
  EXPECT_EQ(services.midiReads, 1);
  EXPECT_EQ(services.generators, 2);
  EXPECT_EQ(services.rtpStarts, 1);
  EXPECT_EQ(services.rtpStops, 1);
  EXPECT_EQ(Find<QPushButton>("ButtonStartRTP")->text(), "Start RTP ");

  Click("RadioButtonVariable");
  EXPECT_EQ(form.RadioGroup1.Selected(), RetransVariable);
  Click("RadioButtonInMsg");
  EXPECT_EQ(form.RadioGroup1.Selected(), RetransInMsg);
  EXPECT_FALSE(Find<QRadioButton>("RadioButtonVariable")->isChecked());

  Click("CheckBoxLocalMIDI");
  Click("CheckBoxMidiCanalOut");
  Click("CheckBoxTransposeOut");
  EXPECT_TRUE(form.CheckBoxLocalMIDI.Checked());
  EXPECT_FALSE(form.CheckBoxMidiCanalOut.Checked());
  EXPECT_TRUE(form.CheckBoxTransposeOut.Checked());

  Retype("EditBaseValue", "12");
  Retype("EditDestIp", "127.0.0.2");
  EXPECT_EQ(form.EditBaseValue.Text(), "12");
  EXPECT_EQ(form.EditDestIp.Text(), "127.0.0.2");
}

TEST_F(WindowTest, AuditionOpensAndClosesTheOutput) {
  ASSERT_TRUE(form.MidiOutHandle.IsOpen());
  Click("CheckBoxMidiPlay");
  EXPECT_FALSE(form.CheckBoxMidiPlay.Checked());
  EXPECT_FALSE(form.MidiOutHandle.IsOpen());
  Click("CheckBoxMidiPlay");
  EXPECT_TRUE(form.MidiOutHandle.IsOpen());
}

TEST(WindowAudition, AFailedOpenIsShownWholeInTheStatusLine) {
  const std::string why =
      "no output port (pulseaudio: connection refused; alsa: no such device; jack: no server "
      "running; oss: /dev/dsp missing)";
  TFormCtl form([&](std::string& error) -> std::unique_ptr<MidiOutPort> {
    error = why;
    return nullptr;
  });
  MainWindow window(form);
  window.show();
  auto* status = window.findChild<QLabel*>("EditMidiStatus");
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(status->text().endsWith(QString::fromStdString(why))) << status->text().toStdString();
  // Wider than the window: it wraps instead of being cut.
  EXPECT_TRUE(status->wordWrap());
  EXPECT_LE(window.width(), 1366);
}

// The running program's window over an in-memory MIDI system; its output starts as none.
struct ProgramWindow {
  explicit ProgramWindow(std::shared_ptr<MemoryMidiSystem> midi) {
    AppConfig config;
    config.midi = std::move(midi);
    config.midiOut = PortChoice::Parse("none");
    app = std::make_unique<Application>(config);
    window = std::make_unique<MainWindow>(*app);
  }
  ~ProgramWindow() {
    window.reset();
    app->Shutdown();
  }
  TFormCtl& Form() { return app->Form(); }
  std::unique_ptr<Application> app;
  std::unique_ptr<MainWindow> window;
};

TEST(WindowSettings, WrittenByOneWindowAreRestoredByTheNextAndGarbageGivesDefaults) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
  auto midi = std::make_shared<MemoryMidiSystem>();
  QRect left;
  {
    ProgramWindow first(midi);
    TFormCtl& f = first.Form();
    f.EditDestIp.SetText("192.168.1.20");
    f.EditPortLocal.SetText("2010");
    f.EditPortDistant.SetText("3010");
    f.SetRetransmission(RetransVariable);
    f.EditBaseValue.SetText("7");
    f.EditMulValue.SetText("3");
    f.EditBufferLocal.SetText("40");
    f.ButtonSetLocalBufferClick();
    f.SetAutomateLocalBuffer(true);
    f.CheckBoxLocalMIDI.SetChecked(true);
    f.UpDownLocalCanalChanging(+3);
    f.CheckBoxTranspose.SetChecked(true);
    f.UpDownTransposeLocalValueChanging(-3);
    f.CheckBoxMidiCanalOut.SetChecked(false);
    f.UpDownMidiCanalOutChanging(+8);
    f.CheckBoxTransposeOut.SetChecked(true);
    f.EditTransposeOut.SetText("15");  // typed, beyond the arrows' reach
    f.CheckBoxAcceptAny.SetChecked(true);
    f.SetVolume(150);
    f.EditPassphrase.SetText("not to be kept");
    first.app->SetPorts(PortChoice::Parse("memory-in"), PortChoice::Parse("memory-out"));
    first.window->setGeometry(
        QRect(QPoint(12, 24), first.window->minimumSizeHint() + QSize(30, 20)));
    left = first.window->geometry();
    QSettings settings("Tandem", "Tandem");
    first.window->StoreSettings(settings);
  }
  ASSERT_TRUE(QFile::exists(home.path() + "/Tandem/Tandem.conf"));
  {
    QFile conf(home.path() + "/Tandem/Tandem.conf");
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    EXPECT_FALSE(conf.readAll().contains("not to be kept"));
  }

  {
    ProgramWindow next(midi);
    QSettings settings("Tandem", "Tandem");
    next.window->RestoreSettings(settings);
    TFormCtl& f = next.Form();
    EXPECT_EQ(f.EditDestIp.Text(), "192.168.1.20");
    EXPECT_EQ(f.EditPortLocal.Text(), "2010");
    EXPECT_EQ(f.EditPortDistant.Text(), "3010");
    EXPECT_TRUE(f.RadioButtonVariable.Checked());
    EXPECT_EQ(f.EditBaseValue.Text(), "7");
    EXPECT_EQ(f.EditMulValue.Text(), "3");
    EXPECT_EQ(f.EditBufferLocal.Text(), "40");
    EXPECT_EQ(f.LocalBuffer.load(), 40);
    EXPECT_TRUE(f.CheckBoxAutomateLocalBuffer.Checked());
    EXPECT_FALSE(f.ButtonSetLocalBuffer.Enabled());
    EXPECT_TRUE(f.CheckBoxLocalMIDI.Checked());
    EXPECT_EQ(f.EditLocalCanal.Text(), "5");
    EXPECT_TRUE(f.CheckBoxTranspose.Checked());
    EXPECT_EQ(f.EditTransposeLocalValue.Text(), "-3");
    EXPECT_FALSE(f.CheckBoxMidiCanalOut.Checked());
    EXPECT_EQ(f.EditMidiCanalOut.Text(), "9");
    EXPECT_TRUE(f.CheckBoxTransposeOut.Checked());
    EXPECT_EQ(f.EditTransposeOut.Text(), "15");
    EXPECT_TRUE(f.CheckBoxAcceptAny.Checked());
    EXPECT_EQ(f.TrackBarVolume.Position(), 150);
    EXPECT_EQ(f.EditPassphrase.Text(), "");
    // The arrows go on from the restored values, not from their defaults.
    f.UpDownLocalCanalChanging(+1);
    EXPECT_EQ(f.EditLocalCanal.Text(), "6");
    f.UpDownMidiCanalOutChanging(-1);
    EXPECT_EQ(f.EditMidiCanalOut.Text(), "8");
    f.UpDownTransposeLocalValueChanging(+1);
    EXPECT_EQ(f.EditTransposeLocalValue.Text(), "-2");
    // The remembered ports are chosen, shown, and the output is the one open.
    auto [in, out] = next.app->Ports();
    EXPECT_EQ(in.name, "memory-in");
    EXPECT_EQ(out.name, "memory-out");
    EXPECT_EQ(next.window->findChild<PortChooser*>("ComboMidiOut")->Choice().name, "memory-out");
    EXPECT_TRUE(f.MidiOutHandle.IsOpen());
    EXPECT_EQ(next.window->geometry(), left);
    // What the window shows is the model's.
    EXPECT_EQ(next.window->findChild<QLineEdit*>("EditDestIp")->text(), "192.168.1.20");
    EXPECT_TRUE(next.window->findChild<QRadioButton*>("RadioButtonVariable")->isChecked());
  }

  // "Remember" keeps the passphrase, in a file only its owner can read.
  {
    ProgramWindow first(midi);
    first.Form().EditPassphrase.SetText("kept on purpose");
    first.Form().CheckBoxRememberPassphrase.SetChecked(true);
    QSettings settings("Tandem", "Tandem");
    first.window->StoreSettings(settings);
  }
  const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther |
                      QFileDevice::WriteOther;
  EXPECT_FALSE(QFile::permissions(home.path() + "/Tandem/Tandem.conf") & others);
  {
    ProgramWindow next(midi);
    QSettings settings("Tandem", "Tandem");
    next.window->RestoreSettings(settings);
    EXPECT_EQ(next.Form().EditPassphrase.Text(), "kept on purpose");
    EXPECT_TRUE(next.Form().CheckBoxRememberPassphrase.Checked());
  }

  // Damaged and hand-edited: every value spoilt, some lines no INI at all.
  {
    std::ofstream garbage((home.path() + "/Tandem/Tandem.conf").toStdString(), std::ios::trunc);
    garbage << "\x01\xff\xfe no such line\n[rtp\n=\n[rtp]\ndest=\nlistenPort=70000\n"
               "sendPort=abc\n[retransmission]\nmode=sometimes\nbase=1e3\nmultiplier=2, 3\n"
               "[synth]\nvolume=loud\n[buffer]\nlocal=--5\nauto=maybe\n[local]\nchannelOn="
               "1\nchannel=17\n"
               "transpose=-99\n[reception]\nchannel=0\ntranspose=400\n[midi]\n"
               "input=\"a\\x1b[2Jb\"\n[window]\nx=100000\ny=-100000\nwidth=-5\n"
               "height=99999999999\n";
  }
  ProgramWindow fresh(midi);
  ProgramWindow spoilt(midi);
  QSettings settings("Tandem", "Tandem");
  spoilt.window->RestoreSettings(settings);
  TFormCtl& f = spoilt.Form();
  TFormCtl& d = fresh.Form();
  for (auto box : {&TFormCtl::EditDestIp, &TFormCtl::EditPortLocal, &TFormCtl::EditPortDistant,
                   &TFormCtl::EditBaseValue, &TFormCtl::EditMulValue, &TFormCtl::EditBufferLocal,
                   &TFormCtl::EditLocalCanal, &TFormCtl::EditTransposeLocalValue,
                   &TFormCtl::EditMidiCanalOut, &TFormCtl::EditTransposeOut})
    EXPECT_EQ((f.*box).Text(), (d.*box).Text());
  for (auto box : {&TFormCtl::CheckBoxAutomateLocalBuffer, &TFormCtl::CheckBoxLocalMIDI,
                   &TFormCtl::CheckBoxMidiCanalOut, &TFormCtl::CheckBoxTransposeOut,
                   &TFormCtl::CheckBoxAcceptAny})
    EXPECT_EQ((f.*box).Checked(), (d.*box).Checked());
  EXPECT_EQ(f.RadioGroup1.Selected(), d.RadioGroup1.Selected());
  EXPECT_EQ(f.TrackBarVolume.Position(), d.TrackBarVolume.Position());
  EXPECT_EQ(f.LocalBuffer.load(), d.LocalBuffer.load());
  EXPECT_EQ(spoilt.app->Ports().first.kind, PortChoice::Kind::Default);
  EXPECT_EQ(spoilt.window->geometry(), fresh.window->geometry());
}

}  // namespace
}  // namespace tandem
