// A notification centre: named notifications with an optional sender and a user-info dictionary,
// delivered synchronously to observers on the posting thread, like the platform's default centre.
//
// An observer is registered with a block and lives as long as the returned token: destroying the
// token (or calling remove()) unregisters it, so an object that owns its tokens stops observing
// when it goes. After remove() returns, the block is not running on any other thread and will not
// be called again; remove() from inside the block itself (on the posting thread) is allowed and
// returns at once. A block must therefore not wait for a thread that is removing its own token.
//
// Thread safety: every method may be called from any thread, including from inside a block
// (posting, adding and removing observers re-entrantly).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

namespace fnd {

struct Notification {
  std::string name;
  // The identity of the sender; compared, never dereferenced. May be null.
  const void* sender = nullptr;
  Dictionary userInfo;
};

class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;

  // Unregisters its observer when destroyed. Movable, not copyable. A default-constructed or
  // moved-from token observes nothing. A token may outlive its centre.
  class Observer {
   public:
    Observer() = default;
    Observer(Observer&& other) noexcept;
    Observer& operator=(Observer&& other) noexcept;
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;
    ~Observer();

    // Unregisters now; see the header comment for what it guarantees. Idempotent.
    void remove();
    bool isActive() const;

   private:
    friend class NotificationCenter;
    struct Entry;
    explicit Observer(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
    std::shared_ptr<Entry> entry_;
  };

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide centre. Lives for the whole process.
  static NotificationCenter& defaultCenter();

  // Registers `block` for notifications called `name` (empty: every name) from `sender` (null:
  // any sender). Observers of one post run in registration order.
  [[nodiscard]] Observer addObserver(std::string name, const void* sender, Block block);

  // Calls every matching observer registered before this call, synchronously, on this thread.
  // An observer removed during the post is skipped if it has not run yet; one added during the
  // post is not called by it.
  void post(const Notification& notification);
  void post(std::string name, const void* sender = nullptr, Dictionary userInfo = {});

  // The number of registered observers (for tests and diagnostics).
  size_t observerCount() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace fnd
