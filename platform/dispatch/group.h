// A group of work items: enter() before each, leave() after each; when the count of unfinished
// items drops to zero, the blocks given to notify() are enqueued and waiters wake. Time-outs are
// measured in boot time on the group's clock (see Semaphore).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/semaphore.h"

namespace dispatch {

class Group {
 public:
  // Time-outs use `clock`, or Clock::current() at each wait when `clock` is null.
  explicit Group(std::shared_ptr<Clock> clock = nullptr);
  ~Group();
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  // One more unfinished item.
  void enter();

  // One item finished. A leave() without a matching enter() is logged and ignored.
  void leave();

  // Runs `block` on `queue` as an item of the group (enter now, leave when the block returns or
  // throws). A null queue or block is ignored.
  void async(const std::shared_ptr<Queue>& queue, Queue::Block block);

  // Enqueues `block` on `queue` once the group is empty: at once when it is empty now, else when
  // the last unfinished item leaves. Each notify block is enqueued once.
  void notify(const std::shared_ptr<Queue>& queue, Queue::Block block);

  // Waits until the group is empty, at most `timeout` seconds (kForever: no limit).
  // REQUIRES: the group outlives the call.
  [[nodiscard]] WaitResult wait(double timeout = kForever);

 private:
  struct State;
  const std::shared_ptr<State> state_;  // Shared with pending blocks and deadlines.
};

}  // namespace dispatch
