#include "platform/Worker.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "TestTiming.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::WaitFor;

// Counts its passes; between passes it sleeps for an hour unless woken or stopped.
class Counter : public Worker {
 public:
  explicit Counter(std::chrono::microseconds pause = std::chrono::hours(1))
      : Worker("Counter"), pause_(pause) {}
  ~Counter() override { Stop(); }
  std::atomic<int> passes{0};
  std::atomic<bool> ended{false};

 protected:
  void Run() override {
    do {
      passes.fetch_add(1);
    } while (Sleep(pause_));
    ended.store(true);
  }

 private:
  std::chrono::microseconds pause_;
};

TEST(Worker, StopCutsALongSleepAndJoins) {
  Counter worker;
  EXPECT_FALSE(worker.Alive());
  worker.Start();
  EXPECT_TRUE(worker.Alive()) << "alive from Start, before the thread even ran";
  ASSERT_TRUE(WaitFor([&] { return worker.passes.load() == 1; }));
  auto start = Clock::now();
  worker.Stop();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(worker.ended.load()) << "Run() left its loop by itself";
  EXPECT_FALSE(worker.Alive());
  EXPECT_TRUE(worker.StopRequested());
  EXPECT_EQ(worker.passes.load(), 1);
  worker.Stop();  // a second stop is harmless
}

TEST(Worker, WakeEndsOneSleepWithoutStopping) {
  Counter worker;
  worker.Start();
  ASSERT_TRUE(WaitFor([&] { return worker.passes.load() == 1; }));
  worker.GetWaker().Notify();
  ASSERT_TRUE(WaitFor([&] { return worker.passes.load() == 2; }));
  EXPECT_TRUE(worker.Alive());
  EXPECT_FALSE(worker.StopRequested());
  worker.Stop();
}

TEST(Worker, APollingConsumerSeesEveryNotification) {
  // The session thread waits in poll(2) on this descriptor beside its sockets.
  Waker waker;
  const int fd = waker.PollFd();
  ASSERT_GE(fd, 0);
  auto readable = [fd] {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  };
  EXPECT_FALSE(readable());
  waker.Notify();
  waker.Notify();
  EXPECT_TRUE(readable());
  waker.Consume();
  EXPECT_FALSE(readable()) << "two notifications before the wake-up are taken as one";
  EXPECT_FALSE(waker.WaitFor(0us));
  waker.Notify();
  EXPECT_TRUE(readable()) << "a notification after the consumer looked is not lost";
}

TEST(Worker, ShortSleepsKeepLooping) {
  Counter worker(1ms);
  worker.Start();
  ASSERT_TRUE(WaitFor([&] { return worker.passes.load() >= 5; }));
  worker.Stop();
  EXPECT_FALSE(worker.Alive());
}

TEST(Worker, StartTwiceRunsOneThread) {
  Counter worker;
  worker.Start();
  worker.Start();
  ASSERT_TRUE(WaitFor([&] { return worker.passes.load() >= 1; }));
  worker.Stop();
  EXPECT_EQ(worker.passes.load(), 1);
}

TEST(Worker, StopWithoutStartAndDestructionWhileRunning) {
  {
    Counter idle;
    idle.Stop();
    EXPECT_FALSE(idle.Alive());
  }
  {
    Counter running;
    running.Start();
    ASSERT_TRUE(WaitFor([&] { return running.passes.load() == 1; }));
  }  // the destructor stops and joins; a leaked thread would show under the sanitizers
}

class Thrower : public Worker {
 public:
  Thrower() : Worker("Thrower") {}
  ~Thrower() override { Stop(); }

 protected:
  void Run() override { throw std::runtime_error("bad packet"); }
};

TEST(Worker, AnEscapingErrorEndsOnlyThatThread) {
  Thrower worker;
  worker.Start();
  ASSERT_TRUE(WaitFor([&] { return !worker.Alive(); }));
  worker.Stop();
}

}  // namespace
}  // namespace tandem
