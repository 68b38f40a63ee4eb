// The source of all time in the program: wall time (seconds since 1970) and time since boot
// (seconds), plus one-shot deadlines on either of them. Every delayed block, timer source and
// timed wait reaches time through a Clock, so that a test can install a ManualClock and decide
// when time passes.
//
// Clock::current() is the process-wide clock, the real one unless a test has installed another
// with ScopedClock. Classes that want a fixed clock take one explicitly instead.
//
// Thread safety: every Clock method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

namespace dispatch {

// A time-out or delay that never ends.
inline constexpr double kForever = std::numeric_limits<double>::infinity();

class Clock {
 public:
  // Which of the two times a deadline is measured on. Boot time never jumps; wall time can (a
  // user setting the date, or a test calling ManualClock::setWallTime).
  enum class Base { kUptime, kWallTime };

  // Identifies a deadline registered with scheduleAt(). 0 is never a valid id.
  using TimerId = uint64_t;

  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock();

  // Seconds since 1970-01-01 00:00:00 UTC.
  virtual double wallTime() const = 0;
  // Seconds since the machine booted; never goes backwards.
  virtual double uptime() const = 0;

  // The current time on `base`.
  double now(Base base) const { return base == Base::kUptime ? uptime() : wallTime(); }

  // Calls `fire` once when the time on `base` reaches `deadline`. `fire` runs on a thread of the
  // clock's choosing (the real clock's timer thread, or the thread that advances a manual clock)
  // and must be short: it should only hand work to a queue, never run it. A deadline that has
  // already passed fires before scheduleAt returns, on the calling thread, and 0 is returned; so
  // a caller must not hold a lock that `fire` takes. A deadline of kForever (or NaN) never fires.
  virtual TimerId scheduleAt(Base base, double deadline, std::function<void()> fire) = 0;

  // Forgets a deadline. Returns true when `fire` had not been called and now never will be;
  // false when it already fired, is firing right now on another thread, or `id` is unknown.
  virtual bool cancelTimer(TimerId id) = 0;

  // The process-wide real clock (system wall time, CLOCK_BOOTTIME), alive for the whole process.
  static std::shared_ptr<Clock> real();

  // The clock installed by the innermost live ScopedClock, else real().
  static std::shared_ptr<Clock> current();
};

// Installs a clock as Clock::current() for its lifetime and puts the previous one back when it
// ends. Guards must end in reverse order of creation (as scopes do). Meant for tests and for the
// process entry; blocks already waiting on the previous clock keep using it.
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<Clock> clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
};

}  // namespace dispatch
