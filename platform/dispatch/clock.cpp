#include "platform/dispatch/clock.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/deadline_set.h"

namespace dispatch {

Clock::~Clock() = default;

namespace {

// The system clocks, with one timer thread that fires deadlines. Lives for the whole process
// (never destroyed), so that deadlines can outlive any object that scheduled them.
class RealClock : public Clock {
 public:
  double wallTime() const override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }

  double uptime() const override {
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }

  TimerId scheduleAt(Base base, double deadline, std::function<void()> fire) override {
    if (!fire || std::isnan(deadline) || deadline == kForever) return 0;
    if (deadline <= now(base)) {
      fire();
      return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const TimerId id = deadlines_.add(base, deadline, std::move(fire));
    if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
    cv_.notify_all();
    return id;
  }

  bool cancelTimer(TimerId id) override {
    std::function<void()> dropped;  // Destroyed outside the lock.
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = deadlines_.take(id);
    return dropped != nullptr;
  }

 private:
  // The timer thread: fires due entries (earliest first, ties by id) and sleeps until the next
  // one. Sleeps are capped so that a jump of the wall time, or a machine suspend, is noticed.
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (deadlines_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const double up = uptime();
      const std::optional<detail::DeadlineSet::Next> next = deadlines_.next(up, wallTime());
      const double remaining = next->dueUptime - up;
      if (remaining > 0) {
        cv_.wait_for(lock, std::chrono::duration<double>(std::min(remaining, 1.0)));
        continue;
      }
      std::function<void()> fire = deadlines_.take(next->id);
      lock.unlock();
      try {
        fire();
      } catch (...) {
        std::fprintf(stderr, "dispatch: a timer deadline threw an exception\n");
      }
      fire = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  // Guarded by mutex_.
  detail::DeadlineSet deadlines_;
  std::thread thread_;  // Started with the first deadline; never joined.
};

std::mutex& currentMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Guarded by currentMutex(); null means the real clock.
std::shared_ptr<Clock>& currentSlot() {
  static std::shared_ptr<Clock>* slot = new std::shared_ptr<Clock>;
  return *slot;
}

}  // namespace

std::shared_ptr<Clock> Clock::real() {
  // Deliberately never destroyed: its timer thread may run during process exit.
  static std::shared_ptr<Clock>* clock = new std::shared_ptr<Clock>(new RealClock);
  return *clock;
}

std::shared_ptr<Clock> Clock::current() {
  {
    std::lock_guard<std::mutex> lock(currentMutex());
    if (currentSlot()) return currentSlot();
  }
  return real();
}

ScopedClock::ScopedClock(std::shared_ptr<Clock> clock) {
  std::lock_guard<std::mutex> lock(currentMutex());
  previous_ = std::exchange(currentSlot(), std::move(clock));
}

ScopedClock::~ScopedClock() {
  std::shared_ptr<Clock> ours;  // Released outside the lock.
  std::lock_guard<std::mutex> lock(currentMutex());
  ours = std::exchange(currentSlot(), std::move(previous_));
}

}  // namespace dispatch
