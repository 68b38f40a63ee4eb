#include "platform/dispatch/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

using QueueTest = DispatchTest;

TEST_F(QueueTest, SerialQueueRunsBlocksInSubmissionOrder) {
  auto queue = Queue::create("com.example.serial", Qos::kUtility);
  EXPECT_EQ(queue->label(), "com.example.serial");
  EXPECT_EQ(queue->qos(), Qos::kUtility);
  EXPECT_FALSE(queue->isConcurrent());

  std::vector<int> order;  // Touched only on the queue.
  std::atomic<int> running{0};
  bool overlapped = false;
  for (int i = 0; i < 500; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  std::vector<int> seen;
  queue->sync([&] { seen = order; });
  ASSERT_EQ(seen.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_FALSE(overlapped);
}

TEST_F(QueueTest, SyncWaitsForEarlierBlocksAndRunsBeforeLaterOnes) {
  auto queue = Queue::create("q");
  Semaphore gate;
  std::vector<std::string> log;  // Touched only on the queue.
  queue->async([&] {
    (void)gate.wait();  // Holds the queue until the other thread is about to sync.
    log.push_back("first");
  });
  std::thread other([&] {
    gate.signal();
    queue->sync([&] { log.push_back("sync"); });
    queue->async([&] { log.push_back("after"); });
  });
  other.join();
  std::vector<std::string> seen;
  queue->sync([&] { seen = log; });
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "sync", "after"}));
}

TEST_F(QueueTest, SyncOntoTheCurrentQueueRunsInline) {
  auto a = Queue::create("a");
  auto b = Queue::create("b");
  std::vector<std::string> log;
  // From an async block of the queue itself.
  Semaphore done;
  a->async([&] {
    a->sync([&] { log.push_back("inner"); });
    log.push_back("outer");
    done.signal();
  });
  ASSERT_EQ(done.wait(), WaitResult::kSuccess);
  // Through nested syncs on two queues: a -> b -> a.
  a->sync([&] {
    b->sync([&] {
      EXPECT_TRUE(a->isCurrent());
      EXPECT_TRUE(b->isCurrent());
      EXPECT_EQ(Queue::current(), b);
      a->sync([&] { log.push_back("nested"); });
    });
  });
  EXPECT_EQ(log, (std::vector<std::string>{"inner", "outer", "nested"}));
}

TEST_F(QueueTest, IsCurrentOnlyInsideTheQueuesBlocks) {
  auto queue = Queue::create("q");
  auto other = Queue::create("other");
  EXPECT_FALSE(queue->isCurrent());
  bool onQueue = false, onOther = true, main = true;
  std::shared_ptr<Queue> current;
  Semaphore done;
  queue->async([&] {
    onQueue = queue->isCurrent();
    onOther = other->isCurrent();
    main = isMainThread();
    current = Queue::current();
    done.signal();
  });
  ASSERT_EQ(done.wait(), WaitResult::kSuccess);
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(onOther);
  EXPECT_FALSE(main);  // An async block runs on the queue's own thread.
  EXPECT_EQ(current, queue);

  // The test body runs on the initial thread: a main thread, on the main queue.
  EXPECT_TRUE(isMainThread());
  EXPECT_EQ(Queue::current(), Queue::main());
  std::thread([&] {
    main = isMainThread();
    current = Queue::current();
  }).join();
  EXPECT_FALSE(main);
  EXPECT_EQ(current, nullptr);
}

