// PLACEHOLDER: replaced by the real implementation.
#pragma once
#include "app/FormCtrl.h"
#include "platform/Midi.h"
#include "platform/Worker.h"
namespace tandem {
class ThreadMidiRead : public Worker {
 public:
  ThreadMidiRead(TFormCtl& form, MidiSystem& midi, PortChoice input)
      : Worker("ThreadMidiRead"), form_(form), midi_(midi), input_(std::move(input)) {}
  ~ThreadMidiRead() override { Stop(); }
 protected:
  void Run() override {}
 private:
  [[maybe_unused]] TFormCtl& form_;
  [[maybe_unused]] MidiSystem& midi_;
  PortChoice input_;
};
}  // namespace tandem
