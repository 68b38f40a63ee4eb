#include "platform/dispatch/group.h"

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/deadline_wait.h"

namespace dispatch {

struct Group::State : Waitable {
  // Guarded by mutex.
  int64_t count = 0;
  std::vector<std::pair<std::shared_ptr<Queue>, Queue::Block>> notifications;

  void leave() {
    std::vector<std::pair<std::shared_ptr<Queue>, Queue::Block>> due;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (count == 0) {
        std::fprintf(stderr, "dispatch: group left more often than entered; ignored\n");
        return;
      }
      if (--count > 0) return;
      due.swap(notifications);
      cv.notify_all();  // Under the lock: a woken waiter may destroy the group at once.
    }
    for (auto& [queue, block] : due) queue->async(std::move(block));
  }
};

Group::Group(std::shared_ptr<Clock> clock) : state_(std::make_shared<State>()) {
  state_->clock = std::move(clock);
}

Group::~Group() = default;

void Group::enter() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->count;
}

void Group::leave() { state_->leave(); }

void Group::async(const std::shared_ptr<Queue>& queue, Queue::Block block) {
  if (!queue || !block) return;
  enter();
  // Leaves once: right after the block has run, or when the block is dropped unrun (its queue
  // went away) or throws, so that waiters never wait forever.
  std::shared_ptr<void> leaver(nullptr, [state = state_](void*) { state->leave(); });
  queue->async([leaver = std::move(leaver), block = std::move(block)]() mutable {
    block();
    leaver.reset();
  });
}

void Group::notify(const std::shared_ptr<Queue>& queue, Queue::Block block) {
  if (!queue || !block) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->count > 0) {
      state_->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

WaitResult Group::wait(double timeout) {
  const std::shared_ptr<State>& s = state_;
  std::unique_lock<std::mutex> lock(s->mutex);
  if (s->count == 0) return WaitResult::kSuccess;
  if (!(timeout > 0)) return WaitResult::kTimedOut;

  WaitResult result;
  {
    DeadlineWait deadline(s, lock, timeout);
    deadline.wait([&] { return s->count == 0; });
    result = s->count == 0 ? WaitResult::kSuccess : WaitResult::kTimedOut;
    lock.unlock();
  }
  return result;
}

}  // namespace dispatch
