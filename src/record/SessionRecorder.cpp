#include "record/SessionRecorder.h"

#include <algorithm>
#include <utility>

namespace tandem {

namespace {

size_t MessageLength(uint8_t status) {
  const uint8_t kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}

}  // namespace

class SessionRecorder::Writer : public Worker {
 public:
  explicit Writer(SessionRecorder& owner) : Worker("SessionRecorder"), owner_(owner) {}
  ~Writer() override { Stop(); }

 protected:
  void Run() override {
    while (Sleep(kWritePeriod)) {
      std::string error;
      if (!owner_.WritePending(error)) {
        // A full disk: the file keeps what it had and nothing more is taken.
        owner_.active_.store(false, std::memory_order_release);
        std::lock_guard lock(owner_.failureMutex_);
        owner_.failure_ = error;
        return;
      }
    }
  }

 private:
  SessionRecorder& owner_;
};

SessionRecorder::SessionRecorder() = default;

SessionRecorder::~SessionRecorder() {
  std::string ignored;
  Stop(ignored);
}

bool SessionRecorder::Start(const std::string& path, std::string& error) {
  if (writer_) {
    error = "a recording is running already";
    return false;
  }
  if (!file_.Open(path, {"Played here", "Partner"}, error)) return false;
  {
    std::lock_guard lock(pendingMutex_);
    pending_.clear();  // what a late producer left after the last recording
    pending_.reserve(1024);
  }
  start_ = Clock::now();
  bytesWritten_.store(file_.BytesWritten());
  {
    std::lock_guard lock(failureMutex_);
    failure_.clear();
  }
  path_ = file_.Path();
  writer_ = std::make_unique<Writer>(*this);
  writer_->Start();
  active_.store(true, std::memory_order_release);
  return true;
}

bool SessionRecorder::Stop(std::string& error) {
  if (!writer_) return true;
  active_.store(false, std::memory_order_release);
  writer_->Stop();
  writer_.reset();
  path_.clear();
  {
    std::lock_guard lock(failureMutex_);
    if (!failure_.empty()) {
      error = failure_;
      std::string ignored;
      file_.Finish(ignored);
      return false;
    }
  }
  bool ok = WritePending(error) && file_.Finish(error);
  bytesWritten_.store(file_.BytesWritten());
  return ok;
}

std::string SessionRecorder::TakeFailure() {
  std::lock_guard lock(failureMutex_);
  return std::exchange(failure_, {});
}

void SessionRecorder::Push(const Taken& taken) {
  std::lock_guard lock(pendingMutex_);
  if (pending_.size() >= kMaxPending) {
    dropped_.fetch_add(1);
    return;
  }
  pending_.push_back(taken);
}

bool SessionRecorder::WritePending(std::string& error) {
  batch_.clear();
  {
    std::lock_guard lock(pendingMutex_);
    std::swap(batch_, pending_);
  }
  if (batch_.empty()) return true;
  for (const Taken& t : batch_) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.when - start_).count();
    const uint8_t bytes[3] = {t.status, t.data1, t.data2};
    file_.Add(t.track, static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, UINT32_MAX)), bytes,
              MessageLength(t.status));
  }
  bool ok = file_.Flush(error);
  bytesWritten_.store(file_.BytesWritten());
  return ok;
}

}  // namespace tandem
