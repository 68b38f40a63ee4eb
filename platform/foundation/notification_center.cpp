#include "platform/foundation/notification_center.h"

#include <algorithm>
#include <condition_variable>
#include <thread>
#include <utility>
#include <vector>

namespace fnd {

// One registration. Its own mutex tracks which threads are running its block, so that remove()
// can wait for other threads and still be called from inside the block.
struct NotificationCenter::Observer::Entry {
  std::string name;
  const void* sender = nullptr;
  Block block;
  std::weak_ptr<NotificationCenter::State> center;

  std::mutex mu;
  std::condition_variable idle;
  bool removed = false;                  // Guarded by mu.
  std::vector<std::thread::id> running;  // Guarded by mu; one element per running call.

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (sender == nullptr || sender == n.sender);
  }
};

struct NotificationCenter::State {
  mutable std::mutex mu;
  std::vector<std::shared_ptr<Observer::Entry>> entries;  // Guarded by mu; registration order.

  void unlink(const Observer::Entry* entry) {
    std::lock_guard<std::mutex> lock(mu);
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const auto& e) { return e.get() == entry; }),
                  entries.end());
  }
};

NotificationCenter::Observer::Observer(Observer&& other) noexcept
    : entry_(std::move(other.entry_)) {}

NotificationCenter::Observer& NotificationCenter::Observer::operator=(Observer&& other) noexcept {
  if (this != &other) {
    remove();
    entry_ = std::move(other.entry_);
  }
  return *this;
}

NotificationCenter::Observer::~Observer() { remove(); }

bool NotificationCenter::Observer::isActive() const {
  if (!entry_) return false;
  std::lock_guard<std::mutex> lock(entry_->mu);
  return !entry_->removed;
}

void NotificationCenter::Observer::remove() {
  std::shared_ptr<Entry> entry = std::move(entry_);
  entry_.reset();
  if (!entry) return;
  if (auto center = entry->center.lock()) center->unlink(entry.get());
  Block dead;  // Destroyed after the lock is released: its captures may do anything.
  std::unique_lock<std::mutex> lock(entry->mu);
  entry->removed = true;
  const auto self = std::this_thread::get_id();
  // Wait for calls on other threads; a call on this thread is our caller and must not be waited.
  entry->idle.wait(lock, [&] {
    return std::all_of(entry->running.begin(), entry->running.end(),
                       [&](std::thread::id id) { return id == self; });
  });
  // The block may hold the owner's captures, so it goes now, unless it is running on this thread
  // (a removal from inside the block); then the last call to return drops it.
  if (entry->running.empty()) dead = std::move(entry->block);
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // Never destroyed.
  return *center;
}

NotificationCenter::Observer NotificationCenter::addObserver(std::string name, const void* sender,
                                                             Block block) {
  auto entry = std::make_shared<Observer::Entry>();
  entry->name = std::move(name);
  entry->sender = sender;
  entry->block = std::move(block);
  entry->center = state_;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->entries.push_back(entry);
  }
  return Observer(std::move(entry));
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Observer::Entry>> snapshot;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    for (const auto& e : state_->entries) {
      if (e->matches(notification)) snapshot.push_back(e);
    }
  }
  const auto self = std::this_thread::get_id();
  for (const auto& entry : snapshot) {
    {
      std::lock_guard<std::mutex> lock(entry->mu);
      if (entry->removed || !entry->block) continue;
      entry->running.push_back(self);
    }
    struct Done {
      Observer::Entry* entry;
      std::thread::id self;
      ~Done() {
        Block dead;  // Destroyed after the lock is released.
        std::lock_guard<std::mutex> lock(entry->mu);
        auto it = std::find(entry->running.begin(), entry->running.end(), self);
        if (it != entry->running.end()) entry->running.erase(it);
        if (entry->removed && entry->running.empty()) dead = std::move(entry->block);
        entry->idle.notify_all();
      }
    } done{entry.get(), self};
    // The block object is not changed while a call runs (it is cleared only when none runs).
    entry->block(notification);
  }
}

void NotificationCenter::post(std::string name, const void* sender, Dictionary userInfo) {
  post(Notification{std::move(name), sender, std::move(userInfo)});
}

size_t NotificationCenter::observerCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->entries.size();
}

}  // namespace fnd
