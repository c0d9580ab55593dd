// The window's MIDI port choosers: listed afresh when opened, and the choice reaching the program
// at the next "Audition" change.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QTest>
#include <filesystem>
#include <memory>
#include <mutex>

#include "app/Application.h"
#include "gui/MainWindow.h"
#include "gui/PortChooser.h"
#include "midi/MemoryMidi.h"

namespace tandem {
namespace {

// A memory MIDI system whose output ports come and go.
class ChangingMidi : public MemoryMidiSystem {
 public:
  std::vector<std::string> OutputPorts() override {
    std::lock_guard lock(mutex_);
    return outputs_;
  }
  void SetOutputs(std::vector<std::string> outputs) {
    std::lock_guard lock(mutex_);
    outputs_ = std::move(outputs);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> outputs_ = {"memory-out"};
};

QStringList Items(QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

TEST(PortChooser, OutputListsTheSynthesizerThePortsAndNoneAndTheChoiceTakesEffect) {
  auto midi = std::make_shared<ChangingMidi>();
  AppConfig config;
  config.midi = midi;
  // Rendering, so that the synthesizer opens on a machine without a sound card too.
  auto wav = std::filesystem::temp_directory_path() /
             ("tandem-chooser-" + std::to_string(getpid()) + ".wav");
  config.synth.renderPath = wav.string();
  Application app(config);
  MainWindow window(app);
  window.show();
  auto* out = window.findChild<PortChooser*>("ComboMidiOut");
  auto* in = window.findChild<PortChooser*>("ComboMidiIn");
  ASSERT_TRUE(out && in);
  EXPECT_EQ(out->currentText(), "Built-in synthesizer");
  EXPECT_EQ(in->currentText(), "First device");

  // Opened, it lists what the MIDI system has now; our own ports are not for choosing.
  midi->SetOutputs({"memory-out", "tandem-out:midi_out", "Synth B:out"});
  out->showPopup();
  out->hidePopup();
  EXPECT_EQ(Items(out), (QStringList{"Built-in synthesizer", "memory-out", "Synth B:out", "None"}));
  in->showPopup();
  in->hidePopup();
  EXPECT_EQ(Items(in), (QStringList{"First device", "memory-in", "None"}));

  // Picking a port changes nothing until "Audition" is unchecked and checked again.
  out->setFocus();
  QTest::keyClick(out, Qt::Key_Down);
  EXPECT_EQ(out->currentText(), "memory-out");
  EXPECT_EQ(app.Ports().second.kind, PortChoice::Kind::Named);
  EXPECT_EQ(app.Ports().second.name, "memory-out");
  ASSERT_TRUE(app.Form().MidiOutHandle.ShortMsg(0x503C90));
  EXPECT_EQ(midi->Output()->Count(), 0u) << "still the synthesizer";
  app.Form().SetAudition(false);
  app.Form().SetAudition(true);
  ASSERT_TRUE(app.Form().MidiOutHandle.ShortMsg(0x003C80));
  EXPECT_EQ(midi->Output()->Count(), 1u);

  // The chosen port is gone: still shown as chosen, not silently replaced by another.
  midi->SetOutputs({"Synth B:out"});
  out->showPopup();
  out->hidePopup();
  EXPECT_EQ(out->currentText(), "memory-out");
  EXPECT_EQ(Items(out), (QStringList{"Built-in synthesizer", "Synth B:out", "memory-out", "None"}));

  QTest::keyClick(out, Qt::Key_Down);
  EXPECT_EQ(app.Ports().second.kind, PortChoice::Kind::None);
  app.Shutdown();
  std::filesystem::remove(wav);
}

}  // namespace
}  // namespace tandem
