// APMEMonitor: the experiments client's one way to log. It holds the engine's monitor and forwards
// every call unchanged, so experiment lines carry their own codes (800000 to 880000) in the same
// log and health record as the rest of the engine.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

class ZIVMonitor;

class APMEMonitor {
 public:
  // Forwards to `monitor`, which must not be null.
  explicit APMEMonitor(std::shared_ptr<ZIVMonitor> monitor);
  APMEMonitor(const APMEMonitor&) = delete;
  APMEMonitor& operator=(const APMEMonitor&) = delete;

  // The forwarder around ZIVMeasurement::monitor(), made once. APMEManager::monitor() answers it.
  static const std::shared_ptr<APMEMonitor>& sharedMonitor();

  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Value& context);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Value& context1, const fnd::Value& context2);
  void logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                    const fnd::Value& context1, const fnd::Value& context2,
                    const fnd::Value& context3);
  void clearMonitoringData();

 private:
  const std::shared_ptr<ZIVMonitor> monitor_;  // Constant after construction.
};

// Logs through the shared forwarder with the form that matches the number of contexts (at most
// three are passed on).
void APMELog(int64_t level, int64_t messageCode, const std::string& message,
             const fnd::Array& contexts = {});

// The class name of a value, as the experiments client names what it was given in log contexts:
// a record's type name, else the value's kind ("string", "int", "null", ...).
std::string APMEClassNameOfValue(const fnd::Value& value);
