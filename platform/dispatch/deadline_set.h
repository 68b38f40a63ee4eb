// Internal to platform/dispatch: the pending deadlines of a clock, ordered so that the next one is
// found in logarithmic time. Not thread-safe; the owning clock guards it.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/dispatch/clock.h"

namespace dispatch {
namespace detail {

class DeadlineSet {
 public:
  struct Next {
    Clock::TimerId id;
    double dueUptime;  // When it comes due, measured in boot time.
  };

  // Adds a deadline under a fresh id (never 0).
  Clock::TimerId add(Clock::Base base, double deadline, std::function<void()> fire);

  // Removes a deadline and hands back its callback; null when `id` is unknown.
  std::function<void()> take(Clock::TimerId id);

  // The deadline that comes due first given the current times: boot-time deadlines as they are,
  // wall-time ones at the boot time when the wall clock reaches them if neither jumps. Ties go to
  // the lower id (the earlier scheduled).
  std::optional<Next> next(double uptime, double wallTime) const;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  struct Entry {
    Clock::Base base;
    double deadline;
    std::function<void()> fire;
  };
  using Index = std::set<std::pair<double, Clock::TimerId>>;

  Clock::TimerId nextId_ = 1;
  std::map<Clock::TimerId, Entry> entries_;
  Index uptimeIndex_;
  Index wallIndex_;
};

}  // namespace detail
}  // namespace dispatch
