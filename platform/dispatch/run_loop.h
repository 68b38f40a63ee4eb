// The main thread's run loop: it drains the main queue until it is stopped. The application runs
// it for the life of the process; tests drain pending main-queue work with runUntilIdle() or
// runUntil() instead, on the calling thread, without sleeping.
//
// Thread safety: stop() may be called from any thread. The draining methods are meant for the
// main thread; while one of them runs, the draining thread counts as a main thread
// (dispatch::isMainThread()). Only one thread drains at a time.
#pragma once

#include <cstddef>
#include <functional>

namespace dispatch {

class RunLoop {
 public:
  // The run loop of the main queue.
  static RunLoop& main();

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Runs main-queue blocks as they arrive until stop() is called; returns after the block during
  // which it was stopped. A stop() made while no run() is active is kept, and makes the next
  // run() return before running anything.
  void run();

  // Asks the active run() to return (or the next one, see run()).
  void stop();

  // True while run() is active.
  bool isRunning() const;

  // Runs main-queue blocks until the queue is empty, including blocks that those blocks enqueue.
  // Returns how many ran. Does not wait for blocks that are not yet enqueued (delayed ones).
  size_t runUntilIdle();

  // Runs main-queue blocks, waiting for new ones, until `done()` is true (checked before the
  // first block, after every block and every millisecond while idle, since another thread may
  // make it true). Returns false when `timeoutSeconds` of real time pass first; the time-out is a
  // safety net for tests, not a way to measure time.
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds = 30);

 private:
  RunLoop() = default;
};

}  // namespace dispatch
