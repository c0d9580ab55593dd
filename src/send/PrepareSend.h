// PLACEHOLDER: replaced by the real implementation.
#pragma once
#include "app/FormCtrl.h"
#include "platform/Worker.h"
namespace tandem {
class ThreadPrepareSend : public Worker {
 public:
  explicit ThreadPrepareSend(TFormCtl& form) : Worker("ThreadPrepareSend"), form_(form) {}
  ~ThreadPrepareSend() override { Stop(); }
 protected:
  void Run() override {}
 private:
  [[maybe_unused]] TFormCtl& form_;
};
}  // namespace tandem
