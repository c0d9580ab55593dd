#include "model/FormCtrl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

// Records what the commands ask of the application, and what the model looked like then.
class FakeServices : public FormServices {
 public:
  explicit FakeServices(TFormCtl& form) : form_(form) {}
  void StartMidiRead() override {
    ++midiReadStarts;
    readFlagAtStart = form_.ReadMidiRunning.load();
  }
  bool MidiReadAlive() override { return midiReadAlive; }
  void StartRtp() override {
    ++rtpStarts;
    rtpFlagAtStart = form_.RtpActive.load();
  }
  void StopRtp() override { ++rtpStops; }
  bool RtpAlive() override { return rtpAlive; }
  void StartGenerator() override { ++generatorStarts; }

  int midiReadStarts = 0, rtpStarts = 0, rtpStops = 0, generatorStarts = 0;
  bool midiReadAlive = true, rtpAlive = true;
  bool readFlagAtStart = false, rtpFlagAtStart = false;

 private:
  TFormCtl& form_;
};

// A model whose "Audition" output is the in-memory MIDI system; counts how often it was opened.
class FormTest : public ::testing::Test {
 protected:
  FormTest()
      : midi(std::make_shared<MemoryMidiSystem>()),
        form([this](std::string& error) {
          ++opens;
          return midi->OpenOutput(PortChoice{}, error);
        }),
        services(form) {
    form.SetServices(&services);
  }

  std::shared_ptr<MemoryMidiSystem> midi;
  int opens = 0;
  TFormCtl form;
  FakeServices services;
};

