#include "platform/dispatch/timer_source.h"

#include <cmath>
#include <mutex>
#include <utility>

namespace dispatch {

struct TimerSource::State {
  std::mutex mutex;
  // Guarded by mutex.
  bool cancelled = false;
  uint64_t generation = 0;  // Bumped by every schedule() and by cancel(); a fire carries its own.
  bool pending = false;
  Handler handler;  // Of the current generation, until it starts or is replaced.
  Clock::TimerId timer = 0;

  // On the target queue: runs the handler when generation `gen` is still the live one.
  static void fire(const std::shared_ptr<State>& s, uint64_t gen) {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (s->cancelled || !s->pending || s->generation != gen) return;  // Stale.
      s->pending = false;
      s->timer = 0;
      handler = std::move(s->handler);
    }
    handler();
  }
};

TimerSource::TimerSource(std::shared_ptr<Queue> queue, std::shared_ptr<Clock> clock)
    : queue_(std::move(queue)),
      clock_(clock ? std::move(clock) : Clock::current()),
      state_(std::make_shared<State>()) {}

TimerSource::~TimerSource() { cancel(); }

bool TimerSource::schedule(double delay, Handler handler, Clock::Base base) {
  if (!handler || !queue_) return false;
  Handler replaced;  // Released outside the lock.
  Clock::TimerId oldTimer;
  uint64_t gen;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->cancelled) return false;
    replaced = std::exchange(state_->handler, std::move(handler));
    gen = ++state_->generation;
    state_->pending = true;
    oldTimer = std::exchange(state_->timer, 0);
  }
  if (oldTimer != 0) clock_->cancelTimer(oldTimer);

  // The deadline holds the state and the queue weakly: a source or queue that is gone by then
  // fires nothing.
  std::weak_ptr<State> weakState = state_;
  std::weak_ptr<Queue> weakQueue = queue_;
  const double now = clock_->now(base);
  const double deadline = std::isnan(delay) || delay <= 0 ? now : now + delay;
  const Clock::TimerId timer = clock_->scheduleAt(base, deadline, [weakState, weakQueue, gen] {
    std::shared_ptr<State> s = weakState.lock();
    std::shared_ptr<Queue> q = weakQueue.lock();
    if (s && q) q->async([s, gen] { State::fire(s, gen); });
  });
  if (timer != 0) {
    bool superseded;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      superseded = state_->generation != gen;
      if (!superseded) state_->timer = timer;
    }
    if (superseded) clock_->cancelTimer(timer);  // Cancelled or rescheduled meanwhile.
  }
  return true;
}

void TimerSource::cancel() {
  Handler released;
  Clock::TimerId timer;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
    ++state_->generation;
    state_->pending = false;
    released = std::move(state_->handler);
    timer = std::exchange(state_->timer, 0);
  }
  if (timer != 0) clock_->cancelTimer(timer);
}

bool TimerSource::isCancelled() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->cancelled;
}

bool TimerSource::isPending() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->pending;
}

}  // namespace dispatch
