#include "events/Listmidi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/Waker.h"

namespace tandem {
namespace {

// A record that says who made it: `note` is the producer, `velocity` its running index.
RecordPtr Tagged(int producer, int index, uint32_t sequence = 0) {
  auto r = MakeRecord(EventMidi);
  r->note = producer;
  r->velocity = index;
  r->sequence = sequence;
  return r;
}

RecordPtr WithSequence(uint32_t sequence, int index = 0) {
  return Tagged(0, index, sequence);
}

std::vector<uint32_t> Sequences(const ThreadMidiList& list) {
  std::vector<uint32_t> out;
  for (int32_t i = 0; i < list.Count(); ++i) out.push_back(list.Get(i)->sequence);
  return out;
}

TEST(ThreadMidiList, FifoOperations) {
  ThreadMidiList list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Get(0), nullptr);
  EXPECT_EQ(list.DeleteFirst(), nullptr);

  auto first = Tagged(0, 1);
  EventRecord* firstRaw = first.get();
  EXPECT_TRUE(list.Add(std::move(first)));
  EXPECT_TRUE(list.Add(Tagged(0, 2)));
  EXPECT_TRUE(list.InsertAt(Tagged(0, 0), 0));             // new head
  EXPECT_TRUE(list.InsertAt(Tagged(0, 3), list.Count()));  // at Count: appends
  ASSERT_EQ(list.Count(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(list.Get(i)->velocity, i);
  EXPECT_EQ(list.Get(1), firstRaw) << "records are held, never copied";

  // Positions that do not exist give nothing rather than an index fault.
  EXPECT_EQ(list.Get(4), nullptr);
  EXPECT_EQ(list.Get(-1), nullptr);
  EXPECT_EQ(list.Get(INT32_MAX), nullptr);
  EXPECT_EQ(list.Get(INT32_MIN), nullptr);

  RecordPtr head = list.DeleteFirst();
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->velocity, 0);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Get(0), firstRaw);
}

TEST(ThreadMidiList, InsertAtClampsPositionsAndRefusesNull) {
  ThreadMidiList list;
  EXPECT_FALSE(list.Add(nullptr));
  EXPECT_FALSE(list.InsertAt(nullptr, 0));
  EXPECT_FALSE(list.InsertOrdered(nullptr));
  EXPECT_EQ(list.Count(), 0);

  list.Add(Tagged(0, 1));
  list.InsertAt(Tagged(0, 2), 99);  // past the tail: appended
  list.InsertAt(Tagged(0, 0), -7);  // before the head: becomes the head
  ASSERT_EQ(list.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(list.Get(i)->velocity, i);
}

TEST(ThreadMidiList, InsertOrderedKeepsSequenceOrderAndArrivalForEquals) {
  ThreadMidiList list;
  list.InsertOrdered(WithSequence(10, 0));
  list.InsertOrdered(WithSequence(20, 0));
  list.InsertOrdered(WithSequence(15, 0));
  list.InsertOrdered(WithSequence(15, 1));  // equal: after the one that came first
  list.InsertOrdered(WithSequence(15, 2));
  list.InsertOrdered(WithSequence(5, 0));   // lower than all: the head
  list.InsertOrdered(WithSequence(25, 0));  // greater than all: the tail

  EXPECT_EQ(Sequences(list), (std::vector<uint32_t>{5, 10, 15, 15, 15, 20, 25}));
  EXPECT_EQ(list.Get(2)->velocity, 0);
  EXPECT_EQ(list.Get(3)->velocity, 1);
  EXPECT_EQ(list.Get(4)->velocity, 2);
}

TEST(ThreadMidiList, InsertOrderedComparesUnsigned) {
  ThreadMidiList list;
  list.InsertOrdered(WithSequence(0x80000000u));
  list.InsertOrdered(WithSequence(1));
  list.InsertOrdered(WithSequence(0xFFFFFFFFu));
  list.InsertOrdered(WithSequence(0x7FFFFFFFu));
  EXPECT_EQ(Sequences(list), (std::vector<uint32_t>{1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}));
}

TEST(ThreadMidiList, SequencesOrderEachSourceApart) {
  // A restarted peer numbers from a new random start: its records go behind the old session's,
  // and among themselves by sequence.
  auto from = [](uint32_t source, uint32_t sequence) {
    auto r = WithSequence(sequence);
    r->source = source;
    return r;
  };
  ThreadMidiList list;
  list.InsertOrdered(from(0x1111, 40000));
  list.InsertOrdered(from(0x1111, 40002));
  list.InsertOrdered(from(0x2222, 9));
  list.InsertOrdered(from(0x2222, 7));
  list.InsertOrdered(from(0x2222, 8));
  list.InsertOrdered(from(0x1111, 40001));  // a late one of the old session: at the tail

  EXPECT_EQ(Sequences(list), (std::vector<uint32_t>{40000, 40002, 7, 8, 9, 40001}));
}

TEST(ThreadMidiList, TakeFirstIfTakesOnlyADueHead) {
  ThreadMidiList list;
  int calls = 0;
  auto dueIfSeven = [&](const EventRecord& r) {
    ++calls;
    return r.sequence == 7;
  };
  EXPECT_EQ(list.TakeFirstIf(dueIfSeven), nullptr);
  EXPECT_EQ(calls, 0) << "no head, nothing to ask about";

  list.Add(WithSequence(3));
  list.Add(WithSequence(7));
  EXPECT_EQ(list.TakeFirstIf(dueIfSeven), nullptr);
  EXPECT_EQ(list.Count(), 2) << "a head that is not due stays";

  list.DeleteFirst();
  RecordPtr taken = list.TakeFirstIf(dueIfSeven);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->sequence, 7u);
  EXPECT_EQ(list.Count(), 0);
}

TEST(ThreadMidiList, CapacityDropsAndCountsWhatDoesNotFit) {
  ThreadMidiList list;
  list.SetCapacity(2);
  EXPECT_TRUE(list.Add(WithSequence(1)));
  EXPECT_TRUE(list.InsertOrdered(WithSequence(0)));
  EXPECT_FALSE(list.Add(WithSequence(2)));
  EXPECT_FALSE(list.InsertAt(WithSequence(3), 0));
  EXPECT_FALSE(list.InsertOrdered(WithSequence(4)));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Dropped(), 3u);
  EXPECT_EQ(Sequences(list), (std::vector<uint32_t>{0, 1}));

