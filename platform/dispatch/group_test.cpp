#include "platform/dispatch/group.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

using GroupTest = DispatchTest;

TEST_F(GroupTest, NotifyRunsOnceTheLastItemLeaves) {
  Group group;
  auto main = Queue::main();
  std::vector<std::string> log;
  group.enter();
  group.enter();
  group.notify(main, [&] { log.push_back("notified"); });
  group.leave();
  RunLoop::main().runUntilIdle();
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(group.wait(0), WaitResult::kTimedOut);
  group.leave();
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"notified"}));
  EXPECT_EQ(group.wait(0), WaitResult::kSuccess);

  // Notify on an empty group: at once. Each notification runs once.
  group.notify(main, [&] { log.push_back("empty"); });
  group.enter();
  group.leave();
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"notified", "empty"}));
}

TEST_F(GroupTest, AsyncBlocksAreItemsEvenWhenTheyThrowOrAreDropped) {
  Group group;
  auto queue = Queue::create("q");
  int done = 0;  // Touched only on `queue`.
  group.async(queue, [&] { ++done; });
  group.async(queue, [&] {
    ++done;
    throw std::runtime_error("boom");
  });
  group.async(queue, [&] { ++done; });
  EXPECT_EQ(group.wait(), WaitResult::kSuccess);
  queue->sync([&] { EXPECT_EQ(done, 3); });

  // A block dropped with its queue still leaves the group.
  Semaphore gate, released;
  std::shared_ptr<Queue> doomed = Queue::create("doomed");
  doomed->async([&] {
    (void)gate.wait();
    doomed.reset();
    released.signal();
  });
  group.async(doomed, [&] { ADD_FAILURE() << "ran on a released queue"; });
  gate.signal();
  ASSERT_EQ(released.wait(), WaitResult::kSuccess);
  EXPECT_EQ(group.wait(), WaitResult::kSuccess);
}

TEST_F(GroupTest, WaitTimesOutWithTheClock) {
  Group group;
  group.enter();
  WaitResult result = WaitResult::kSuccess;
  std::thread waiter([&] { result = group.wait(5); });
  waitForPendingTimers(*clock_, 1);
  clock_->advance(5);
  waiter.join();
  EXPECT_EQ(result, WaitResult::kTimedOut);

  std::thread second([&] { result = group.wait(5); });
  waitForPendingTimers(*clock_, 1);
  group.leave();
  second.join();
  EXPECT_EQ(result, WaitResult::kSuccess);
}

TEST_F(GroupTest, UnmatchedLeaveIsIgnored) {
  Group group;
  group.leave();  // Logged; the count stays at zero.
  group.enter();
  EXPECT_EQ(group.wait(0), WaitResult::kTimedOut);
  group.leave();
  EXPECT_EQ(group.wait(0), WaitResult::kSuccess);
}

}  // namespace
}  // namespace dispatch
