#include "platform/dispatch/queue.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/queue_core.h"

namespace dispatch {
namespace detail {

namespace {

// The queues whose blocks the calling thread is running: a list through the frames of runBlock(),
// innermost first. Trivially destructible, so that blocks run from exit handlers (after the
// thread's thread_local objects are gone) still find it whole.
struct RunningFrame {
  QueueCore* core;
  const RunningFrame* outer;
};
thread_local const RunningFrame* tInnermost = nullptr;
// True while the calling thread drains the main queue.
thread_local bool tDrainingMain = false;

void logNullBlock(const std::string& label, const char* what) {
  std::fprintf(stderr, "dispatch: null block passed to %s on queue \"%s\"; ignored\n", what,
               label.c_str());
}

// A serial queue: one thread of its own, started with the first block and ended with the queue.
class SerialCore : public QueueCore, public std::enable_shared_from_this<SerialCore> {
 public:
  using QueueCore::QueueCore;

  void enqueue(std::function<void()> block) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (dead_) {
      lock.unlock();
      return;  // `block` is dropped outside the lock.
    }
    items_.push_back(Item{std::move(block), nullptr});
    startLocked();
    cv_.notify_all();
  }

  // The caller takes the queue's turn: it waits until every earlier block has run and then runs
  // `block` itself while the queue's thread waits.
  void sync(const std::function<void()>& block) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!busy_ && items_.empty()) {
        busy_ = true;
      } else {
        bool granted = false;
        items_.push_back(Item{nullptr, &granted});
        startLocked();
        cv_.notify_all();
        cv_.wait(lock, [&] { return granted; });
      }
    }
    runBlock(this, block);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    cv_.notify_all();
  }

  void shutdown() override {
    std::deque<Item> dropped;
    std::thread thread;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dead_ = true;
      dropped.swap(items_);
      // A sync caller still waiting for its turn must not hang; it runs its block itself.
      for (Item& item : dropped) {
        if (item.granted) *item.granted = true;
      }
      thread = std::move(thread_);
    }
    cv_.notify_all();
    dropped.clear();
    if (thread.joinable()) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // Let go inside our own block: the loop ends after it.
      } else {
        thread.join();
      }
    }
  }

 private:
  struct Item {
    std::function<void()> block;
    bool* granted;  // Non-null for a sync caller waiting for its turn.
  };

  // REQUIRES: mutex_ held.
  void startLocked() {
    if (!thread_.joinable()) {
      thread_ = std::thread([self = shared_from_this()] { self->loop(); });
    }
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return dead_ || (!busy_ && !items_.empty()); });
      if (dead_) return;
      Item item = std::move(items_.front());
      items_.pop_front();
      busy_ = true;
      if (item.granted) {
        *item.granted = true;  // The sync caller clears busy_ when done.
        cv_.notify_all();
        continue;
      }
      lock.unlock();
      runBlock(this, item.block);
      item.block = nullptr;  // Captures are released outside the lock.
      lock.lock();
      busy_ = false;
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  // Guarded by mutex_.
  std::deque<Item> items_;
  bool busy_ = false;  // A block (or a sync caller) holds the queue.
  bool dead_ = false;
  std::thread thread_;
};

// The threads behind the global queues. Grows while every thread is busy (a block may wait for
// another block), up to a cap; threads stay for the life of the process.
class Pool {
 public:
  static Pool& instance() {
    static Pool* pool = new Pool;  // Never destroyed: its threads may run during exit.
    return *pool;
  }

  void enqueue(QueueCore* core, std::function<void()> block) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{core, std::move(block)});
    if (static_cast<int>(jobs_.size()) > idle_ && threads_ < kMaxThreads) {  // All busy.
      ++threads_;
      ++idle_;
      std::thread([this] { loop(); }).detach();
    }
    cv_.notify_one();
  }

 private:
  static constexpr int kMaxThreads = 64;

  struct Job {
    QueueCore* core;
    std::function<void()> block;
  };

  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return !jobs_.empty(); });
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      --idle_;
      lock.unlock();
      QueueCore::runBlock(job.core, job.block);
      job.block = nullptr;
      lock.lock();
      ++idle_;
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  // Guarded by mutex_.
  std::deque<Job> jobs_;
  int threads_ = 0;
  int idle_ = 0;
};

class ConcurrentCore : public QueueCore {
 public:
  using QueueCore::QueueCore;

  void enqueue(std::function<void()> block) override {
    Pool::instance().enqueue(this, std::move(block));
  }
  void sync(const std::function<void()>& block) override { runBlock(this, block); }
  bool isConcurrent() const override { return true; }
};

}  // namespace

QueueCore::~QueueCore() = default;

void QueueCore::runBlock(QueueCore* core, const std::function<void()>& block) {
  const RunningFrame frame{core, tInnermost};
  tInnermost = &frame;
  try {
    block();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dispatch: block on queue \"%s\" threw an exception: %s\n",
                 core->label().c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "dispatch: block on queue \"%s\" threw an exception\n",
                 core->label().c_str());
  }
  tInnermost = frame.outer;
}

