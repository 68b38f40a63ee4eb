#include "platform/dispatch/deadline_wait.h"

#include <utility>

namespace dispatch {

DeadlineWait::DeadlineWait(std::shared_ptr<Waitable> waitable, std::unique_lock<std::mutex>& lock,
                           double timeout)
    : waitable_(std::move(waitable)), lock_(lock) {
  if (timeout == kForever) return;
  clock_ = waitable_->clock ? waitable_->clock : Clock::current();
  expired_ = std::make_shared<bool>(false);
  lock_.unlock();  // The deadline may fire at once and take the lock.
  timer_ = clock_->scheduleAt(Clock::Base::kUptime, clock_->uptime() + timeout,
                              [w = waitable_, expired = expired_] {
                                {
                                  std::lock_guard<std::mutex> l(w->mutex);
                                  *expired = true;
                                }
                                w->cv.notify_all();
                              });
  lock_.lock();
}

DeadlineWait::~DeadlineWait() {
  if (timer_ != 0) clock_->cancelTimer(timer_);
}

}  // namespace dispatch
