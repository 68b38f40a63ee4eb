// Test support for the dispatch tests: a fixture with a fresh temporary QUELLMARK_HOME, a manual
// clock installed as the current clock, and the main queue drained when the test ends so that no
// work leaks into the next test. Not for production code.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"

namespace dispatch {

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quellmark-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("QUELLMARK_HOME", home_.c_str(), 1);
  }

  void TearDown() override {
    RunLoop::main().runUntilIdle();
    unsetenv("QUELLMARK_HOME");
    std::error_code ignored;  // A leftover temporary folder is harmless.
    std::filesystem::remove_all(home_, ignored);
  }

  // Spins (yielding, never sleeping) until `clock` holds `count` pending deadlines: how a test
  // knows that another thread has started a timed wait.
  static void waitForPendingTimers(const ManualClock& clock, size_t count) {
    while (clock.pendingTimerCount() != count) std::this_thread::yield();
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  ScopedClock scopedClock_{clock_};
  std::string home_;
};

}  // namespace dispatch