TEST_F(FormTest, StartStateOfEveryControl) {
  const std::vector<std::pair<const EditBox*, const char*>> edits = {
      {&form.EditByte1, "---"},
      {&form.EditByte2, "---"},
      {&form.EditByte3, "---"},
      {&form.EditCanal, "---"},
      {&form.EditMsgOut, "---"},
      {&form.EditNoteOut, "---"},
      {&form.EditVelociteOut, "---"},
      {&form.EditCanalOut, "---"},
      {&form.EditDestIp, "127.0.0.1"},
      {&form.EditPortLocal, "2000"},
      {&form.EditPortDistant, "3000"},
      {&form.EditStatutConnect, "----"},
      {&form.EditStatutReceive, "----"},
      {&form.EditNbrRec, "----"},
      {&form.EditNbrSend, "----"},
      {&form.EditDebit, "---"},
      {&form.EditSpeed, "0"},
      {&form.EditBufferLocal, "0"},
      {&form.EditLocalCanal, "2"},
      {&form.EditTransposeLocalValue, "0"},
      {&form.EditMidiCanalOut, "1"},
      {&form.EditTransposeOut, "0"},
      {&form.EditBaseValue, "5"},
      {&form.EditMulValue, "2"},
      {&form.EditChat, ""},
      {&form.EditFactorADSR, "1"},
      {&form.EditAttack, "0"},
      {&form.EditRelease, "0"},
      {&form.EditProgram, "Grand Piano"},
  };
  for (size_t i = 0; i < edits.size(); ++i) {
    EXPECT_EQ(edits[i].first->Text(), edits[i].second) << "edit box #" << i;
  }
  EXPECT_EQ(form.EditChat.MaxLength(), 98u);

  const std::vector<std::tuple<const CheckBox*, const char*, bool>> checks = {
      {&form.CheckBoxMidiPlay, "Audition", true},
      {&form.CheckBoxAutomateLocalBuffer, "Auto", false},
      {&form.CheckBoxLocalMIDI, "Local Channel", false},
      {&form.CheckBoxTranspose, "Transpose", false},
      {&form.CheckBoxMidiCanalOut, "Receive Canal", true},
      {&form.CheckBoxTransposeOut, "Transpose", false},
  };
  for (const auto& [box, caption, checked] : checks) {
    EXPECT_EQ(box->Caption(), caption);
    EXPECT_EQ(box->Checked(), checked) << caption;
  }

  const std::vector<std::pair<const Button*, const char*>> buttons = {
      {&form.ButtonReadMidi, "Read MIDI"},     {&form.Button1, "MIDI Gen"},
      {&form.ButtonInvertPort, "Invert Port"}, {&form.ButtonStartRTP, "Start RTP "},
      {&form.ButtonSetLocalBuffer, "Set"},     {&form.ButtonChatSend, "Send"},
  };
  for (const auto& [button, caption] : buttons) {
    EXPECT_EQ(button->Caption(), caption);
    EXPECT_TRUE(button->Enabled()) << caption;
  }

  EXPECT_EQ(form.GaugeSpeedLocal.MaxValue(), 1000);
  EXPECT_EQ(form.GaugeSpeedLocal.Progress(), 500);
  EXPECT_EQ(form.GaugeBufferLocal.MaxValue(), 120);
  EXPECT_EQ(form.GaugeBufferLocal.Progress(), 0);
  EXPECT_EQ(form.GaugeBufferRemote.MaxValue(), 120);
  EXPECT_EQ(form.GaugeBufferRemote.Progress(), 0);

  const std::vector<std::tuple<const UpDown*, int, int, int>> steps = {
      {&form.UpDownLocalCanal, 1, 16, 2},
      {&form.UpDownTransposeLocalValue, -12, 12, 0},
      {&form.UpDownMidiCanalOut, 1, 16, 1},
      {&form.UpDownTransposeOut, -12, 12, 0},
  };
  for (const auto& [upDown, min, max, position] : steps) {
    EXPECT_EQ(upDown->Min(), min);
    EXPECT_EQ(upDown->Max(), max);
    EXPECT_EQ(upDown->Position(), position);
  }

  EXPECT_TRUE(form.RadioButtonNoTransm.Checked());
  EXPECT_FALSE(form.RadioButtonInMsg.Checked());
  EXPECT_FALSE(form.RadioButtonCst.Checked());
  EXPECT_FALSE(form.RadioButtonVariable.Checked());
  EXPECT_EQ(form.RadioButtonNoTransm.Caption(), "None");
  EXPECT_EQ(form.RadioButtonInMsg.Caption(), "In Normal Msg");
  EXPECT_EQ(form.RadioButtonCst.Caption(), "Constant Rate");
  EXPECT_EQ(form.RadioButtonVariable.Caption(), "Variable Rate");

  EXPECT_EQ(form.MemoIpAddr.Lines(), std::vector<std::string>{"Local IP information"});
  EXPECT_EQ(form.MemoChat.Lines(), std::vector<std::string>{"Riro-ZUV-Eraz"});
  EXPECT_EQ(form.MemoChat.Color(), kRgbDefaultText);
}

TEST_F(FormTest, StartStateOfTheSharedValues) {
  for (int k = 0; k < 128; ++k) {
    EXPECT_EQ(form.KeysPlayed[k].load(), 0) << k;
    EXPECT_EQ(form.KeysSent[k].load(), 0) << k;
  }
  for (auto* q : {&form.OutgoingQueue, &form.SendQueue, &form.ReceiveQueue, &form.LocalQueue}) {
    EXPECT_EQ(q->Count(), 0);
  }
  EXPECT_EQ(form.LocalSpeed.load(), 0.0f);
  EXPECT_EQ(form.LocalBuffer.load(), 0);
  EXPECT_EQ(form.ReceptionBuffer.load(), 0);
  EXPECT_FALSE(form.ReadMidiRunning.load());
  EXPECT_FALSE(form.RtpActive.load());

  // "Audition" shows checked, and what it shows is what plays: the output is open.
  EXPECT_TRUE(form.CheckBoxMidiPlay.Checked());
  EXPECT_TRUE(form.MidiOutHandle.IsOpen());
  EXPECT_EQ(opens, 1);
  EXPECT_TRUE(form.MidiOutHandle.ShortMsg(0x503C90));
  auto sent = midi->Output()->Messages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{0x90, 0x3C, 0x50}));
}

