#include "platform/dispatch/operation_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

using OperationQueueTest = DispatchTest;

TEST_F(OperationQueueTest, RunsOneOperationAtATimeInSubmissionOrder) {
  // On a global (concurrent) queue too: the operation queue keeps them one at a time.
  OperationQueue queue("ops", false, Queue::global());
  EXPECT_EQ(queue.name(), "ops");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    queue.addOperation([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0u);
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
}

TEST_F(OperationQueueTest, SuspendedQueueHoldsOperationsUntilResumed) {
  OperationQueue queue("ops", /*suspended=*/true);
  EXPECT_TRUE(queue.isSuspended());
  EXPECT_EQ(queue.underlyingQueue()->label(), "ops");
  std::vector<int> order;
  queue.addOperation([&] { order.push_back(1); });
  queue.addOperation([&] { order.push_back(2); });
  queue.underlyingQueue()->sync([] {});  // Anything started would have run by now.
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(queue.operationCount(), 2u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(OperationQueueTest, SuspendingLetsTheRunningOperationFinish) {
  OperationQueue queue("ops");
  Semaphore started, gate;
  std::vector<int> order;
  queue.addOperation([&] {
    started.signal();
    (void)gate.wait();
    order.push_back(1);
  });
  queue.addOperation([&] { order.push_back(2); });
  ASSERT_EQ(started.wait(), WaitResult::kSuccess);
  queue.setSuspended(true);
  gate.signal();
  queue.underlyingQueue()->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1}));
  EXPECT_EQ(queue.operationCount(), 1u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(OperationQueueTest, ThrowingOperationDoesNotStopTheQueue) {
  OperationQueue queue("ops");
  bool next = false;
  queue.addOperation([] { throw std::runtime_error("boom"); });
  queue.addOperation(nullptr);  // Ignored.
  queue.addOperation([&] { next = true; });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(next);
}

TEST_F(OperationQueueTest, WaitingFromInsideAnOperationDoesNotHang) {
  OperationQueue queue("ops");
  bool returned = false;
  queue.addOperation([&] {
    queue.waitUntilAllOperationsAreFinished();
    returned = true;
  });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(returned);
}

TEST_F(OperationQueueTest, WaitingFromAnotherBlockOfTheSameUnderlyingQueueWaits) {
  // Operations on a global queue; the wait comes from another block of that global queue, which
  // is not an operation and so must really wait.
  OperationQueue queue("ops", true, Queue::global());
  std::atomic<bool> ran{false}, waited{false};
  queue.addOperation([&] { ran = true; });
  Semaphore done;
  Queue::global()->async([&] {
    queue.waitUntilAllOperationsAreFinished();
    waited = ran.load();
    done.signal();
  });
  queue.setSuspended(false);
  ASSERT_EQ(done.wait(), WaitResult::kSuccess);
  EXPECT_TRUE(waited);
}

TEST_F(OperationQueueTest, DestroyingDropsWaitingOperations) {
  auto underlying = Queue::create("under");
  bool ran = false;
  {
    OperationQueue queue("ops", true, underlying);
    queue.addOperation([&] { ran = true; });
  }
  underlying->sync([] {});
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace dispatch
