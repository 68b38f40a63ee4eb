// Internal to platform/dispatch: the machinery behind Queue and RunLoop. Not for other folders.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace dispatch {

class Queue;

namespace detail {

// What a Queue hands its blocks to. Lives as long as anyone may still enqueue onto it (delayed
// blocks hold it weakly), which can be longer than the Queue handle.
class QueueCore {
 public:
  explicit QueueCore(std::string label) : label_(std::move(label)) {}
  virtual ~QueueCore();

  const std::string& label() const { return label_; }

  // Queues a block; a dead queue drops it.
  virtual void enqueue(std::function<void()> block) = 0;
  // See Queue::sync. Only called when the calling thread is not already on this queue.
  virtual void sync(const std::function<void()>& block) = 0;
  // The handle is gone: drop what has not started.
  virtual void shutdown() {}
  virtual bool isConcurrent() const { return false; }

  // Runs `block` as a block of `core` on the calling thread: marks the thread as being on the
  // queue and catches (and logs) what the block throws.
  static void runBlock(QueueCore* core, const std::function<void()>& block);
  // True when the calling thread is running a block of `core`.
  static bool onStack(const QueueCore* core);
  // The innermost queue the calling thread runs a block of, or null.
  static QueueCore* innermost();

  // Set once, right after the handle is made.
  std::weak_ptr<Queue> owner;

 private:
  const std::string label_;
};

// The main queue's storage, drained by RunLoop.
class MainCore : public QueueCore {
 public:
  MainCore() : QueueCore("com.apple.main-thread") {}

  void enqueue(std::function<void()> block) override;
  void sync(const std::function<void()>& block) override;

  static MainCore& instance();

  std::mutex mutex;
  std::condition_variable cv;
  // Guarded by mutex.
  std::deque<std::function<void()>> items;
  bool stopRequested = false;
  bool running = false;
};

// Marks the calling thread as a main thread while it drains the main queue.
class DrainingMainScope {
 public:
  DrainingMainScope();
  ~DrainingMainScope();
  DrainingMainScope(const DrainingMainScope&) = delete;
  DrainingMainScope& operator=(const DrainingMainScope&) = delete;

 private:
  bool previous_;
};

}  // namespace detail
}  // namespace dispatch