TEST(FormConstruction, AnOutputThatCannotOpenIsReportedNotFatal) {
  auto none = std::make_shared<NullMidiSystem>("no device here");
  TFormCtl form([none](std::string& error) { return none->OpenOutput(PortChoice{}, error); });
  EXPECT_TRUE(form.CheckBoxMidiPlay.Checked());
  EXPECT_FALSE(form.MidiOutHandle.IsOpen());
  EXPECT_FALSE(form.MidiOutHandle.ShortMsg(0x503C90)) << "a send to no device fails quietly";
  EXPECT_NE(form.EditMidiStatus.Text().find("no device here"), std::string::npos);

  TFormCtl bare;  // no output configured at all
  EXPECT_FALSE(bare.MidiOutHandle.IsOpen());
  EXPECT_FALSE(bare.EditMidiStatus.Text().empty());
}

TEST_F(FormTest, AuditionOpensAndClosesTheOutput) {
  form.SetAudition(false);
  EXPECT_FALSE(form.CheckBoxMidiPlay.Checked());
  EXPECT_FALSE(form.MidiOutHandle.IsOpen());
  EXPECT_FALSE(form.MidiOutHandle.ShortMsg(0x403C90));
  EXPECT_EQ(midi->Output()->Count(), 0u) << "nothing plays while Audition is off";

  form.SetAudition(false);  // closing what is closed is harmless
  EXPECT_EQ(opens, 1);

  form.SetAudition(true);
  EXPECT_TRUE(form.MidiOutHandle.IsOpen());
  EXPECT_EQ(opens, 2);
  EXPECT_TRUE(form.MidiOutHandle.ShortMsg(0x003C80));
  EXPECT_EQ(midi->Output()->Count(), 1u);
}

// A synthesizer's port as the model sees it: it only remembers the level it was given.
class LevelPort : public MidiOutPort {
 public:
  explicit LevelPort(std::shared_ptr<int> level) : level_(std::move(level)) {}
  bool Send(const uint8_t*, size_t) override { return true; }
  void SetVolume(int percent) override { *level_ = percent; }

 private:
  std::shared_ptr<int> level_;
};

TEST(FormVolume, ReachesTheOpenOutputAndEveryOneOpenedLater) {
  std::vector<std::shared_ptr<int>> levels;
  TFormCtl form([&](std::string&) {
    levels.push_back(std::make_shared<int>(-1));
    return std::make_unique<LevelPort>(levels.back());
  });
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(form.TrackBarVolume.Position(), kDefaultVolume);
  EXPECT_EQ(*levels[0], -1) << "a port starts at its usual level, untouched";

  form.SetVolume(40);
  EXPECT_EQ(*levels[0], 40);
  form.SetVolume(kMaxVolume + 50);  // beyond the slider: its end
  EXPECT_EQ(form.TrackBarVolume.Position(), kMaxVolume);
  EXPECT_EQ(*levels[0], kMaxVolume);

  form.SetVolume(-3);
  form.SetAudition(false);
  form.SetAudition(true);
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(*levels[1], 0) << "the next output opens at the chosen level";
}

// Counts sends in progress; a port closed while one is under way counts an overlap.
struct SendProbe {
  std::atomic<int> inSend{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> sends{0};
};

class ProbePort : public MidiOutPort {
 public:
  explicit ProbePort(std::shared_ptr<SendProbe> probe) : probe_(std::move(probe)) {}
  ~ProbePort() override {
    if (probe_->inSend.load() != 0) probe_->overlaps.fetch_add(1);
  }
  bool Send(const uint8_t*, size_t) override {
    probe_->inSend.fetch_add(1);
    probe_->sends.fetch_add(1);
    std::this_thread::yield();
    probe_->inSend.fetch_sub(1);
    return true;
  }

