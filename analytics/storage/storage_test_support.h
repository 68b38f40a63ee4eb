// Test support for the storage tests: a fresh QUELLMARK_HOME per test and a capture of the lines
// logged through the engine's monitor.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/test_home.h"

namespace ziv_storage_test {

// A fresh QUELLMARK_HOME for the test's lifetime, with a helper for paths inside it.
class TempHome {
 public:
  const std::string& path() const { return home_.path(); }
  std::string file(const std::string& name) const { return home_.path() + "/" + name; }

 private:
  fnd::ScopedTestHome home_;
};

// Records every line logged through the engine's monitor while it lives.
class LogCapture {
 public:
  LogCapture() {
    ZIVMeasurement::monitor()->setLogListener([this](const ZIVLogEntry& entry) {
      std::lock_guard<std::mutex> lock(mu_);
      entries_.push_back(entry);
    });
  }
  ~LogCapture() { ZIVMeasurement::monitor()->setLogListener(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<ZIVLogEntry> entries() const {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_;
  }
  // The entries with this message code.
  std::vector<ZIVLogEntry> withCode(int64_t code) const {
    std::vector<ZIVLogEntry> found;
    for (const ZIVLogEntry& entry : entries()) {
      if (entry.messageCode == code) found.push_back(entry);
    }
    return found;
  }
  bool has(int64_t code) const { return !withCode(code).empty(); }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<ZIVLogEntry> entries_;
};

}  // namespace ziv_storage_test
