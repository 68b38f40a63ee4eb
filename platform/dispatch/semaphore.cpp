#include "platform/dispatch/semaphore.h"

#include <mutex>

#include "platform/dispatch/deadline_wait.h"

namespace dispatch {

struct Semaphore::State : Waitable {
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

  ++s->waiters;  // Counted from here, so that a signal while the deadline is set up wakes us.
  WaitResult result = WaitResult::kTimedOut;
  {
    DeadlineWait deadline(s, lock, timeout);
    deadline.wait([&] { return s->value > 0; });
    --s->waiters;
    if (s->value > 0) {
      --s->value;
      result = WaitResult::kSuccess;
    }
    lock.unlock();
  }
  return result;
}

}  // namespace dispatch