TEST_F(QueueTest, ThrowingBlocksAreCaughtAndTheQueueGoesOn) {
  auto queue = Queue::create("q");
  testing::internal::CaptureStderr();
  queue->async([] { throw std::runtime_error("boom"); });
  queue->async([] { throw 42; });
  queue->sync([] { throw std::logic_error("sync boom"); });  // Not passed to the caller.
  Queue::global()->sync([] { throw std::runtime_error("global"); });
  int after = 0;
  queue->sync([&] { after = 1; });
  EXPECT_EQ(after, 1);
  queue->async(nullptr);  // Ignored.
  queue->sync(nullptr);
  queue->after(1, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  for (const char* line : {
           "dispatch: block on queue \"q\" threw an exception: boom\n",
           "dispatch: block on queue \"q\" threw an exception\n",
           "dispatch: block on queue \"q\" threw an exception: sync boom\n",
           "dispatch: block on queue \"com.apple.root.default-qos\" threw an exception: global\n",
           "dispatch: null block passed to async on queue \"q\"; ignored\n",
           "dispatch: null block passed to after on queue \"q\"; ignored\n",
       }) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST_F(QueueTest, AfterEnqueuesInDueOrderWhenTheClockAdvances) {
  auto queue = Queue::create("q");
  std::vector<std::string> log;  // Touched only on the queue.
  queue->after(3, [&] { log.push_back("3s"); });
  queue->after(1, [&] { log.push_back("1s-a"); });
  queue->after(1, [&] { log.push_back("1s-b"); });
  queue->after(kForever, [&] { log.push_back("never"); });
  queue->after(0, [&] { log.push_back("now"); });
  queue->after(-5, [&] { log.push_back("negative"); });

  std::vector<std::string> seen;
  queue->sync([&] { seen = log; });
  EXPECT_EQ(seen, (std::vector<std::string>{"now", "negative"}));
  clock_->advance(0.999);
  queue->sync([&] { seen = log; });
  EXPECT_EQ(seen.size(), 2u);
  clock_->advance(10);
  queue->sync([&] { seen = log; });
  EXPECT_EQ(seen, (std::vector<std::string>{"now", "negative", "1s-a", "1s-b", "3s"}));
}

TEST_F(QueueTest, ExplicitClockIsUsedInsteadOfTheCurrentOne) {
  auto own = std::make_shared<ManualClock>();
  auto queue = Queue::create("q", Qos::kDefault, own);
  EXPECT_EQ(queue->clock(), own);
  bool ran = false;
  queue->after(1, [&] { ran = true; });
  clock_->advance(5);  // The current clock: not the queue's.
  queue->sync([] {});
  EXPECT_FALSE(ran);
  own->advance(1);
  queue->sync([] {});
  EXPECT_TRUE(ran);
}

TEST_F(QueueTest, ReleasedQueueDropsWorkThatHasNotStarted) {
  std::shared_ptr<Queue> holder = Queue::create("doomed");
  std::atomic<bool> pendingRan{false}, delayedRan{false};
  holder->after(1, [&] { delayedRan = true; });

  // The last reference goes inside the queue's own block, while another block waits.
  Semaphore gate, done;
  holder->async([&] {
    (void)gate.wait();
    holder.reset();
    done.signal();
  });
  holder->async([&] { pendingRan = true; });
  gate.signal();
  ASSERT_EQ(done.wait(), WaitResult::kSuccess);

  clock_->advance(2);  // The delayed block comes due for a queue that is gone.
  EXPECT_FALSE(pendingRan);
  EXPECT_FALSE(delayedRan);

  // Released from another thread while idle: the delayed block is dropped too.
  auto idle = Queue::create("idle");
  idle->after(1, [&] { delayedRan = true; });
  idle.reset();
  clock_->advance(2);
  EXPECT_FALSE(delayedRan);
}

// A delayed block coming due on another thread while its queue is let go: it runs before the
// release or not at all, and nothing touches freed memory. Run under ThreadSanitizer.
TEST_F(QueueTest, DelayedBlockRacingTheReleaseOfItsQueue) {
  for (int round = 0; round < 200; ++round) {
    auto queue = Queue::create("racing");
    auto ran = std::make_shared<std::atomic<bool>>(false);
    queue->after(1, [ran] { *ran = true; });
    Semaphore go;
    std::thread advancer([&] {
      go.signal();
      clock_->advance(1);
    });
    (void)go.wait();
    queue.reset();
    advancer.join();
    const bool before = ran->load();
    clock_->advance(1);
    EXPECT_EQ(ran->load(), before);
  }
}

TEST_F(QueueTest, BlocksFromManyThreadsKeepEachThreadsOrder) {
  auto queue = Queue::create("q");
  constexpr int kThreads = 4, kBlocks = 200;
  std::vector<std::vector<int>> seen(kThreads);  // Touched only on the queue.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i) {
        if (i % 50 == 49) {
          queue->sync([&, t, i] { seen[t].push_back(i); });
        } else {
          queue->async([&, t, i] { seen[t].push_back(i); });
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue->sync([&] {
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_EQ(seen[t].size(), static_cast<size_t>(kBlocks));
      for (int i = 0; i < kBlocks; ++i) EXPECT_EQ(seen[t][i], i);
    }
  });
}

TEST_F(QueueTest, ReleasingWaitsForTheRunningBlock) {
  auto queue = Queue::create("q");
  Semaphore started;
  std::atomic<bool> finished{false};
  queue->async([&] {
    started.signal();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    finished = true;
  });
  ASSERT_EQ(started.wait(), WaitResult::kSuccess);
  queue.reset();
  EXPECT_TRUE(finished);  // No block of the queue runs after the release returns.
}

TEST_F(QueueTest, GlobalQueuesRunBlocksConcurrently) {
  auto global = Queue::global(Qos::kUtility);
  EXPECT_EQ(global->label(), "com.apple.root.utility-qos");
  EXPECT_TRUE(global->isConcurrent());
  EXPECT_EQ(Queue::global(Qos::kUtility), global);
  EXPECT_NE(Queue::global(Qos::kDefault), global);

  // Each block waits for the other: only concurrent execution lets both finish.
  Semaphore a, b, done;
  global->async([&] {
    a.signal();
    (void)b.wait();
    done.signal();
  });
  global->async([&] {
    b.signal();
    (void)a.wait();
    done.signal();
  });
  ASSERT_EQ(done.wait(), WaitResult::kSuccess);
  ASSERT_EQ(done.wait(), WaitResult::kSuccess);

  bool current = false;
  global->sync([&] { current = global->isCurrent(); });
  EXPECT_TRUE(current);
}

TEST_F(QueueTest, QosNames) {
  struct Case {
    Qos qos;
    const char* label;
  };
  const Case cases[] = {
      {Qos::kBackground, "com.apple.root.background-qos"},
      {Qos::kUtility, "com.apple.root.utility-qos"},
      {Qos::kDefault, "com.apple.root.default-qos"},
      {Qos::kUserInitiated, "com.apple.root.user-initiated-qos"},
      {Qos::kUserInteractive, "com.apple.root.user-interactive-qos"},
  };
  for (const Case& c : cases) EXPECT_EQ(Queue::global(c.qos)->label(), c.label);
}

}  // namespace
}  // namespace dispatch