  list.DeleteFirst();
  EXPECT_TRUE(list.Add(WithSequence(5))) << "room again once the consumer took one";

  list.SetCapacity(0);  // no bound
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(list.Add(WithSequence(6)));
  EXPECT_EQ(list.Count(), 102);
  EXPECT_EQ(list.Dropped(), 3u);
}

TEST(ThreadMidiList, ClearEmptiesAndTheListStaysUsable) {
  ThreadMidiList list;
  for (int i = 0; i < 10; ++i) list.Add(WithSequence(i));
  list.Clear();  // the records are freed (a leak shows under ASan)
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Get(0), nullptr);
  list.Add(WithSequence(1));
  EXPECT_EQ(list.Count(), 1);
}

TEST(ThreadMidiList, ProducersWakeTheConsumer) {
  ThreadMidiList list;
  Waker waker;
  list.SetWaker(&waker);
  EXPECT_FALSE(waker.WaitFor(std::chrono::microseconds(0)));
  list.Add(WithSequence(1));
  EXPECT_TRUE(waker.WaitFor(std::chrono::microseconds(0)));
  EXPECT_FALSE(waker.WaitFor(std::chrono::microseconds(0))) << "one notification, one wake-up";
  list.InsertAt(WithSequence(2), 0);
  EXPECT_TRUE(waker.WaitFor(std::chrono::microseconds(0)));
  list.InsertOrdered(WithSequence(3));
  EXPECT_TRUE(waker.WaitFor(std::chrono::microseconds(0)));

  // A notification reaches a consumer already waiting on another thread.
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    list.Add(WithSequence(4));
  });
  EXPECT_TRUE(waker.WaitFor(std::chrono::seconds(10)));
  producer.join();

  // A consumer that leaves does not unset the one that replaced it.
  Waker successor;
  list.SetWaker(&successor);
  list.RemoveWaker(&waker);
  list.Add(WithSequence(5));
  EXPECT_TRUE(successor.WaitFor(std::chrono::microseconds(0)));
  list.RemoveWaker(&successor);
  list.Add(WithSequence(6));
  EXPECT_FALSE(successor.WaitFor(std::chrono::microseconds(0)));
  EXPECT_FALSE(waker.WaitFor(std::chrono::microseconds(0)));
}

