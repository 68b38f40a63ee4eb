#include "analytics/foundation/scheduler.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "analytics/foundation/test_support.h"

namespace {

class SchedulerTest : public ZIVFoundationTest {
 protected:
  SchedulerTest()
      : monitor_(clock_), log_(monitor_.get()), scheduler_("test.worker", monitor_.get()) {}

  // Waits for every block queued so far.
  void Drain() {
    scheduler_.workerQueue()->sync([] {});
  }

  ZIVTestMonitor monitor_;
  ZIVLogCapture log_;
  ZIVScheduler scheduler_;
};

TEST_F(SchedulerTest, WorkerQueueIsSerialAndLabelled) {
  EXPECT_EQ(scheduler_.workerQueue()->label(), "test.worker");
  EXPECT_EQ(scheduler_.workerQueue()->qos(), dispatch::Qos::kUtility);
  std::vector<int> order;
  for (int i = 0; i < 20; ++i) {
    scheduler_.scheduleOnWorkerQueueBlockID("ZIVTest:" + std::to_string(i),
                                            [&order, i] { order.push_back(i); });
  }
  scheduler_.dispatchSyncOnWorkerQueueBlockID("sync", [&order] { order.push_back(99); });
  ASSERT_EQ(order.size(), 21u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(order.back(), 99);
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(SchedulerTest, NilBlocksAreLoggedAndNothingRuns) {
  scheduler_.scheduleOnWorkerQueueBlockID("ZIVMeasurement:1", nullptr);
  scheduler_.dispatchSyncOnWorkerQueueBlockID("ZIVMeasurement:2", nullptr);
  ExpectLogged(log_, 1, 30005,
               "Nil block dispatched asynchronously on worker queue. Block ID=ZIVMeasurement:1.");
  ExpectLogged(log_, 1, 30002,
               "Nil block dispatched synchronously on worker queue. Block ID=ZIVMeasurement:2.");
  EXPECT_TRUE(log_.withCode(30004).empty());
}

TEST_F(SchedulerTest, AnExceptionIsLoggedAndTheQueueGoesOn) {
  scheduler_.scheduleOnWorkerQueueBlockID("ZIVDatabase:7",
                                          [] { throw std::runtime_error("disk on fire"); });
  bool ranAfter = false;
  scheduler_.scheduleOnWorkerQueueBlockID("after", [&ranAfter] { ranAfter = true; });
  Drain();
  EXPECT_TRUE(ranAfter);
  ExpectLogged(log_, 1, 30000, "Exception on worker queue. Block ID=ZIVDatabase:7. Exception");
  auto entry = log_.withCode(30000)[0];
  ASSERT_EQ(entry.contexts.size(), 1u);
  const ZIVExceptionRecord* exception = ZIVExceptionFromContext(entry.contexts[0]);
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->name(), "std::runtime_error");
  EXPECT_EQ(exception->reason(), "disk on fire");
  // Level 1 is printed and sampled.
  auto lines = monitor_.linesWithCode(30000);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message,
            "Exception on worker queue. Block ID=ZIVDatabase:7. Exception: std::runtime_error: "
            "disk on fire");
}

TEST_F(SchedulerTest, AFailedSyncBlockIsReportedOnBothSides) {
  scheduler_.dispatchSyncOnWorkerQueueBlockID("upload", [] { throw 42; });
  ExpectLogged(log_, 1, 30003,
               "Exception on worker queue when processing sync block. Block ID=upload. Exception");
  ExpectLogged(log_, 4, 30004, "Synchronous task failed. Block ID=upload");
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{30003, 30004}));
  const ZIVExceptionRecord* exception =
      ZIVExceptionFromContext(log_.withCode(30003)[0].contexts.at(0));
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->name(), "UnknownException");

  int value = 0;
  scheduler_.dispatchSyncOnWorkerQueueBlockID("ok", [&value] { value = 5; });
  EXPECT_EQ(value, 5);
  EXPECT_EQ(log_.withCode(30004).size(), 1u);
}

TEST_F(SchedulerTest, ASyncDispatchFromTheWorkerQueueRunsInlineInsteadOfHanging) {
  std::vector<std::string> order;
  scheduler_.dispatchSyncOnWorkerQueueBlockID("outer", [&] {
    order.push_back("outer");
    scheduler_.dispatchSyncOnWorkerQueueBlockID("inner", [&] {
      EXPECT_TRUE(scheduler_.workerQueue()->isCurrent());
      order.push_back("inner");
    });
    order.push_back("outer end");
  });
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner", "outer end"}));
  ExpectLogged(log_, 4, 30006,
               "Synchronous block dispatched from the worker queue itself; running it inline. "
               "Block ID=inner");

  // The same from an asynchronous block, with an exception inside.
  scheduler_.scheduleOnWorkerQueueBlockID("async", [&] {
    scheduler_.dispatchSyncOnWorkerQueueBlockID("nested", [] { throw std::logic_error("x"); });
  });
  Drain();
  EXPECT_EQ(log_.withCode(30003).size(), 1u);
  ExpectLogged(log_, 4, 30004, "Synchronous task failed. Block ID=nested");
}

TEST_F(SchedulerTest, BackgroundCheckRefusesTheMainThread) {
  ASSERT_TRUE(dispatch::isMainThread());
  EXPECT_FALSE(ZIVScheduler::checkOnBackgroundThreadWithMethodName("uploadOnWorkerQueue"));
  EXPECT_FALSE(ZIVScheduler::checkOnBackgroundThreadWithMethodName(""));
  auto entries = sharedLog_.withCode(30001);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].level, 1);
  EXPECT_EQ(entries[0].message, "Method uploadOnWorkerQueue should execute on background thread");
  EXPECT_EQ(entries[1].message, "Method <empty method name> should execute on background thread");

  // A synchronous block runs on the calling thread, so only asynchronous work is off it.
  bool onWorker = false;
  scheduler_.scheduleOnWorkerQueueBlockID("check", [&onWorker] {
    onWorker = ZIVScheduler::checkOnBackgroundThreadWithMethodName("m");
  });
  Drain();
  EXPECT_TRUE(onWorker);
  EXPECT_EQ(sharedLog_.withCode(30001).size(), 2u);
}

TEST_F(SchedulerTest, QueuedBlocksOutliveTheScheduler) {
  bool ran = false;
  std::shared_ptr<dispatch::Queue> queue;
  {
    ZIVScheduler scheduler("short.lived", monitor_.get());
    queue = scheduler.workerQueue();
    queue->async([] {});  // Holds the queue busy while the next block is queued.
    scheduler.scheduleOnWorkerQueueBlockID("late", [&ran] { ran = true; });
  }
  queue->sync([] {});
  EXPECT_TRUE(ran);
}

}  // namespace
