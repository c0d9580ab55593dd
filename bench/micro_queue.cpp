// Ordered insertion into a reception queue of 1000 records, and the playback's key repair.
#include <benchmark/benchmark.h>

#include <random>

#include "events/Listmidi.h"
#include "playback/PrepareRec.h"

namespace tandem {
namespace {

RecordPtr WithSequence(uint32_t sequence) {
  auto r = MakeRecord(EventMidiBare);
  r->sequence = sequence;
  return r;
}

// Packets in order: each goes to the tail. The head is taken, so the queue stays at 1000.
void InsertOrderedInOrder(benchmark::State& state) {
  ThreadMidiList list;
  uint32_t sequence = 0;
  for (; sequence < 1000; ++sequence) list.InsertOrdered(WithSequence(sequence));
  for (auto _ : state) {
    list.InsertOrdered(WithSequence(sequence++));
    benchmark::DoNotOptimize(list.DeleteFirst());
  }
}
BENCHMARK(InsertOrderedInOrder);

// Packets late by up to the whole queue: each goes somewhere among the 1000.
void InsertOrderedAnywhere(benchmark::State& state) {
  ThreadMidiList list;
  uint32_t sequence = 0;
  for (; sequence < 1000; ++sequence) list.InsertOrdered(WithSequence(sequence * 2));
  std::mt19937 rng(1);
  for (auto _ : state) {
    const uint32_t head = list.Get(0)->sequence;
    list.InsertOrdered(WithSequence(head + rng() % 2000));
    benchmark::DoNotOptimize(list.DeleteFirst());
  }
}
BENCHMARK(InsertOrderedAnywhere);

// A snapshot that changes every key on each call, the most work RepairKeys can have.
void RepairAllKeys(benchmark::State& state) {
  TFormCtl form;
  form.SetAudition(false);  // nothing to send to: the cost of the table and the checks
  PrepareRecPass pass(form);
  EventRecord r;
  r.kind = EventKeyRefresh;
  r.keyRecent.fill(1);
  uint8_t on = 1;
  for (auto _ : state) {
    r.keyOn.fill(on);
    on ^= 1;
    r.time += 10;
    ++r.sequence;
    pass.RepairKeys(r);
  }
}
BENCHMARK(RepairAllKeys);

}  // namespace
}  // namespace tandem

BENCHMARK_MAIN();
