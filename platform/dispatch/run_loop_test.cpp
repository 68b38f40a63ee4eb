#include "platform/dispatch/run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

using MainQueueTest = DispatchTest;

TEST_F(MainQueueTest, BlocksRunOnlyWhenTheRunLoopDrains) {
  auto main = Queue::main();
  EXPECT_EQ(main->label(), "com.apple.main-thread");
  std::vector<int> log;
  main->async([&] {
    log.push_back(1);
    main->async([&] { log.push_back(3); });  // Enqueued while draining: also drained.
  });
  main->async([&] { log.push_back(2); });
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(RunLoop::main().runUntilIdle(), 3u);
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(RunLoop::main().runUntilIdle(), 0u);
}

TEST_F(MainQueueTest, DelayedMainBlocksComeDueWithTheClock) {
  std::vector<std::string> log;
  Queue::main()->after(2, [&] { log.push_back("2s"); });
  Queue::main()->after(1, [&] { log.push_back("1s"); });
  clock_->advance(1.5);
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"1s"}));
  clock_->advance(0.5);
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"1s", "2s"}));
}

TEST_F(MainQueueTest, SyncFromAnotherThreadRunsOnTheMainThread) {
  std::atomic<bool> done{false};
  bool onMain = false, current = false;
  std::thread worker([&] {
    Queue::main()->sync([&] {
      onMain = isMainThread();
      current = Queue::main()->isCurrent();
    });
    done = true;
  });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(current);
}

TEST_F(MainQueueTest, SyncFromTheMainThreadRunsInline) {
  int value = 0;
  Queue::main()->sync([&] { value = 1; });
  EXPECT_EQ(value, 1);
  Queue::main()->async([&] { Queue::main()->sync([&] { value = 2; }); });
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(value, 2);
}

TEST_F(MainQueueTest, RunReturnsAfterTheBlockThatStopsIt) {
  RunLoop& loop = RunLoop::main();
  std::vector<int> log;
  Queue::main()->async([&] {
    log.push_back(1);
    EXPECT_TRUE(loop.isRunning());
    loop.stop();
  });
  Queue::main()->async([&] { log.push_back(2); });
  loop.run();
  EXPECT_FALSE(loop.isRunning());
  EXPECT_EQ(log, (std::vector<int>{1}));
  loop.runUntilIdle();
  EXPECT_EQ(log, (std::vector<int>{1, 2}));
}

TEST_F(MainQueueTest, StopBeforeRunIsKeptForTheNextRun) {
  RunLoop& loop = RunLoop::main();
  bool ran = false;
  loop.stop();
  Queue::main()->async([&] { ran = true; });
  loop.run();  // Returns at once.
  EXPECT_FALSE(ran);
  loop.runUntilIdle();
  EXPECT_TRUE(ran);
}

TEST_F(MainQueueTest, StopFromAnotherThreadEndsRun) {
  RunLoop& loop = RunLoop::main();
  Semaphore started;
  Queue::main()->async([&] { started.signal(); });
  std::thread stopper([&] {
    (void)started.wait();
    loop.stop();
  });
  loop.run();
  stopper.join();
  EXPECT_FALSE(loop.isRunning());
}

TEST_F(MainQueueTest, RunUntilGivesUpAfterItsTimeOut) {
  EXPECT_FALSE(RunLoop::main().runUntil([] { return false; }, 0.01));
  EXPECT_TRUE(RunLoop::main().runUntil([] { return true; }, 0));
}

TEST_F(MainQueueTest, DrainingThreadCountsAsMainThread) {
  bool main = false;
  std::thread other([&] {
    Queue::main()->async([&] { main = isMainThread(); });
    RunLoop::main().runUntilIdle();
  });
  other.join();
  EXPECT_TRUE(main);
}

}  // namespace
}  // namespace dispatch
