// Test support for the analytics foundation: a fresh home and a manual clock per test, a capture
// of every call made on a monitor, and a monitor of a test's own whose console lines are
// captured. Not for production code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/console_log.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/foundation/test_home.h"

// Records every logWithLevel() call on a monitor while alive.
class ZIVLogCapture {
 public:
  explicit ZIVLogCapture(std::shared_ptr<ZIVMonitor> monitor) : monitor_(std::move(monitor)) {
    monitor_->setLogListener([this](const ZIVLogEntry& entry) {
      std::lock_guard<std::mutex> lock(mu_);
      entries_.push_back(entry);
    });
  }
  ~ZIVLogCapture() { monitor_->setLogListener(nullptr); }

  std::vector<ZIVLogEntry> entries() const {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_;
  }
  std::vector<ZIVLogEntry> withCode(int64_t code) const {
    std::vector<ZIVLogEntry> out;
    for (const auto& e : entries()) {
      if (e.messageCode == code) out.push_back(e);
    }
    return out;
  }
  // The codes logged so far, in order.
  std::vector<int64_t> codes() const {
    std::vector<int64_t> out;
    for (const auto& e : entries()) out.push_back(e.messageCode);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.clear();
  }

 private:
  const std::shared_ptr<ZIVMonitor> monitor_;
  mutable std::mutex mu_;
  std::vector<ZIVLogEntry> entries_;
};

// Expects exactly one entry of `code`, with that level and message.
inline void ExpectLogged(const ZIVLogCapture& capture, int64_t level, int64_t code,
                         const std::string& message) {
  auto entries = capture.withCode(code);
  ASSERT_EQ(entries.size(), 1u) << "code " << code;
  EXPECT_EQ(entries[0].level, level) << "code " << code;
  EXPECT_EQ(entries[0].message, message) << "code " << code;
}

// A fresh QUELLMARK_HOME, a manual clock and a capture of the engine's shared monitor.
class ZIVFoundationTest : public ::testing::Test {
 protected:
  ZIVFoundationTest()
      : clock_(std::make_shared<dispatch::ManualClock>()), sharedLog_(ZIVMeasurement::monitor()) {}
  ~ZIVFoundationTest() override {
    // Nothing the shared monitor queued may land after this test's home is gone.
    ZIVMeasurement::monitor()->flush();
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_;
  // Lines of the process's console (the shared monitor's and the preference stores').
  ZIVScopedConsoleCapture sharedConsole_;
  ZIVLogCapture sharedLog_;
};

// A monitor of the test's own: its console is captured, its preferences live in the test's home,
// its launch arguments and build kind are given.
class ZIVTestMonitor {
 public:
  explicit ZIVTestMonitor(std::shared_ptr<dispatch::Clock> clock,
                          std::vector<std::string> arguments = {}, bool storeBuild = false,
                          int64_t libraryVersion = 123)
      : console_(std::make_shared<ZIVConsoleLog>()),
        consoleCapture_(console_),
        appDefaults_(std::make_unique<ZIVUserDefaults>("test.application")) {
    ZIVMonitorEnvironment environment;
    environment.clock = std::move(clock);
    environment.launchArguments = [arguments] { return arguments; };
    environment.isStoreBuild = [storeBuild] { return storeBuild; };
    environment.applicationDefaults = appDefaults_.get();
    environment.monitorSuiteName = "test.monitor";
    environment.randomBelow = [this](uint64_t) { return nextDraw_.load(); };
    monitor_ = ZIVMonitor::create(6, std::make_shared<APMASLLogger>(console_), libraryVersion,
                                  std::move(environment));
    monitor_->flush();
  }
  ~ZIVTestMonitor() { monitor_->flush(); }

  ZIVMonitor& operator*() const { return *monitor_; }
  ZIVMonitor* operator->() const { return monitor_.get(); }
  const std::shared_ptr<ZIVMonitor>& get() const { return monitor_; }
  ZIVConsoleLog& console() const { return *console_; }
  ZIVUserDefaults& appDefaults() const { return *appDefaults_; }
  // The console lines written so far (after the monitor's queue has drained).
  std::vector<ZIVConsoleLine> lines() const {
    monitor_->flush();
    return consoleCapture_.lines();
  }
  std::vector<ZIVConsoleLine> linesWithCode(int64_t code) const {
    monitor_->flush();
    return consoleCapture_.linesWithCode(code);
  }
  void clearLines() {
    monitor_->flush();
    consoleCapture_.clear();
  }
  // What the health sampling's next draw answers (0 replaces the sample).
  void setNextDraw(uint64_t draw) { nextDraw_ = draw; }

 private:
  std::shared_ptr<ZIVConsoleLog> console_;
  ZIVScopedConsoleCapture consoleCapture_;
  std::unique_ptr<ZIVUserDefaults> appDefaults_;
  std::atomic<uint64_t> nextDraw_{1};
  std::shared_ptr<ZIVMonitor> monitor_;
};
