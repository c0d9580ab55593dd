// PLACEHOLDER: replaced by the real implementation.
#pragma once
#include "app/FormCtrl.h"
#include "platform/Worker.h"
namespace tandem {
class ThreadPrepareRec : public Worker {
 public:
  explicit ThreadPrepareRec(TFormCtl& form) : Worker("ThreadPrepareRec"), form_(form) {}
  ~ThreadPrepareRec() override { Stop(); }
 protected:
  void Run() override {}
 private:
  [[maybe_unused]] TFormCtl& form_;
};
}  // namespace tandem
