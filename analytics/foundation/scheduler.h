// ZIVScheduler: owner of the engine's serial worker queue, on which all database, settings and
// upload work runs. Blocks are dispatched with a block identifier (a short text used only in log
// lines); an exception thrown by a block is caught and logged, and the queue goes on.
//
// Thread safety: every method may be called from any thread. A synchronous dispatch made from
// the worker queue itself runs the block inline (and logs 30006) instead of waiting forever.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

class ZIVMonitor;

class ZIVScheduler {
 public:
  using Block = std::function<void()>;

  // Makes a serial worker queue of utility quality with the label. Logs through `monitor`
  // (ZIVMeasurement::monitor() when null); delayed work on the queue uses `clock`
  // (dispatch::Clock::current() at each call when null).
  explicit ZIVScheduler(std::string workerQueueLabel, std::shared_ptr<ZIVMonitor> monitor = nullptr,
                        std::shared_ptr<dispatch::Clock> clock = nullptr);
  ZIVScheduler(const ZIVScheduler&) = delete;
  ZIVScheduler& operator=(const ZIVScheduler&) = delete;

  const std::shared_ptr<dispatch::Queue>& workerQueue() const { return workerQueue_; }

  // Runs the block on the worker queue later. A null block logs 30005 and nothing runs; an
  // exception logs 30000 with the exception.
  void scheduleOnWorkerQueueBlockID(const std::string& blockID, Block block);

  // Runs the block on the worker queue and waits for it. A null block logs 30002; an exception
  // logs 30003 with the exception and then 30004 on the caller's side.
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const Block& block);

  // True off the main thread. On the main thread logs 30001 with the method name (or
  // "<empty method name>") and returns false.
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

 private:
  // Constant after construction.
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::shared_ptr<dispatch::Queue> workerQueue_;
};
