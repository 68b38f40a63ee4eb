#include "platform/dispatch/semaphore.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

using SemaphoreTest = DispatchTest;

TEST_F(SemaphoreTest, CountsUnits) {
  Semaphore semaphore(2);
  EXPECT_EQ(semaphore.wait(0), WaitResult::kSuccess);
  EXPECT_EQ(semaphore.wait(0), WaitResult::kSuccess);
  EXPECT_EQ(semaphore.wait(0), WaitResult::kTimedOut);
  EXPECT_FALSE(semaphore.signal());  // Nobody was waiting.
  EXPECT_EQ(semaphore.wait(-1), WaitResult::kSuccess);

  Semaphore negative(-3);  // Taken as 0.
  EXPECT_EQ(negative.wait(0), WaitResult::kTimedOut);
  negative.signal();
  EXPECT_EQ(negative.wait(0), WaitResult::kSuccess);
}

TEST_F(SemaphoreTest, SignalWakesAWaiter) {
  Semaphore handOver;
  WaitResult result = WaitResult::kTimedOut;
  std::thread waiter([&] { result = handOver.wait(100); });
  waitForPendingTimers(*clock_, 1);  // The waiter is now counted as waiting.
  EXPECT_TRUE(handOver.signal());
  waiter.join();
  EXPECT_EQ(result, WaitResult::kSuccess);

  std::thread forever([&] { result = handOver.wait(); });
  handOver.signal();
  forever.join();
  EXPECT_EQ(result, WaitResult::kSuccess);
}

TEST_F(SemaphoreTest, TimeOutFollowsTheClock) {
  Semaphore semaphore;
  WaitResult result = WaitResult::kSuccess;
  std::thread waiter([&] { result = semaphore.wait(10); });
  waitForPendingTimers(*clock_, 1);
  clock_->advance(9.5);
  EXPECT_EQ(clock_->pendingTimerCount(), 1u);  // Still waiting.
  clock_->advance(0.5);
  waiter.join();
  EXPECT_EQ(result, WaitResult::kTimedOut);
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);

  // A waiter that times out takes nothing: a later unit is still there.
  semaphore.signal();
  EXPECT_EQ(semaphore.wait(0), WaitResult::kSuccess);
}

TEST_F(SemaphoreTest, SignalBeforeTheTimeOutWinsAndForgetsTheDeadline) {
  Semaphore semaphore;
  WaitResult result = WaitResult::kTimedOut;
  std::thread waiter([&] { result = semaphore.wait(10); });
  waitForPendingTimers(*clock_, 1);
  semaphore.signal();
  waiter.join();
  EXPECT_EQ(result, WaitResult::kSuccess);
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

}  // namespace
}  // namespace dispatch
