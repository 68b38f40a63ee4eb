#include "analytics/foundation/alarm.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "analytics/foundation/test_support.h"

namespace {

class AlarmTest : public ZIVFoundationTest {
 protected:
  AlarmTest()
      : monitor_(clock_),
        log_(monitor_.get()),
        queue_(dispatch::Queue::create("test.alarm", dispatch::Qos::kUtility, clock_)) {}

  std::unique_ptr<ZIVAlarm> MakeAlarm(std::string name) {
    return std::make_unique<ZIVAlarm>(queue_, std::move(name), monitor_.get(), clock_);
  }
  // Moves time on and runs what came due on the alarm's queue.
  void Advance(double seconds) {
    clock_->advance(seconds);
    queue_->sync([] {});
  }

  ZIVTestMonitor monitor_;
  ZIVLogCapture log_;
  std::shared_ptr<dispatch::Queue> queue_;
};

TEST_F(AlarmTest, FiresOnceAtItsTimeAndIsIdleWhenItsBlockRuns) {
  auto alarm = MakeAlarm("Measurement timer");
  const double start = clock_->wallTime();
  int runs = 0;
  std::optional<double> timestampInBlock = 0;
  bool activeInBlock = true;
  alarm->runAfterDelay(30, [&] {
    ++runs;
    timestampInBlock = alarm->scheduledTimestamp();
    activeInBlock = alarm->hasActiveTimer();
  });
  EXPECT_EQ(alarm->scheduledTimestamp(), start + 30);
  EXPECT_TRUE(alarm->hasActiveTimer());
  ExpectLogged(log_, 7, 2002, "Measurement timer scheduled to fire in approx. (s)");
  EXPECT_EQ(log_.withCode(2002)[0].contexts, fnd::Array{fnd::Value(30.0)});

  Advance(29.999);
  EXPECT_EQ(runs, 0);
  Advance(0.001);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(timestampInBlock, std::nullopt);
  EXPECT_FALSE(activeInBlock);
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{2002, 2001, 2003}));
  ExpectLogged(log_, 7, 2001, "Measurement timer fired");
  ExpectLogged(log_, 7, 2003, "Measurement timer canceled");

  Advance(1000);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(alarm->hasActiveTimer());
}

TEST_F(AlarmTest, ReschedulingReplacesThePendingSchedule) {
  auto alarm = MakeAlarm("Engagement timer");
  std::vector<int> fired;
  alarm->runAfterDelay(10, [&] { fired.push_back(1); });
  Advance(5);
  alarm->runAfterDelay(10, [&] { fired.push_back(2); });
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{2002, 2003, 2002}));
  EXPECT_EQ(alarm->scheduledTimestamp(), clock_->wallTime() + 10);
  Advance(5);
  EXPECT_TRUE(fired.empty()) << "the first schedule was replaced";
  Advance(5);
  EXPECT_EQ(fired, std::vector<int>{2});
}

TEST_F(AlarmTest, EmptyBlockIsRefusedAndLeavesThePendingScheduleAlone) {
  auto alarm = MakeAlarm("");
  EXPECT_EQ(alarm->name(), "Timer");
  bool ran = false;
  alarm->runAfterDelay(10, [&] { ran = true; });
  alarm->runAfterDelay(1, nullptr);
  ExpectLogged(log_, 1, 2000, "Timer tried to schedule an empty block");
  EXPECT_TRUE(log_.withCode(2003).empty());
  Advance(10);
  EXPECT_TRUE(ran);
}

TEST_F(AlarmTest, CancelStopsAPendingScheduleAndIsQuietWhenIdle) {
  auto alarm = MakeAlarm("A");
  alarm->cancel();
  EXPECT_TRUE(log_.entries().empty());
  bool ran = false;
  alarm->runAfterDelay(10, [&] { ran = true; });
  alarm->cancel();
  ExpectLogged(log_, 7, 2003, "A canceled");
  EXPECT_FALSE(alarm->hasActiveTimer());
  EXPECT_EQ(alarm->scheduledTimestamp(), std::nullopt);
  alarm->cancel();
  EXPECT_EQ(log_.withCode(2003).size(), 1u);
  Advance(20);
  EXPECT_FALSE(ran);
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(AlarmTest, DestroyingTheAlarmCancelsIt) {
  bool ran = false;
  auto alarm = MakeAlarm("B");
  alarm->runAfterDelay(10, [&] { ran = true; });
  alarm.reset();
  ExpectLogged(log_, 7, 2003, "B canceled");
  Advance(20);
  EXPECT_FALSE(ran);
}

TEST_F(AlarmTest, TheBlockMayRescheduleItsAlarm) {
  auto alarm = MakeAlarm("Upload");
  int runs = 0;
  std::function<void()> block = [&] {
    if (++runs < 3) alarm->runAfterDelay(60, block);
  };
  alarm->runAfterDelay(60, block);
  for (int i = 0; i < 5; ++i) Advance(60);
  EXPECT_EQ(runs, 3);
  EXPECT_FALSE(alarm->hasActiveTimer());
}

TEST_F(AlarmTest, RunsOnWallTimeSoADateJumpFiresIt) {
  auto alarm = MakeAlarm("C");
  bool ran = false;
  bool onQueue = false;
  alarm->runAfterDelay(3600, [&] {
    ran = true;
    onQueue = queue_->isCurrent();
  });
  clock_->setWallTime(clock_->wallTime() + 3600);
  queue_->sync([] {});
  EXPECT_TRUE(ran);
  EXPECT_TRUE(onQueue);
}

TEST_F(AlarmTest, ZeroOrNegativeDelayFiresAtOnce) {
  auto alarm = MakeAlarm("D");
  int runs = 0;
  alarm->runAfterDelay(0, [&] { ++runs; });
  queue_->sync([] {});
  alarm->runAfterDelay(-5, [&] { ++runs; });
  queue_->sync([] {});
  EXPECT_EQ(runs, 2);
}

}  // namespace
