#include "platform/dispatch/clock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/test_support.h"

namespace dispatch {
namespace {

using Base = Clock::Base;

class ManualClockTest : public DispatchTest {
 protected:
  // Schedules a deadline that appends `name` to fired_ when it fires.
  Clock::TimerId add(Base base, double deadline, std::string name) {
    return clock_->scheduleAt(base, deadline, [this, name] { fired_.push_back(name); });
  }
  std::vector<std::string> fired_;
};

TEST_F(ManualClockTest, TimeStandsStillUntilAdvanced) {
  const double wall = clock_->wallTime();
  const double up = clock_->uptime();
  EXPECT_EQ(clock_->now(Base::kWallTime), wall);
  clock_->advance(2.5);
  EXPECT_DOUBLE_EQ(clock_->wallTime(), wall + 2.5);
  EXPECT_DOUBLE_EQ(clock_->uptime(), up + 2.5);
  clock_->advance(-1);  // Time never goes back.
  clock_->advance(std::numeric_limits<double>::quiet_NaN());
  EXPECT_DOUBLE_EQ(clock_->uptime(), up + 2.5);
}

TEST_F(ManualClockTest, FiresInDueOrderWithTiesInSchedulingOrder) {
  const double up = clock_->uptime();
  const double wall = clock_->wallTime();
  add(Base::kUptime, up + 3, "c");
  add(Base::kUptime, up + 1, "a1");
  add(Base::kWallTime, wall + 2, "b-wall");
  add(Base::kUptime, up + 1, "a2");
  add(Base::kUptime, up + 10, "late");
  clock_->advance(3);
  EXPECT_EQ(fired_, (std::vector<std::string>{"a1", "a2", "b-wall", "c"}));
  EXPECT_EQ(clock_->pendingTimerCount(), 1u);
}

TEST_F(ManualClockTest, TimeStopsAtEachDeadlineWhileItFires) {
  const double up = clock_->uptime();
  std::vector<double> seen;
  clock_->scheduleAt(Base::kUptime, up + 1, [&] {
    seen.push_back(clock_->uptime());
    // Scheduled from a firing deadline, due inside the same step: fires in this advance too.
    clock_->scheduleAt(Base::kUptime, clock_->uptime() + 2,
                       [&] { seen.push_back(clock_->uptime()); });
  });
  clock_->advance(5);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_DOUBLE_EQ(seen[0], up + 1);
  EXPECT_DOUBLE_EQ(seen[1], up + 3);
  EXPECT_DOUBLE_EQ(clock_->uptime(), up + 5);
}

TEST_F(ManualClockTest, AdvancingByExactlyTheDelayFires) {
  // Wall times near 1.7e9 cannot hold 0.1 exactly; the deadline must fire all the same.
  for (double delay : {0.1, 0.3, 1e-3, 7.77}) {
    fired_.clear();
    add(Base::kWallTime, clock_->wallTime() + delay, "wall");
    add(Base::kUptime, clock_->uptime() + delay, "up");
    clock_->advance(delay);
    EXPECT_EQ(fired_, (std::vector<std::string>{"wall", "up"})) << delay;
  }
}

TEST_F(ManualClockTest, WallJumpFiresOnlyWallDeadlines) {
  const double up = clock_->uptime();
  const double wall = clock_->wallTime();
  add(Base::kWallTime, wall + 100, "wall");
  add(Base::kUptime, up + 100, "up");

  clock_->setWallTime(wall - 50);  // Backwards: nothing is due.
  EXPECT_TRUE(fired_.empty());
  clock_->setWallTime(wall + 500);
  EXPECT_EQ(fired_, (std::vector<std::string>{"wall"}));
  EXPECT_EQ(clock_->wallTime(), wall + 500);
  EXPECT_EQ(clock_->uptime(), up);  // Boot time did not move.
}

TEST_F(ManualClockTest, PastDeadlineFiresAtOnceAndForeverNever) {
  EXPECT_EQ(add(Base::kUptime, clock_->uptime(), "now"), 0u);
  EXPECT_EQ(add(Base::kWallTime, clock_->wallTime() - 10, "past"), 0u);
  EXPECT_EQ(fired_, (std::vector<std::string>{"now", "past"}));
  EXPECT_EQ(add(Base::kUptime, kForever, "never"), 0u);
  EXPECT_EQ(add(Base::kUptime, std::numeric_limits<double>::quiet_NaN(), "never"), 0u);
  clock_->advance(1e9);
  EXPECT_EQ(fired_.size(), 2u);
}

TEST_F(ManualClockTest, CancelledDeadlineNeverFires) {
  const Clock::TimerId a = add(Base::kUptime, clock_->uptime() + 1, "a");
  const Clock::TimerId b = add(Base::kUptime, clock_->uptime() + 2, "b");
  EXPECT_TRUE(clock_->cancelTimer(a));
  EXPECT_FALSE(clock_->cancelTimer(a));
  EXPECT_FALSE(clock_->cancelTimer(12345));
  clock_->advance(5);
  EXPECT_EQ(fired_, (std::vector<std::string>{"b"}));
  EXPECT_FALSE(clock_->cancelTimer(b));  // Already fired.
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(DispatchTest, ScopedClocksNestAndRestore) {
  EXPECT_EQ(Clock::current(), clock_);
  {
    auto inner = std::make_shared<ManualClock>(5, 6);
    ScopedClock scoped(inner);
    EXPECT_EQ(Clock::current(), inner);
    EXPECT_EQ(Clock::current()->wallTime(), 5);
  }
  EXPECT_EQ(Clock::current(), clock_);
}

using RealClockTest = DispatchTest;

TEST_F(RealClockTest, TellsSystemTimeAndFiresDeadlines) {
  auto real = Clock::real();
  EXPECT_NEAR(real->wallTime(), static_cast<double>(std::time(nullptr)), 2.0);
  const double up = real->uptime();
  EXPECT_GT(up, 0);
  EXPECT_GE(real->uptime(), up);

  // Deadlines fire on the timer thread, earliest first.
  Semaphore done(0, real);
  std::vector<int> order;
  real->scheduleAt(Base::kWallTime, real->wallTime() + 0.001, [&] { order.push_back(1); });
  real->scheduleAt(Base::kUptime, real->uptime() + 0.002, [&] {
    order.push_back(2);
    done.signal();
  });
  const Clock::TimerId never =
      real->scheduleAt(Base::kUptime, real->uptime() + 3600, [&] { order.push_back(99); });
  EXPECT_EQ(done.wait(), WaitResult::kSuccess);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_TRUE(real->cancelTimer(never));
}

}  // namespace
}  // namespace dispatch
