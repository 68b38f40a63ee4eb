// A one-shot timer source: after schedule(), its handler is enqueued on the source's queue once
// the delay has passed on the source's clock. Scheduling again before it fires replaces the
// pending fire (the old handler never runs). cancel() is final: nothing scheduled runs after it,
// and later schedule() calls are refused. Destroying the source cancels it.
//
// A fire is decided on the target queue, at the moment its block starts: a handler whose schedule
// was replaced or cancelled before then never runs, even when the deadline already fired on the
// clock's thread. A handler that has already started runs to its end.
//
// Thread safety: every method may be called from any thread, including from the handler.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace dispatch {

class TimerSource {
 public:
  using Handler = std::function<void()>;

  // A source whose handler runs on `queue`, timed by `clock` (Clock::current() at creation when
  // null).
  explicit TimerSource(std::shared_ptr<Queue> queue, std::shared_ptr<Clock> clock = nullptr);
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  // Arms the source: `handler` is enqueued once `delay` seconds have passed on `base` (0 or less:
  // at once). Replaces a pending fire. Returns false, doing nothing, when the source is cancelled
  // or `handler` is null.
  bool schedule(double delay, Handler handler, Clock::Base base = Clock::Base::kUptime);

  // Cancels for good: a pending fire never runs and the handler is released. Cancelling twice is
  // harmless.
  void cancel();

  bool isCancelled() const;

  // True between schedule() and the start of its handler (or cancel()).
  bool isPending() const;

  const std::shared_ptr<Queue>& queue() const { return queue_; }
  const std::shared_ptr<Clock>& clock() const { return clock_; }

 private:
  struct State;

  // Constant after construction.
  const std::shared_ptr<Queue> queue_;
  const std::shared_ptr<Clock> clock_;
  const std::shared_ptr<State> state_;  // Shared with the clock deadline and queued blocks.
};

}  // namespace dispatch
