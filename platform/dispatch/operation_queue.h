// A queue of operations that runs one operation at a time, in submission order, on an underlying
// serial queue, and that can be suspended: a suspended queue starts no new operation (one already
// running finishes) until it is resumed.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/dispatch/queue.h"

namespace dispatch {

class OperationQueue {
 public:
  using Operation = Queue::Block;

  // Operations run on `underlyingQueue`, or on a new serial queue labelled `name` when null.
  explicit OperationQueue(std::string name, bool suspended = false,
                          std::shared_ptr<Queue> underlyingQueue = nullptr);
  // Operations that have not started are dropped; one that is running finishes on its queue.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const { return name_; }
  const std::shared_ptr<Queue>& underlyingQueue() const { return queue_; }

  // Appends an operation. A null operation is ignored. An operation that throws is logged to
  // stderr and the next one runs.
  void addOperation(Operation operation);

  void setSuspended(bool suspended);
  bool isSuspended() const;

  // Operations added and not yet finished (running or waiting).
  size_t operationCount() const;

  // Waits until every operation added so far, and any added meanwhile, has finished. On a
  // suspended queue with waiting operations this waits until someone resumes it. Called from an
  // operation of this queue it would wait for itself: it logs and returns at once instead.
  void waitUntilAllOperationsAreFinished();

 private:
  struct State;
  // Starts the next operation when allowed. REQUIRES: state_->mutex held.
  static void startNextLocked(const std::shared_ptr<State>& state);

  // Constant after construction.
  const std::string name_;
  const std::shared_ptr<Queue> queue_;
  const std::shared_ptr<State> state_;  // Shared with blocks on the underlying queue.
};

}  // namespace dispatch
