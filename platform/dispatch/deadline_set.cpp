#include "platform/dispatch/deadline_set.h"

namespace dispatch {
namespace detail {

Clock::TimerId DeadlineSet::add(Clock::Base base, double deadline, std::function<void()> fire) {
  const Clock::TimerId id = nextId_++;
  entries_.emplace(id, Entry{base, deadline, std::move(fire)});
  (base == Clock::Base::kUptime ? uptimeIndex_ : wallIndex_).emplace(deadline, id);
  return id;
}

std::function<void()> DeadlineSet::take(Clock::TimerId id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return nullptr;
  Entry& e = it->second;
  (e.base == Clock::Base::kUptime ? uptimeIndex_ : wallIndex_).erase({e.deadline, id});
  std::function<void()> fire = std::move(e.fire);
  entries_.erase(it);
  return fire;
}

std::optional<DeadlineSet::Next> DeadlineSet::next(double uptime, double wallTime) const {
  std::optional<Next> best;
  if (!uptimeIndex_.empty()) {
    const auto& [deadline, id] = *uptimeIndex_.begin();
    best = Next{id, deadline};
  }
  if (!wallIndex_.empty()) {
    const auto& [deadline, id] = *wallIndex_.begin();
    const double due = uptime + (deadline - wallTime);
    if (!best || due < best->dueUptime || (due == best->dueUptime && id < best->id)) {
      best = Next{id, due};
    }
  }
  return best;
}

}  // namespace detail
}  // namespace dispatch
