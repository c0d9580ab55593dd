// "Audition" opens and closes the output while the playback thread sends to it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "model/FormCtrl.h"
#include "playback/PrepareRec.h"
#include "send/Fonctionutile.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;

struct PortLog {
  std::atomic<int> opened{0};
  std::atomic<int> sends{0};
  std::atomic<int> sendsAfterClose{0};
};

// An output that notices being used once silenced or released.
class WatchedOut : public MidiOutPort {
 public:
  explicit WatchedOut(PortLog& log) : log_(log) { log_.opened.fetch_add(1); }
  ~WatchedOut() override { closed_.store(true); }
  bool Send(const uint8_t*, size_t) override {
    // A device takes a while to send; a close must not overlap that either.
    bool closedBefore = closed_.load();
    auto until = std::chrono::steady_clock::now() + 50us;
    while (std::chrono::steady_clock::now() < until) {
    }
    if (closedBefore || closed_.load()) log_.sendsAfterClose.fetch_add(1);
    log_.sends.fetch_add(1);
    return true;
  }
  void Silence() override { closed_.store(true); }

 private:
  PortLog& log_;
  std::atomic<bool> closed_{false};
};

TEST(Audition, SendsNeverReachAClosedDevice) {
  PortLog log;
  TFormCtl form([&](std::string&) { return std::make_unique<WatchedOut>(log); });
  form.CheckBoxLocalMIDI.SetChecked(true);
  ThreadPrepareRec playback(form);
  playback.Start();

  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; !done.load(); ++i) {
      if (form.LocalQueue.Count() < 8) {
        auto r = MakeRecord(EventMidi);
        r->status = i % 2 ? 128 : 144;
        r->note = 60 + (i / 2) % 12;
        r->velocity = 90;
        r->time = ClockMs() - 20;  // already due
        form.LocalQueue.Add(std::move(r));
      } else {
        std::this_thread::yield();
      }
    }
  });

  // The window's thread toggles "Audition" while notes are being sent.
  // Generous: playback passes run back to back and may hold the device lock often.
  auto deadline = std::chrono::steady_clock::now() + 30s;
  int toggles = 0;
  while ((toggles < 400 || log.sends.load() < 200) && std::chrono::steady_clock::now() < deadline) {
    form.SetAudition(toggles % 2 == 1);
    ++toggles;
    std::this_thread::sleep_for(200us);
  }
  done.store(true);
  producer.join();
  playback.Stop();

  EXPECT_GT(log.opened.load(), 100);
  EXPECT_GT(log.sends.load(), 0);
  EXPECT_EQ(log.sendsAfterClose.load(), 0);
  EXPECT_EQ(playback.Counters().invalid.load(), 0u);
}

}  // namespace
}  // namespace tandem
