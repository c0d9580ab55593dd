// PLACEHOLDER: replaced by the real implementation.
#pragma once
#include "app/FormCtrl.h"
#include "platform/Worker.h"
namespace tandem {
class MidiRTP : public Worker {
 public:
  explicit MidiRTP(TFormCtl& form) : Worker("MidiRTP"), form_(form) {}
  ~MidiRTP() override { Stop(); }
 protected:
  void Run() override {}
 private:
  [[maybe_unused]] TFormCtl& form_;
};
}  // namespace tandem