 private:
  std::shared_ptr<SendProbe> probe_;
};

TEST(FormConcurrency, AuditionNeverClosesTheOutputUnderASend) {
  auto probe = std::make_shared<SendProbe>();
  TFormCtl form([probe](std::string&) { return std::make_unique<ProbePort>(probe); });
  std::atomic<bool> done{false};
  std::thread player([&] {
    while (!done.load()) form.MidiOutHandle.ShortMsg(0x403C90);
  });
  // Toggle until the player has sent a good number of messages, whatever the scheduling.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0;
       i < 400 || (probe->sends.load() < 2000 && std::chrono::steady_clock::now() < deadline);
       ++i) {
    form.SetAudition(i % 2 == 1);
  }
  done.store(true);
  player.join();
  EXPECT_EQ(probe->overlaps.load(), 0);
  EXPECT_GE(probe->sends.load(), 2000);
}

TEST_F(FormTest, InvertPortSwapsTextsAsTheyStand) {
  form.ButtonInvertPortClick();
  EXPECT_EQ(form.EditPortLocal.Text(), "3000");
  EXPECT_EQ(form.EditPortDistant.Text(), "2000");
  form.ButtonInvertPortClick();
  EXPECT_EQ(form.EditPortLocal.Text(), "2000");
  EXPECT_EQ(form.EditPortDistant.Text(), "3000");

  form.EditPortLocal.SetText("abc");
  form.EditPortDistant.SetText("");
  form.ButtonInvertPortClick();
  EXPECT_EQ(form.EditPortLocal.Text(), "");
  EXPECT_EQ(form.EditPortDistant.Text(), "abc");
}

