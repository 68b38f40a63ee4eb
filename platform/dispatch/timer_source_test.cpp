#include "platform/dispatch/timer_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

class TimerSourceTest : public DispatchTest {
 protected:
  // The handler log, read after draining the queue.
  std::vector<std::string> drained() {
    std::vector<std::string> seen;
    queue_->sync([&] { seen = log_; });
    return seen;
  }
  TimerSource::Handler record(std::string name) {
    return [this, name] { log_.push_back(name); };
  }

  std::shared_ptr<Queue> queue_ = Queue::create("timers");
  std::vector<std::string> log_;  // Touched only on queue_.
};

TEST_F(TimerSourceTest, FiresOnItsQueueOnceTheDelayHasPassed) {
  TimerSource timer(queue_);
  EXPECT_EQ(timer.clock(), clock_);
  bool onQueue = false;
  ASSERT_TRUE(timer.schedule(2, [&] {
    onQueue = queue_->isCurrent();
    log_.push_back("fired");
  }));
  EXPECT_TRUE(timer.isPending());
  clock_->advance(1.9);
  EXPECT_TRUE(drained().empty());
  clock_->advance(0.1);
  EXPECT_EQ(drained(), (std::vector<std::string>{"fired"}));
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(timer.isPending());
  EXPECT_FALSE(timer.isCancelled());  // One-shot: fired, not cancelled.
  clock_->advance(100);
  EXPECT_EQ(drained().size(), 1u);
}

TEST_F(TimerSourceTest, ReschedulingReplacesThePendingFire) {
  TimerSource timer(queue_);
  timer.schedule(5, record("old"));
  timer.schedule(3, record("new"));
  clock_->advance(10);
  EXPECT_EQ(drained(), (std::vector<std::string>{"new"}));
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(TimerSourceTest, FireAlreadyQueuedIsDroppedWhenReplacedOrCancelled) {
  struct Case {
    const char* name;
    bool cancel;  // Else reschedule.
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"cancel", true, {}},
      {"reschedule", false, {"new"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    TimerSource timer(queue_);
    timer.schedule(1, record("old"));
    // Hold the queue so that the fire is enqueued but cannot start yet.
    Semaphore gate, holding;
    queue_->async([&] {
      holding.signal();
      (void)gate.wait();
    });
    ASSERT_EQ(holding.wait(), WaitResult::kSuccess);
    clock_->advance(1);  // The old fire is now in the queue behind the held block.
    if (c.cancel) {
      timer.cancel();
    } else {
      timer.schedule(1, record("new"));
    }
    gate.signal();
    clock_->advance(1);
    EXPECT_EQ(drained(), c.expected);
  }
}

TEST_F(TimerSourceTest, CancelIsFinal) {
  auto token = std::make_shared<int>(0);
  TimerSource timer(queue_);
  timer.schedule(1, [token, this] { log_.push_back("fired"); });
  EXPECT_EQ(token.use_count(), 2);
  timer.cancel();
  EXPECT_TRUE(timer.isCancelled());
  EXPECT_FALSE(timer.isPending());
  EXPECT_EQ(token.use_count(), 1);  // The handler was released.
  EXPECT_FALSE(timer.schedule(1, record("again")));
  timer.cancel();  // Harmless.
  clock_->advance(5);
  EXPECT_TRUE(drained().empty());
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(TimerSourceTest, DestroyingTheSourceCancelsIt) {
  {
    TimerSource timer(queue_);
    timer.schedule(1, record("fired"));
  }
  clock_->advance(5);
  EXPECT_TRUE(drained().empty());
}

TEST_F(TimerSourceTest, HandlerMayCancelOrRescheduleItsOwnSource) {
  TimerSource timer(queue_);
  int fires = 0;  // Touched only on queue_.
  timer.schedule(1, [&] {
    if (++fires < 3) {
      timer.schedule(1, [&] {
        ++fires;
        timer.cancel();
      });
    }
  });
  clock_->advance(1);
  queue_->sync([] {});
  clock_->advance(1);
  queue_->sync([&] { EXPECT_EQ(fires, 2); });
  EXPECT_TRUE(timer.isCancelled());
}

TEST_F(TimerSourceTest, WallTimeSourceFiresWhenTheWallClockJumps) {
  TimerSource timer(queue_);
  timer.schedule(3600, record("wall"), Clock::Base::kWallTime);
  clock_->setWallTime(clock_->wallTime() + 7200);
  EXPECT_EQ(drained(), (std::vector<std::string>{"wall"}));
}

TEST_F(TimerSourceTest, MainQueueSourceFiresWhenTheRunLoopDrains) {
  TimerSource timer(Queue::main());
  bool fired = false;
  timer.schedule(0.5, [&] { fired = true; });
  clock_->advance(0.5);
  EXPECT_FALSE(fired);
  RunLoop::main().runUntilIdle();
  EXPECT_TRUE(fired);
}

// A cancel racing a firing timer: whatever the interleaving, the handler runs at most once, never
// after the cancel and the queue drain, and is released. Run under ThreadSanitizer.
TEST_F(TimerSourceTest, CancelRacingAFireNeverRunsAStaleBlock) {
  for (int round = 0; round < 300; ++round) {
    auto token = std::make_shared<int>(0);
    std::atomic<int> runs{0};
    TimerSource timer(queue_);
    timer.schedule(1, [token, &runs] { runs.fetch_add(1); });
    Semaphore go;
    std::thread canceller([&] {
      (void)go.wait();
      timer.cancel();
    });
    std::thread advancer([&] {
      go.signal();
      clock_->advance(1);
    });
    advancer.join();
    canceller.join();
    queue_->sync([] {});
    const int afterCancel = runs.load();
    EXPECT_LE(afterCancel, 1);
    clock_->advance(1);
    queue_->sync([] {});
    EXPECT_EQ(runs.load(), afterCancel);
    EXPECT_EQ(token.use_count(), 1);
  }
}

}  // namespace
}  // namespace dispatch
