// DeadlineWait: a wait on a condition variable that gives up after a time-out measured on a
// dispatch::Clock (time since boot), so that a manual clock decides when a waiter times out. The
// group and the semaphore wait this way.
//
// The deadline is a timer on the clock that, when it fires, sets a flag under the waiter's mutex
// and wakes every waiter. The timer keeps the Waitable alive, so it may fire after the waiter has
// returned and its owner is gone. Usage, with `lock` holding state->mutex:
//
//   {
//     DeadlineWait deadline(state, lock, timeout);
//     deadline.wait([&] { return state->count == 0; });
//     ... read the state under the lock ...
//     lock.unlock();
//   }  // The timer is cancelled here, without the lock.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/dispatch/clock.h"

namespace dispatch {

// What a timed waiter waits on. Derive the waiter's shared state from it.
struct Waitable {
  std::shared_ptr<Clock> clock;  // Constant; null means Clock::current() at each wait.
  std::mutex mutex;
  std::condition_variable cv;
};

class DeadlineWait {
 public:
  // Arms the deadline `timeout` seconds from now (none for kForever). REQUIRES: `lock` holds
  // waitable->mutex; it is released while the timer is armed (a deadline already due fires at
  // once and takes the mutex) and held again on return.
  DeadlineWait(std::shared_ptr<Waitable> waitable, std::unique_lock<std::mutex>& lock,
               double timeout);
  // Cancels the timer. REQUIRES: the lock is released (the timer's block may be waiting for it).
  ~DeadlineWait();
  DeadlineWait(const DeadlineWait&) = delete;
  DeadlineWait& operator=(const DeadlineWait&) = delete;

  // Waits until `ready()` (called under the lock) holds or the deadline has come.
  template <typename Ready>
  void wait(Ready ready) {
    waitable_->cv.wait(lock_, [&] { return ready() || (expired_ && *expired_); });
  }

 private:
  const std::shared_ptr<Waitable> waitable_;
  std::unique_lock<std::mutex>& lock_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<bool> expired_;  // Guarded by waitable_->mutex; null without a deadline.
  Clock::TimerId timer_ = 0;
};

}  // namespace dispatch