TEST_F(FormTest, SetTakesAnyWholeNumberAndRejectsTheRest) {
  form.EditBufferLocal.SetText("40");
  form.ButtonSetLocalBufferClick();
  EXPECT_EQ(form.LocalBuffer.load(), 40);

  form.EditBufferLocal.SetText("abc");
  try {
    form.ButtonSetLocalBufferClick();
    FAIL() << "no error for 'abc'";
  } catch (const UserError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  EXPECT_EQ(form.LocalBuffer.load(), 40) << "a failed Set changes nothing";
  EXPECT_EQ(form.EditBufferLocal.Text(), "abc");

  form.EditBufferLocal.SetText("-5");
  form.ButtonSetLocalBufferClick();
  EXPECT_EQ(form.LocalBuffer.load(), -5);
}

TEST_F(FormTest, AutoDisablesSetAndKeepsTheAutomaticValue) {
  form.SetAutomateLocalBuffer(true);
  EXPECT_TRUE(form.CheckBoxAutomateLocalBuffer.Checked());
  EXPECT_FALSE(form.ButtonSetLocalBuffer.Enabled());

  form.LocalBuffer.store(68);  // what the send preparation computed
  form.EditBufferLocal.SetText("68");
  form.ButtonSetLocalBufferClick();  // a disabled button does nothing...
  form.EditBufferLocal.SetText("12");
  form.ButtonSetLocalBufferClick();
  EXPECT_EQ(form.LocalBuffer.load(), 68);  // ...so the automatic value is not overwritten

  form.SetAutomateLocalBuffer(false);
  EXPECT_TRUE(form.ButtonSetLocalBuffer.Enabled());
  EXPECT_EQ(form.LocalBuffer.load(), 68) << "unchecking keeps the last automatic value";
  form.ButtonSetLocalBufferClick();
  EXPECT_EQ(form.LocalBuffer.load(), 12);
}

struct StepCase {
  const char* name;
  UpDown TFormCtl::*upDown;
  EditBox TFormCtl::*edit;
  void (TFormCtl::*handler)(int);
  int min, max, start;
};

TEST_F(FormTest, StepControlsStayWithinTheirBounds) {
  const StepCase cases[] = {
      {"LocalCanal", &TFormCtl::UpDownLocalCanal, &TFormCtl::EditLocalCanal,
       &TFormCtl::UpDownLocalCanalChanging, 1, 16, 2},
      {"TransposeLocalValue", &TFormCtl::UpDownTransposeLocalValue,
       &TFormCtl::EditTransposeLocalValue, &TFormCtl::UpDownTransposeLocalValueChanging, -12, 12,
       0},
      {"MidiCanalOut", &TFormCtl::UpDownMidiCanalOut, &TFormCtl::EditMidiCanalOut,
       &TFormCtl::UpDownMidiCanalOutChanging, 1, 16, 1},
      {"TransposeOut", &TFormCtl::UpDownTransposeOut, &TFormCtl::EditTransposeOut,
       &TFormCtl::UpDownTransposeOutChanging, -12, 12, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpDown& upDown = form.*c.upDown;
    EditBox& edit = form.*c.edit;
    auto step = [&](int delta) { (form.*c.handler)(delta); };

    step(-1);
    EXPECT_EQ(edit.Text(), std::to_string(std::max(c.start - 1, c.min)));
    for (int i = 0; i < c.max - c.min + 3; ++i) step(-1);
    EXPECT_EQ(upDown.Position(), c.min);
    EXPECT_EQ(edit.Text(), std::to_string(c.min)) << "no wrap-around at Min";
    for (int i = 0; i < c.max - c.min + 3; ++i) step(+1);
    EXPECT_EQ(upDown.Position(), c.max);
    EXPECT_EQ(edit.Text(), std::to_string(c.max)) << "no wrap-around at Max";
  }
}

TEST_F(FormTest, StepControlKeepsItsOwnPosition) {
  form.UpDownTransposeLocalValueChanging(-1);
  EXPECT_EQ(form.EditTransposeLocalValue.Text(), "-1");

  form.EditMidiCanalOut.SetText("7");  // typed by the user
  EXPECT_EQ(form.UpDownMidiCanalOut.Position(), 1) << "typing does not move the step control";
  form.UpDownMidiCanalOutChanging(+1);
  EXPECT_EQ(form.EditMidiCanalOut.Text(), "2");

  // Absurd deltas from a view clamp rather than overflow.
  form.UpDownTransposeOutChanging(INT32_MAX);
  EXPECT_EQ(form.EditTransposeOut.Text(), "12");
  form.UpDownTransposeOutChanging(INT32_MIN);
  EXPECT_EQ(form.EditTransposeOut.Text(), "-12");
}

// Takes the one chat record queued by a send.
RecordPtr TakeChat(TFormCtl& form) {
  EXPECT_EQ(form.OutgoingQueue.Count(), 1);
  EXPECT_EQ(form.SendQueue.Count(), 0) << "chat goes through the outgoing queue";
  RecordPtr r = form.OutgoingQueue.DeleteFirst();
  if (r) {
    EXPECT_EQ(r->kind, EventChat);
  }
  return r;
}

TEST_F(FormTest, ChatSendOfAnEmptyLine) {
  form.EditChatKeyPress(13);
  RecordPtr r = TakeChat(form);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->text[0], '\0');
  EXPECT_EQ(form.MemoChat.Lines().back(), "I : ");
  EXPECT_EQ(form.MemoChat.Color(), kRgbBlue);
}

TEST_F(FormTest, ChatSendOfAFullLine) {
  const std::string line(98, 'x');
  form.EditChat.SetText(line);
  form.ButtonChatSendClick();
  RecordPtr r = TakeChat(form);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r->text.data()), line);
  EXPECT_EQ(r->text[98], '\0');
  EXPECT_EQ(form.MemoChat.Lines().back(), "I : " + line);
  EXPECT_EQ(form.MemoChat.Color(), kRgbBlue);
  EXPECT_EQ(form.EditChat.Text(), "") << "the input is cleared after a send";
}

TEST_F(FormTest, ChatLineLongerThanTheRecordIsCut) {
  form.EditChat.SetText(std::string(120, 'y'));
  EXPECT_EQ(form.EditChat.Text().size(), 98u);
  form.ButtonChatSendClick();
  RecordPtr r = TakeChat(form);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::strlen(r->text.data()), 98u);
  EXPECT_EQ(form.MemoChat.Lines().back(), "I : " + std::string(98, 'y'));
}

