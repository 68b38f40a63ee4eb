#include "analytics/script/release_queue.h"

#include <vector>

namespace {

struct ReleaseQueue {
  bool draining = false;
  std::vector<std::shared_ptr<void>> pending;
};

thread_local ReleaseQueue queue;

}  // namespace

void APMPReleaseLater(std::shared_ptr<void> object) {
  if (!object) return;
  if (object.use_count() > 1) return;  // Not the last reference: dropping it destroys nothing.
  queue.pending.push_back(std::move(object));
  if (queue.draining) return;
  queue.draining = true;
  while (!queue.pending.empty()) {
    std::shared_ptr<void> next = std::move(queue.pending.back());
    queue.pending.pop_back();
    next.reset();  // May push the object's children.
  }
  queue.draining = false;
}
