// Dispatch queues: where blocks run.
//
// A serial queue (Queue::create) runs its blocks one at a time in submission order on a thread of
// its own. The main queue (Queue::main) is drained by the main thread's run loop (RunLoop). The
// global queues (Queue::global) are concurrent: their blocks run in parallel on a shared pool.
//
// Queues are held by std::shared_ptr. When the last holder lets a serial queue go, blocks that
// have not started are dropped (never run), and delayed blocks and timer sources aimed at the
// queue are dropped when they come due. A block already running finishes first: letting go on
// another thread waits for it (so that thread must not be one the block waits for); letting go
// inside the queue's own block does not wait.
//
// A block that throws is caught at the queue boundary and logged to stderr; the queue keeps
// running.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/clock.h"

namespace dispatch {

namespace detail {
class QueueCore;
}

// Quality of service. It is recorded and reported, and changes nothing in how blocks run.
enum class Qos { kBackground, kUtility, kDefault, kUserInitiated, kUserInteractive };

// True on the process's initial thread (the one that entered main()) and on any thread that is
// running the main run loop (RunLoop::main()). Blocks of the main queue always run on such a
// thread.
bool isMainThread();

class Queue {
 public:
  using Block = std::function<void()>;

  // A new serial queue. Delayed blocks use `clock`, or Clock::current() at the time of each
  // after() call when `clock` is null.
  static std::shared_ptr<Queue> create(std::string label, Qos qos = Qos::kDefault,
                                       std::shared_ptr<Clock> clock = nullptr);

  // The main queue, drained by RunLoop::main(); its label is "com.apple.main-thread".
  static std::shared_ptr<Queue> main();

  // The concurrent global queue of a quality of service; one per Qos, all sharing one pool of
  // threads that grows while every thread is busy. Labels are "com.apple.root.<qos>-qos".
  static std::shared_ptr<Queue> global(Qos qos = Qos::kDefault);

  // The queue whose block the calling thread is running (innermost, when sync calls nest), the
  // main queue on a main thread outside any block, else null.
  static std::shared_ptr<Queue> current();

  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const { return label_; }
  Qos qos() const { return qos_; }
  bool isConcurrent() const;

  // Runs `block` on the queue later and returns at once. A null block is ignored (and logged).
  void async(Block block);

  // Runs `block` on the queue and waits for it to finish. On a serial queue the block runs after
  // every block submitted before it and before every block submitted after it, on the calling
  // thread (so a sync from the main thread runs its block on the main thread); on the main queue
  // it runs on the main thread; on a global queue it runs at once on the calling thread. A sync
  // onto a queue the calling thread is already running (directly or through nested syncs) is
  // detected and runs `block` inline instead of waiting forever. An exception thrown by `block` is
  // caught and logged, not passed to the caller. REQUIRES: for the main queue, someone drains the
  // main run loop, or this is a main thread.
  void sync(const Block& block);

  // Enqueues `block` once `delay` seconds of boot time have passed on the queue's clock. A delay
  // of 0 or less (or NaN) enqueues at once; kForever never does.
  void after(double delay, Block block);

  // True when the calling thread is running a block of this queue, directly or through nested
  // sync calls. The main queue is also current on a main thread outside any block.
  bool isCurrent() const;

  // The clock used for after(): the one given at creation, else Clock::current().
  std::shared_ptr<Clock> clock() const;

 private:
  friend class detail::QueueCore;
  Queue(std::string label, Qos qos, std::shared_ptr<Clock> clock,
        std::shared_ptr<detail::QueueCore> core);

  // Constant after construction.
  const std::string label_;
  const Qos qos_;
  const std::shared_ptr<Clock> clock_;  // May be null: use Clock::current().
  const std::shared_ptr<detail::QueueCore> core_;
};

// The text of a Qos as used in labels: "background", "utility", "default", "user-initiated",
// "user-interactive".
const char* QosName(Qos qos);

}  // namespace dispatch