constexpr int kProducers = 4;
constexpr int kPerProducer = 3000;

// Several producers insert by sequence, each its own rising sequences with ties across
// producers, while one consumer takes the head whenever it can. Every record must come out once,
// and each producer's records in the order it made them, whatever overtook whom.
TEST(ThreadMidiListStress, OrderedInsertWithConcurrentTake) {
  ThreadMidiList list;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      std::mt19937 rng(p + 1);
      uint32_t seq = 0;
      for (int i = 0; i < kPerProducer; ++i) {
        seq += rng() % 3;  // ties within and across producers
        ASSERT_TRUE(list.InsertOrdered(Tagged(p, i, seq)));
        if (i % 64 == 0) std::this_thread::yield();
      }
      running.fetch_sub(1);
    });
  }

  std::vector<RecordPtr> taken;
  int mismatched = 0;
  auto take = [&] {
    const EventRecord* examined = nullptr;
    RecordPtr r = list.TakeFirstIf([&](const EventRecord& head) {
      examined = &head;
      return true;
    });
    if (r && r.get() != examined) ++mismatched;
    if (r) taken.push_back(std::move(r));
  };
  while (running.load() > 0) take();
  for (auto& t : producers) t.join();
  while (list.Count() > 0) take();

  EXPECT_EQ(mismatched, 0) << "the record taken must be the one the predicate saw";
  ASSERT_EQ(taken.size(), size_t{kProducers} * kPerProducer);
  std::vector<int> next(kProducers, 0);
  for (const auto& r : taken) {
    ASSERT_GE(r->note, 0);
    ASSERT_LT(r->note, kProducers);
    EXPECT_EQ(r->velocity, next[r->note]) << "producer " << r->note << " out of order";
    next[r->note] = r->velocity + 1;
  }
}

// Without a consumer, concurrent ordered inserts of random sequences leave one sorted list in
// which equal sequences of one producer keep their order.
TEST(ThreadMidiListStress, OrderedInsertOfRandomSequencesStaysSorted) {
  ThreadMidiList list;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      std::mt19937 rng(100 + p);
      for (int i = 0; i < kPerProducer / 3; ++i) {
        // A few values near the top of the range check the unsigned comparison too.
        uint32_t seq = rng() % 5 == 0 ? 0xFFFFFF00u + rng() % 16 : rng() % 500;
        list.InsertOrdered(Tagged(p, i, seq));
      }
    });
  }
  for (auto& t : producers) t.join();

  ASSERT_EQ(list.Count(), kProducers * (kPerProducer / 3));
  std::map<std::pair<uint32_t, int>, int> lastIndex;  // (sequence, producer) -> index seen
  std::set<std::pair<int, int>> seen;
  for (int32_t i = 0; i < list.Count(); ++i) {
    const EventRecord* r = list.Get(i);
    if (i > 0) {
      ASSERT_LE(list.Get(i - 1)->sequence, r->sequence) << "at " << i;
    }
    EXPECT_TRUE(seen.insert({r->note, r->velocity}).second) << "duplicate";
    auto key = std::make_pair(r->sequence, r->note);
    auto it = lastIndex.find(key);
    if (it != lastIndex.end()) {
      EXPECT_LT(it->second, r->velocity) << "tie out of arrival order";
    }
    lastIndex[key] = r->velocity;
  }
}

// The first-in-first-out road: producers append while the consumer reads the head and deletes it.
TEST(ThreadMidiListStress, AddWithConcurrentGetAndDeleteFirst) {
  ThreadMidiList list;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) list.Add(Tagged(p, i));
      running.fetch_sub(1);
    });
  }
  std::vector<int> next(kProducers, 0);
  int total = 0;
  int faults = 0;
  auto drain = [&] {
    while (list.Count() > 0) {
      const EventRecord* head = list.Get(0);
      RecordPtr r = list.DeleteFirst();
      if (r.get() != head) ++faults;  // only the consumer removes, so the head cannot change
      if (r->velocity != next[r->note]) ++faults;
      next[r->note] = r->velocity + 1;
      ++total;
    }
  };
  while (running.load() > 0) drain();
  for (auto& t : producers) t.join();
  drain();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(total, kProducers * kPerProducer);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer);
}

}  // namespace
}  // namespace tandem