TEST_F(FormTest, ChatCutNeverSplitsACharacter) {
  // 97 ASCII bytes and an "é" (2 bytes) do not fit 98 bytes: the "é" goes whole.
  form.EditChat.SetText(std::string(97, 'a') + "\xc3\xa9" + "zz");
  form.ButtonChatSendClick();
  RecordPtr r = TakeChat(form);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r->text.data()), std::string(97, 'a'));
  EXPECT_EQ(form.MemoChat.Lines().back(), "I : " + std::string(97, 'a'));

  form.EditChat.SetText("Initialisé");
  form.ButtonChatSendClick();
  r = TakeChat(form);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->text.data(), "Initialisé");
}

TEST_F(FormTest, OnlyEnterSendsFromTheChatInput) {
  form.EditChat.SetText("hello");
  for (char key : {'a', '\n', '\0', '\x1b', ' '}) form.EditChatKeyPress(key);
  EXPECT_EQ(form.OutgoingQueue.Count(), 0);
  EXPECT_EQ(form.EditChat.Text(), "hello");
  form.EditChatKeyPress('\r');
  RecordPtr r = TakeChat(form);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->text.data(), "hello");
}

TEST_F(FormTest, ReadMidiFlipsItsFlagAndStartsCapture) {
  form.ButtonReadMidiClick();
  EXPECT_TRUE(form.ReadMidiRunning.load());
  EXPECT_EQ(services.midiReadStarts, 1);
  EXPECT_TRUE(services.readFlagAtStart) << "the new thread must find the flag set";

  form.ButtonReadMidiClick();
  EXPECT_FALSE(form.ReadMidiRunning.load());
  EXPECT_EQ(services.midiReadStarts, 1) << "clearing the flag starts nothing";

  form.ButtonReadMidiClick();
  EXPECT_TRUE(form.ReadMidiRunning.load());
  EXPECT_EQ(services.midiReadStarts, 2);

  // The capture thread gave up (no device): the next press tries again rather than only
  // clearing the flag.
  services.midiReadAlive = false;
  form.ButtonReadMidiClick();
  EXPECT_TRUE(form.ReadMidiRunning.load());
  EXPECT_EQ(services.midiReadStarts, 3);
}

TEST_F(FormTest, StartRtpStartsAndStopsASession) {
  form.ButtonStartRTPClick();
  EXPECT_TRUE(form.RtpActive.load());
  EXPECT_EQ(services.rtpStarts, 1);
  EXPECT_TRUE(services.rtpFlagAtStart) << "the flag must read true when the thread first looks";

  form.ButtonStartRTPClick();
  EXPECT_FALSE(form.RtpActive.load());
  EXPECT_EQ(services.rtpStops, 1);
  EXPECT_EQ(services.rtpStarts, 1);
  EXPECT_EQ(form.ButtonStartRTP.Caption(), "Start RTP ");

  // A session whose set-up failed has ended by itself: the next press starts a new one at once.
  form.ButtonStartRTPClick();
  ASSERT_EQ(services.rtpStarts, 2);
  services.rtpAlive = false;
  form.ButtonStartRTPClick();
  EXPECT_TRUE(form.RtpActive.load());
  EXPECT_EQ(services.rtpStarts, 3);
  EXPECT_EQ(services.rtpStops, 1) << "no stop request to a thread that has ended";
}

TEST_F(FormTest, EveryMidiGenPressStartsAGenerator) {
  form.Button1Click();
  form.Button1Click();
  EXPECT_EQ(services.generatorStarts, 2);
}

TEST(FormWithoutServices, CommandsStillFlipTheirFlags) {
  TFormCtl form;
  form.ButtonReadMidiClick();
  form.ButtonStartRTPClick();
  form.Button1Click();
  EXPECT_TRUE(form.ReadMidiRunning.load());
  EXPECT_TRUE(form.RtpActive.load());
  form.ButtonStartRTPClick();
  EXPECT_FALSE(form.RtpActive.load());
}

}  // namespace
}  // namespace tandem
