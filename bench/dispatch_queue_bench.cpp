// How fast blocks move through the dispatch queues: asynchronous hand-over to a serial queue's
// thread, synchronous calls on an idle and on a busy queue, the main queue drained by the run
// loop, and firing many delayed blocks by advancing a manual clock.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/timer_source.h"

namespace {

void BM_SerialAsyncThenSync(benchmark::State& state) {
  auto queue = dispatch::Queue::create("bench.serial");
  const int64_t blocks = state.range(0);
  int64_t counter = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < blocks; ++i) queue->async([&counter] { ++counter; });
    queue->sync([] {});
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * blocks);
}
BENCHMARK(BM_SerialAsyncThenSync)->Arg(1)->Arg(1000);

void BM_SyncOnIdleQueue(benchmark::State& state) {
  auto queue = dispatch::Queue::create("bench.idle");
  int64_t counter = 0;
  for (auto _ : state) queue->sync([&counter] { ++counter; });
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncOnIdleQueue);

void BM_MainQueueDrain(benchmark::State& state) {
  auto main = dispatch::Queue::main();
  const int64_t blocks = state.range(0);
  int64_t counter = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < blocks; ++i) main->async([&counter] { ++counter; });
    dispatch::RunLoop::main().runUntilIdle();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * blocks);
}
BENCHMARK(BM_MainQueueDrain)->Arg(1000);

// Schedules N delayed blocks at distinct delays, then fires them all with one advance.
void BM_ManualClockAdvance(benchmark::State& state) {
  const int64_t timers = state.range(0);
  auto queue = dispatch::Queue::create("bench.timers");
  int64_t counter = 0;
  for (auto _ : state) {
    auto clock = std::make_shared<dispatch::ManualClock>();
    dispatch::ScopedClock scoped(clock);
    for (int64_t i = 0; i < timers; ++i) {
      queue->after(1.0 + static_cast<double>(i) / 1000.0, [&counter] { ++counter; });
    }
    clock->advance(1.0 + static_cast<double>(timers));
    queue->sync([] {});
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * timers);
}
BENCHMARK(BM_ManualClockAdvance)->Arg(100)->Arg(1000);

}  // namespace
