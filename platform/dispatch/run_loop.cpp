#include "platform/dispatch/run_loop.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/dispatch/queue_core.h"

namespace dispatch {

using detail::MainCore;

namespace {
// Longer time-outs are cut to this (about 115 days), which the steady clock can represent.
constexpr double kLongest = 1e7;
}  // namespace

RunLoop& RunLoop::main() {
  static RunLoop* loop = new RunLoop;
  return *loop;
}

void RunLoop::run() {
  MainCore& core = MainCore::instance();
  detail::DrainingMainScope draining;
  std::unique_lock<std::mutex> lock(core.mutex);
  if (core.stopRequested) {  // Stopped before it started.
    core.stopRequested = false;
    return;
  }
  core.running = true;
  for (;;) {
    core.cv.wait(lock, [&] { return core.stopRequested || !core.items.empty(); });
    if (core.stopRequested) break;
    std::function<void()> block = std::move(core.items.front());
    core.items.pop_front();
    lock.unlock();
    MainCore::runBlock(&core, block);
    block = nullptr;
    lock.lock();
  }
  core.stopRequested = false;
  core.running = false;
}

void RunLoop::stop() {
  MainCore& core = MainCore::instance();
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.stopRequested = true;
  }
  core.cv.notify_all();
}

bool RunLoop::isRunning() const {
  MainCore& core = MainCore::instance();
  std::lock_guard<std::mutex> lock(core.mutex);
  return core.running;
}

size_t RunLoop::runUntilIdle() {
  MainCore& core = MainCore::instance();
  detail::DrainingMainScope draining;
  size_t count = 0;
  for (;;) {
    std::function<void()> block;
    {
      std::lock_guard<std::mutex> lock(core.mutex);
      if (core.items.empty()) return count;
      block = std::move(core.items.front());
      core.items.pop_front();
    }
    MainCore::runBlock(&core, block);
    ++count;
  }
}

bool RunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  MainCore& core = MainCore::instance();
  detail::DrainingMainScope draining;
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(std::clamp(timeoutSeconds, 0.0, kLongest)));
  for (;;) {
    if (done && done()) return true;
    std::function<void()> block;
    {
      std::unique_lock<std::mutex> lock(core.mutex);
      // `done` may turn true on another thread without any block: look again every millisecond.
      const auto slice =
          std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
      if (!core.cv.wait_until(lock, slice, [&] { return !core.items.empty(); })) {
        if (std::chrono::steady_clock::now() < deadline) continue;
        lock.unlock();
        return done && done();
      }
      block = std::move(core.items.front());
      core.items.pop_front();
    }
    MainCore::runBlock(&core, block);
  }
}

}  // namespace dispatch
