#include "platform/dispatch/clock.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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
    const TimerId id = nextId_++;
    entries_.emplace(id, Entry{base, deadline, std::move(fire)});
    if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
    cv_.notify_all();
    return id;
  }

  bool cancelTimer(TimerId id) override {
    std::function<void()> dropped;  // Destroyed outside the lock.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    dropped = std::move(it->second.fire);
    entries_.erase(it);
    return true;
  }

 private:
  struct Entry {
    Base base;
    double deadline;
    std::function<void()> fire;
  };

  // The timer thread: fires due entries (earliest first, ties by id) and sleeps until the next
  // one. Sleeps are capped so that a jump of the wall time, or a machine suspend, is noticed.
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (entries_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const double up = uptime();
      const double wall = wallTime();
      auto best = entries_.end();
      double bestRemaining = 0;
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        const double remaining =
            it->second.deadline - (it->second.base == Base::kUptime ? up : wall);
        if (best == entries_.end() || remaining < bestRemaining) {
          best = it;
          bestRemaining = remaining;
        }
      }
      if (bestRemaining > 0) {
        const double wait = std::min(bestRemaining, 1.0);
        cv_.wait_for(lock, std::chrono::duration<double>(wait));
        continue;
      }
      std::function<void()> fire = std::move(best->second.fire);
      entries_.erase(best);
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
  TimerId nextId_ = 1;
  std::map<TimerId, Entry> entries_;
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
