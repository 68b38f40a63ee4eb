// ZIVAlarm: a named one-shot timer on a given queue. runAfterDelay() arms it (replacing a pending
// schedule); when it fires, it logs, forgets its schedule and runs the block on its queue.
// Destroying the alarm cancels it. Times are wall-clock times of the alarm's clock, so a test
// drives an alarm with a dispatch::ManualClock.
//
// Log lines (through the monitor): 2000 (level 1) an empty block; 2001 fired, 2002 scheduled,
// 2003 canceled (level 7); 2004 not active (level 4). Each message begins with the name.
//
// Thread safety: every method may be called from any thread, also from the alarm's own block.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

class ZIVMonitor;

class ZIVAlarm {
 public:
  // An idle alarm firing on `queue`. An empty name becomes "Timer". Logs through `monitor`
  // (ZIVMeasurement::monitor() when null) and keeps time with `clock` (dispatch::Clock::current()
  // at creation when null).
  ZIVAlarm(std::shared_ptr<dispatch::Queue> queue, std::string name,
           std::shared_ptr<ZIVMonitor> monitor = nullptr,
           std::shared_ptr<dispatch::Clock> clock = nullptr);
  ~ZIVAlarm();
  ZIVAlarm(const ZIVAlarm&) = delete;
  ZIVAlarm& operator=(const ZIVAlarm&) = delete;

  const std::string& name() const;

  // Cancels any pending schedule, then arms the alarm to run `block` once on its queue when
  // `delay` seconds of wall time have passed. A null block logs 2000 and changes nothing.
  void runAfterDelay(double delay, std::function<void()> block);

  // Forgets the pending schedule, if any (logging 2003, and 2004 when the timer was no longer
  // active). Does nothing when idle.
  void cancel();

  // True while a timer exists and has not been cancelled.
  bool hasActiveTimer() const;

  // When the pending schedule is due (seconds since 1970), or nullopt when idle. A fired alarm is
  // idle by the time its block runs.
  std::optional<double> scheduledTimestamp() const;

 private:
  struct State;
  const std::shared_ptr<State> state_;
};
