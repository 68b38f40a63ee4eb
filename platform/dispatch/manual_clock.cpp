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
    if (deadline > now) {
      const TimerId id = nextId_++;
      entries_.emplace(id, Entry{base, deadline, std::move(fire)});
      return id;
    }
  }
  fire();
  return 0;
}

bool ManualClock::cancelTimer(TimerId id) {
  std::function<void()> dropped;  // Destroyed outside the lock.
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  dropped = std::move(it->second.fire);
  entries_.erase(it);
  return true;
}

size_t ManualClock::pendingTimerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
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
      // The entry that comes due first, measured in boot time: a wall deadline is due when the
      // boot time has moved by its distance from the current wall time.
      auto best = entries_.end();
      double bestDue = 0;
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        const Entry& e = it->second;
        const double due =
            e.base == Base::kUptime ? e.deadline : uptime_ + (e.deadline - wallTime_);
        if (best == entries_.end() || due < bestDue) {  // Ties keep the lower id: map order.
          best = it;
          bestDue = due;
        }
      }
      if (best == entries_.end() || bestDue > target + kTolerance) {
        if (target > uptime_) {
          wallTime_ += target - uptime_;
          uptime_ = target;
        }
        return;
      }
      if (bestDue > uptime_) {  // Stop the clock at this deadline while it fires.
        wallTime_ += bestDue - uptime_;
        uptime_ = bestDue;
      }
      fire = std::move(best->second.fire);
      entries_.erase(best);
    }
    try {
      fire();
    } catch (...) {
      std::fprintf(stderr, "dispatch: a timer deadline threw an exception\n");
    }
  }
}

}  // namespace dispatch
