#include "platform/dispatch/operation_queue.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

namespace dispatch {

namespace {
// The operation queue whose operation the calling thread is running, or null.
thread_local const void* tRunningOperationQueue = nullptr;
}  // namespace

struct OperationQueue::State {
  std::string name;              // Constant.
  std::shared_ptr<Queue> queue;  // Constant.
  std::mutex mutex;
  std::condition_variable finished;  // Signalled whenever an operation ends.
  // Guarded by mutex.
  std::deque<Operation> waiting;
  bool running = false;
  bool suspended = false;
  bool dead = false;
};

OperationQueue::OperationQueue(std::string name, bool suspended,
                               std::shared_ptr<Queue> underlyingQueue)
    : name_(std::move(name)),
      queue_(underlyingQueue ? std::move(underlyingQueue) : Queue::create(name_)),
      state_(std::make_shared<State>()) {
  state_->name = name_;
  state_->queue = queue_;
  state_->suspended = suspended;
}

OperationQueue::~OperationQueue() {
  std::deque<Operation> dropped;  // Released outside the lock.
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->dead = true;
  dropped.swap(state_->waiting);
}

void OperationQueue::startNextLocked(const std::shared_ptr<State>& state) {
  if (state->dead || state->suspended || state->running || state->waiting.empty()) return;
  Operation operation = std::move(state->waiting.front());
  state->waiting.pop_front();
  state->running = true;
  state->queue->async([state, operation = std::move(operation)]() mutable {
    const void* outer = std::exchange(tRunningOperationQueue, state.get());
    try {
      operation();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "dispatch: operation on queue \"%s\" threw an exception: %s\n",
                   state->name.c_str(), e.what());
    } catch (...) {
      std::fprintf(stderr, "dispatch: operation on queue \"%s\" threw an exception\n",
                   state->name.c_str());
    }
    tRunningOperationQueue = outer;
    operation = nullptr;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->running = false;
      startNextLocked(state);
    }
    state->finished.notify_all();
  });
}

void OperationQueue::addOperation(Operation operation) {
  if (!operation) {
    std::fprintf(stderr, "dispatch: null operation added to queue \"%s\"; ignored\n",
                 name_.c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->waiting.push_back(std::move(operation));
  startNextLocked(state_);
}

void OperationQueue::setSuspended(bool suspended) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->suspended = suspended;
  startNextLocked(state_);
}

bool OperationQueue::isSuspended() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->suspended;
}

size_t OperationQueue::operationCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->waiting.size() + (state_->running ? 1 : 0);
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  if (tRunningOperationQueue == state_.get()) {
    std::fprintf(stderr,
                 "dispatch: waitUntilAllOperationsAreFinished called from an operation of \"%s\"; "
                 "not waiting\n",
                 name_.c_str());
    return;
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->finished.wait(lock, [&] { return !state_->running && state_->waiting.empty(); });
}

}  // namespace dispatch
