// A counting semaphore. wait() takes one unit, waiting while there is none; signal() gives one
// back and wakes a waiter. Time-outs are measured in boot time on the semaphore's clock, so under
// a ManualClock a waiter times out when the test advances the clock, not by itself.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/dispatch/clock.h"

namespace dispatch {

enum class WaitResult { kSuccess, kTimedOut };

class Semaphore {
 public:
  // Starts with `value` units (0 for a hand-over between threads). A negative value is taken as
  // 0. Time-outs use `clock`, or Clock::current() at each wait when `clock` is null.
  explicit Semaphore(int64_t value = 0, std::shared_ptr<Clock> clock = nullptr);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Gives back one unit. Returns true when a waiting thread was woken by it.
  bool signal();

  // Takes one unit, waiting at most `timeout` seconds (kForever: no limit; 0 or less: do not
  // wait). Returns kTimedOut when no unit came in time; then nothing was taken.
  // REQUIRES: the semaphore outlives the call.
  [[nodiscard]] WaitResult wait(double timeout = kForever);

 private:
  struct State;
  const std::shared_ptr<State> state_;  // Shared with pending time-out deadlines.
};

}  // namespace dispatch
