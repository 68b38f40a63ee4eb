#include "platform/dispatch/semaphore.h"

#include <condition_variable>
#include <mutex>

namespace dispatch {

struct Semaphore::State {
  std::shared_ptr<Clock> clock;  // Constant; may be null.
  std::mutex mutex;
  std::condition_variable cv;
  // Guarded by mutex.
  int64_t value = 0;
  int64_t waiters = 0;
};

Semaphore::Semaphore(int64_t value, std::shared_ptr<Clock> clock)
    : state_(std::make_shared<State>()) {
  state_->clock = std::move(clock);
  state_->value = value > 0 ? value : 0;
}

Semaphore::~Semaphore() = default;

bool Semaphore::signal() {
  // Notifies under the lock: a woken waiter may destroy the semaphore as soon as it returns.
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->value;
  state_->cv.notify_one();
  return state_->waiters > 0;
}

WaitResult Semaphore::wait(double timeout) {
  const std::shared_ptr<State>& s = state_;
  std::unique_lock<std::mutex> lock(s->mutex);
  if (s->value > 0) {
    --s->value;
    return WaitResult::kSuccess;
  }
  if (!(timeout > 0)) return WaitResult::kTimedOut;  // Also NaN.

  // The time-out is a deadline on the clock that wakes this waiter; a shared flag says it came.
  ++s->waiters;  // Counted from here, so that a signal while the deadline is set up wakes us.
  std::shared_ptr<Clock> clock;
  std::shared_ptr<bool> expired;
  Clock::TimerId timer = 0;
  if (timeout != kForever) {
    clock = s->clock ? s->clock : Clock::current();
    expired = std::make_shared<bool>(false);
    lock.unlock();  // The deadline may fire at once and take the lock.
    timer = clock->scheduleAt(Clock::Base::kUptime, clock->uptime() + timeout, [s, expired] {
      {
        std::lock_guard<std::mutex> l(s->mutex);
        *expired = true;
      }
      s->cv.notify_all();
    });
    lock.lock();
  }
  s->cv.wait(lock, [&] { return s->value > 0 || (expired && *expired); });
  --s->waiters;
  WaitResult result = WaitResult::kTimedOut;
  if (s->value > 0) {
    --s->value;
    result = WaitResult::kSuccess;
  }
  lock.unlock();
  if (timer != 0) clock->cancelTimer(timer);
  return result;
}

}  // namespace dispatch
