// A clock for tests: time stands still until the test moves it. advance() moves wall time and
// boot time together and fires every deadline that became due, in due order (deadlines due at
// the same instant in the order they were scheduled), on the calling thread. A fired deadline of
// a delayed block or a timer source only enqueues that block onto its target queue; the test then
// drains the queue (a sync on it, or RunLoop::main().runUntilIdle() for the main queue).
//
// Thread safety: every method may be called from any thread; concurrent advance() calls are
// serialised. A deadline's callback must not call advance() or setWallTime() itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/deadline_set.h"

namespace dispatch {

class ManualClock : public Clock {
 public:
  // Starts at the given times; the defaults are a fixed date in November 2023 and 1000 seconds
  // after boot, so that tests do not depend on when they run.
  explicit ManualClock(double wallTime = 1700000000.0, double uptime = 1000.0);
  ~ManualClock() override;

  double wallTime() const override;
  double uptime() const override;
  TimerId scheduleAt(Base base, double deadline, std::function<void()> fire) override;
  bool cancelTimer(TimerId id) override;

  // Moves both times forward by `seconds`, firing due deadlines in order. Time stops at each
  // deadline while it fires, so a deadline scheduled by a firing callback that falls inside the
  // same step also fires in this call. A negative or NaN step is ignored.
  void advance(double seconds);

  // Sets the wall time alone (a jump, forwards or backwards), firing the wall-time deadlines that
  // became due. Boot time does not move.
  void setWallTime(double wallTime);

  // Number of deadlines that have not fired and were not cancelled.
  size_t pendingTimerCount() const;

 private:
  // Fires, in order, every entry due at or before the boot time `target`, stepping the clock.
  void fireDueUpTo(double target);

  std::mutex advanceMutex_;  // Serialises advance() and setWallTime().

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  double wallTime_;
  double uptime_;
  detail::DeadlineSet deadlines_;
};

}  // namespace dispatch