bool QueueCore::onStack(const QueueCore* core) {
  for (const RunningFrame* f = tInnermost; f; f = f->outer) {
    if (f->core == core) return true;
  }
  return false;
}

QueueCore* QueueCore::innermost() { return tInnermost ? tInnermost->core : nullptr; }

MainCore& MainCore::instance() {
  static MainCore* core = new MainCore;  // Never destroyed, like the main queue.
  return *core;
}

void MainCore::enqueue(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    items.push_back(std::move(block));
  }
  cv.notify_all();
}

void MainCore::sync(const std::function<void()>& block) {
  if (isMainThread()) {  // Nobody else can drain the main queue while we wait: run it here.
    runBlock(this, block);
    return;
  }
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;
  enqueue([&] {
    // Marks completion even when the block throws: runBlock catches inside.
    QueueCore::runBlock(this, block);
    std::lock_guard<std::mutex> lock(doneMutex);
    done = true;
    doneCv.notify_all();
  });
  std::unique_lock<std::mutex> lock(doneMutex);
  doneCv.wait(lock, [&] { return done; });
}

DrainingMainScope::DrainingMainScope() : previous_(tDrainingMain) { tDrainingMain = true; }
DrainingMainScope::~DrainingMainScope() { tDrainingMain = previous_; }

}  // namespace detail

using detail::QueueCore;

bool isMainThread() { return detail::tDrainingMain || ::gettid() == ::getpid(); }

const char* QosName(Qos qos) {
  switch (qos) {
    case Qos::kBackground:
      return "background";
    case Qos::kUtility:
      return "utility";
    case Qos::kDefault:
      return "default";
    case Qos::kUserInitiated:
      return "user-initiated";
    case Qos::kUserInteractive:
      return "user-interactive";
  }
  return "default";
}

Queue::Queue(std::string label, Qos qos, std::shared_ptr<Clock> clock,
             std::shared_ptr<QueueCore> core)
    : label_(std::move(label)), qos_(qos), clock_(std::move(clock)), core_(std::move(core)) {}

Queue::~Queue() { core_->shutdown(); }

std::shared_ptr<Queue> Queue::create(std::string label, Qos qos, std::shared_ptr<Clock> clock) {
  auto core = std::make_shared<detail::SerialCore>(label);
  std::shared_ptr<Queue> queue(new Queue(std::move(label), qos, std::move(clock), core));
  core->owner = queue;
  return queue;
}

std::shared_ptr<Queue> Queue::main() {
  static std::shared_ptr<Queue>* queue = [] {
    // The core is never destroyed; the handle holds it without owning it.
    std::shared_ptr<QueueCore> core(&detail::MainCore::instance(), [](QueueCore*) {});
    auto* q =
        new std::shared_ptr<Queue>(new Queue(core->label(), Qos::kUserInteractive, nullptr, core));
    core->owner = *q;
    return q;
  }();
  return *queue;
}

std::shared_ptr<Queue> Queue::global(Qos qos) {
  static std::shared_ptr<Queue>* queues = [] {
    auto* qs = new std::shared_ptr<Queue>[5];
    for (int i = 0; i < 5; ++i) {
      const Qos q = static_cast<Qos>(i);
      std::string label = std::string("com.apple.root.") + QosName(q) + "-qos";
      auto core = std::make_shared<detail::ConcurrentCore>(label);
      qs[i] = std::shared_ptr<Queue>(new Queue(std::move(label), q, nullptr, core));
      core->owner = qs[i];
    }
    return qs;
  }();
  return queues[static_cast<int>(qos)];
}

std::shared_ptr<Queue> Queue::current() {
  if (QueueCore* core = QueueCore::innermost()) return core->owner.lock();
  if (isMainThread()) return main();
  return nullptr;
}

bool Queue::isConcurrent() const { return core_->isConcurrent(); }

void Queue::async(Block block) {
  if (!block) {
    detail::logNullBlock(label_, "async");
    return;
  }
  core_->enqueue(std::move(block));
}

void Queue::sync(const Block& block) {
  if (!block) {
    detail::logNullBlock(label_, "sync");
    return;
  }
  if (QueueCore::onStack(core_.get())) {
    QueueCore::runBlock(core_.get(), block);  // Already on this queue: waiting would never end.
    return;
  }
  core_->sync(block);
}

void Queue::after(double delay, Block block) {
  if (!block) {
    detail::logNullBlock(label_, "after");
    return;
  }
  if (std::isnan(delay) || delay <= 0) {
    async(std::move(block));
    return;
  }
  if (delay == kForever) return;
  std::shared_ptr<Clock> c = clock();
  // The deadline holds the core weakly: a queue that is gone by then drops the block.
  std::weak_ptr<QueueCore> weak = core_;
  c->scheduleAt(Clock::Base::kUptime, c->uptime() + delay,
                [weak, block = std::move(block)]() mutable {
                  if (auto core = weak.lock()) core->enqueue(std::move(block));
                });
}

bool Queue::isCurrent() const {
  if (QueueCore::onStack(core_.get())) return true;
  return core_.get() == &detail::MainCore::instance() && isMainThread();
}

std::shared_ptr<Clock> Queue::clock() const { return clock_ ? clock_ : Clock::current(); }

}  // namespace dispatch
