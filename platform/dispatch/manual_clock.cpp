#include "platform/dispatch/manual_clock.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace dispatch {

namespace {
// Deadlines within this distance of the target count as due: wall times near 1.7e9 carry rounding
// errors of a few 1e-7 seconds, which must not keep "advance by exactly the delay" from firing.
constexpr double kTolerance = 1e-6;
}  // namespace

ManualClock::ManualClock(double wallTime, double uptime) : wallTime_(wallTime), uptime_(uptime) {}

ManualClock::~ManualClock() = default;

double ManualClock::wallTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wallTime_;
}

double ManualClock::uptime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uptime_;
}

Clock::TimerId ManualClock::scheduleAt(Base base, double deadline, std::function<void()> fire) {
  if (!fire || std::isnan(deadline) || deadline == kForever) return 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = base == Base::kUptime ? uptime_ : wallTime_;
    if (deadline > now) return deadlines_.add(base, deadline, std::move(fire));
  }
  fire();
  return 0;
}

bool ManualClock::cancelTimer(TimerId id) {
  std::function<void()> dropped;  // Destroyed outside the lock.
  std::lock_guard<std::mutex> lock(mutex_);
  dropped = deadlines_.take(id);
  return dropped != nullptr;
}

size_t ManualClock::pendingTimerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deadlines_.size();
}

void ManualClock::advance(double seconds) {
  if (!(seconds >= 0)) return;  // Negative or NaN.
  std::lock_guard<std::mutex> serial(advanceMutex_);
  double target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target = uptime_ + seconds;
  }
  fireDueUpTo(target);
}

void ManualClock::setWallTime(double wallTime) {
  if (std::isnan(wallTime)) return;
  std::lock_guard<std::mutex> serial(advanceMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wallTime_ = wallTime;
  }
  double now;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now = uptime_;
  }
  fireDueUpTo(now);  // Boot time stays; only wall deadlines that are now due fire.
}

void ManualClock::fireDueUpTo(double target) {
  for (;;) {
    std::function<void()> fire;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::optional<detail::DeadlineSet::Next> next = deadlines_.next(uptime_, wallTime_);
      if (!next || next->dueUptime > target + kTolerance) {
        if (target > uptime_) {
          wallTime_ += target - uptime_;
          uptime_ = target;
        }
        return;
      }
      if (next->dueUptime > uptime_) {  // Stop the clock at this deadline while it fires.
        wallTime_ += next->dueUptime - uptime_;
        uptime_ = next->dueUptime;
      }
      fire = deadlines_.take(next->id);
    }
    try {
      fire();
    } catch (...) {
      std::fprintf(stderr, "dispatch: a timer deadline threw an exception\n");
    }
  }
}

}  // namespace dispatch
