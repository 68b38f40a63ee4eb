#include "analytics/foundation/alarm.h"

#include <cstdint>
#include <mutex>
#include <utility>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "platform/dispatch/timer_source.h"

struct ZIVAlarm::State {
  // Constant after construction.
  std::shared_ptr<dispatch::Queue> queue;
  std::string name;
  std::shared_ptr<ZIVMonitor> monitor;
  std::shared_ptr<dispatch::Clock> clock;

  std::mutex mu;
  std::shared_ptr<dispatch::TimerSource> source;  // Guarded by mu.
  std::optional<double> scheduledTimestamp;       // Guarded by mu.
  uint64_t generation = 0;                        // Guarded by mu; counts schedules.

  // Cancels the pending schedule when `generation` is still the current one (any generation
  // when `onlyGeneration` is empty).
  void cancel(std::optional<uint64_t> onlyGeneration) {
    std::shared_ptr<dispatch::TimerSource> source;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!scheduledTimestamp) return;
      if (onlyGeneration && *onlyGeneration != generation) return;
      scheduledTimestamp.reset();
      source = this->source;
    }
    monitor->logWithLevel(7, 2003, name + " canceled");
    if (source && !source->isCancelled()) {
      source->cancel();
    } else {
      monitor->logWithLevel(4, 2004, name + " is not active");
    }
  }

  // The timer's handler, on the alarm's queue.
  void fire(uint64_t firedGeneration, const std::function<void()>& block) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (firedGeneration != generation || !scheduledTimestamp) return;
    }
    monitor->logWithLevel(7, 2001, name + " fired");
    cancel(firedGeneration);
    block();
  }
};

ZIVAlarm::ZIVAlarm(std::shared_ptr<dispatch::Queue> queue, std::string name,
                   std::shared_ptr<ZIVMonitor> monitor, std::shared_ptr<dispatch::Clock> clock)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->name = name.empty() ? "Timer" : std::move(name);
  state_->monitor = monitor ? std::move(monitor) : ZIVMeasurement::monitor();
  state_->clock = clock ? std::move(clock) : dispatch::Clock::current();
}

ZIVAlarm::~ZIVAlarm() { state_->cancel(std::nullopt); }

const std::string& ZIVAlarm::name() const { return state_->name; }

void ZIVAlarm::runAfterDelay(double delay, std::function<void()> block) {
  if (!block) {
    state_->monitor->logWithLevel(1, 2000, state_->name + " tried to schedule an empty block");
    return;
  }
  cancel();
  auto source = std::make_shared<dispatch::TimerSource>(state_->queue, state_->clock);
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    generation = ++state_->generation;
    state_->scheduledTimestamp = state_->clock->wallTime() + delay;
    state_->source = source;
  }
  std::weak_ptr<State> weak = state_;
  source->schedule(
      delay,
      [weak, generation, block = std::move(block)] {
        if (auto state = weak.lock()) state->fire(generation, block);
      },
      dispatch::Clock::Base::kWallTime);
  state_->monitor->logWithLevel(7, 2002, state_->name + " scheduled to fire in approx. (s)",
                                fnd::Value(delay));
}

void ZIVAlarm::cancel() { state_->cancel(std::nullopt); }

bool ZIVAlarm::hasActiveTimer() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->source && !state_->source->isCancelled();
}

std::optional<double> ZIVAlarm::scheduledTimestamp() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->scheduledTimestamp;
}
