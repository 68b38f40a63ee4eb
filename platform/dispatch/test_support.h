// Test support for the dispatch tests: a fixture with a manual clock installed as the current clock,
// and the main queue drained when the test ends so that no work leaks into the next test. Not for
// production code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"

namespace dispatch {

class DispatchTest : public ::testing::Test {
 protected:
  void TearDown() override { RunLoop::main().runUntilIdle(); }

  // Spins (yielding, never sleeping) until `clock` holds `count` pending deadlines: how a test
  // knows that another thread has started a timed wait.
  static void waitForPendingTimers(const ManualClock& clock, size_t count) {
    while (clock.pendingTimerCount() != count) std::this_thread::yield();
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  ScopedClock scopedClock_{clock_};
};

}  // namespace dispatch
