#include "platform/foundation/flush_at_exit.h"

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace fnd {
namespace {

struct Entry {
  std::weak_ptr<const void> owner;
  std::function<void()> flush;
};

struct Registry {
  std::mutex mu;
  std::vector<Entry> entries;  // Guarded by mu; in registration order.
};

// Never destroyed: the exit handler and late registrations may use it at any time.
Registry& SharedRegistry() {
  static Registry* registry = [] {
    auto* r = new Registry();
    std::atexit(RunFlushes);
    return r;
  }();
  return *registry;
}

}  // namespace

void FlushAtExit(std::weak_ptr<const void> owner, std::function<void()> flush) {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mu);
  // Drop the entries of destroyed owners, so that short-lived objects do not pile up.
  std::erase_if(registry.entries, [](const Entry& e) { return e.owner.expired(); });
  registry.entries.push_back({std::move(owner), std::move(flush)});
}

void RunFlushes() {
  Registry& registry = SharedRegistry();
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> lock(registry.mu);
    entries = registry.entries;
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    auto owner = it->owner.lock();
    if (!owner) continue;
    try {
      it->flush();
    } catch (...) {
      // An exception may not leave an exit handler (it would abort the process); the other
      // flushes still run.
    }
  }
}

}  // namespace fnd
