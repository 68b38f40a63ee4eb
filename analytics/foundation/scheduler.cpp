#include "analytics/foundation/scheduler.h"

#include <utility>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"

ZIVScheduler::ZIVScheduler(std::string workerQueueLabel, std::shared_ptr<ZIVMonitor> monitor,
                           std::shared_ptr<dispatch::Clock> clock)
    : monitor_(monitor ? std::move(monitor) : ZIVMeasurement::monitor()),
      workerQueue_(dispatch::Queue::create(std::move(workerQueueLabel), dispatch::Qos::kUtility,
                                           std::move(clock))) {}

namespace {

// Runs the block, catching and logging what it throws. Returns true when it returned normally.
bool RunGuarded(ZIVMonitor& monitor, const std::string& blockID, const ZIVScheduler::Block& block,
                bool synchronous) {
  try {
    block();
    return true;
  } catch (...) {
    if (synchronous) {
      monitor.logWithLevel(1, 30003,
                           "Exception on worker queue when processing sync block. Block ID=" +
                               blockID + ". Exception",
                           ZIVCurrentExceptionContext());
    } else {
      monitor.logWithLevel(1, 30000,
                           "Exception on worker queue. Block ID=" + blockID + ". Exception",
                           ZIVCurrentExceptionContext());
    }
    return false;
  }
}

}  // namespace

void ZIVScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, Block block) {
  if (!block) {
    monitor_->logWithLevel(
        1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  // The block owns what it needs: it may run after the scheduler is gone.
  workerQueue_->async([monitor = monitor_, blockID, block = std::move(block)] {
    RunGuarded(*monitor, blockID, block, false);
  });
}

void ZIVScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID,
                                                    const Block& block) {
  if (!block) {
    monitor_->logWithLevel(
        1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  bool completed = false;
  if (workerQueue_->isCurrent()) {
    // Waiting for the queue from inside it would never end: run the block where we are.
    monitor_->logWithLevel(
        4, 30006,
        "Synchronous block dispatched from the worker queue itself; running it inline. Block ID=" +
            blockID);
    completed = RunGuarded(*monitor_, blockID, block, true);
  } else {
    workerQueue_->sync([&] { completed = RunGuarded(*monitor_, blockID, block, true); });
  }
  if (!completed) {
    monitor_->logWithLevel(4, 30004, "Synchronous task failed. Block ID=" + blockID);
  }
}

bool ZIVScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
  if (!dispatch::isMainThread()) return true;
  ZIVMeasurement::monitor()->logWithLevel(
      1, 30001,
      "Method " + (methodName.empty() ? std::string("<empty method name>") : methodName) +
          " should execute on background thread");
  return false;
}
