#include "analytics/config/experiments_monitor.h"

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

APMEMonitor::APMEMonitor(std::shared_ptr<ZIVMonitor> monitor) : monitor_(std::move(monitor)) {}

const std::shared_ptr<APMEMonitor>& APMEMonitor::sharedMonitor() {
  static const std::shared_ptr<APMEMonitor>& monitor =
      *new std::shared_ptr<APMEMonitor>(std::make_shared<APMEMonitor>(ZIVMeasurement::monitor()));
  return monitor;
}

void APMEMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message) {
  monitor_->logWithLevel(level, messageCode, message);
}

void APMEMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const fnd::Value& context) {
  monitor_->logWithLevel(level, messageCode, message, context);
}

void APMEMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const fnd::Value& context1, const fnd::Value& context2) {
  monitor_->logWithLevel(level, messageCode, message, context1, context2);
}

void APMEMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                               const fnd::Value& context1, const fnd::Value& context2,
                               const fnd::Value& context3) {
  monitor_->logWithLevel(level, messageCode, message, context1, context2, context3);
}

void APMEMonitor::clearMonitoringData() { monitor_->clearMonitoringData(); }

void APMELog(int64_t level, int64_t messageCode, const std::string& message,
             const fnd::Array& contexts) {
  APMEMonitor& monitor = *APMEMonitor::sharedMonitor();
  switch (contexts.size()) {
    case 0:
      monitor.logWithLevel(level, messageCode, message);
      break;
    case 1:
      monitor.logWithLevel(level, messageCode, message, contexts[0]);
      break;
    case 2:
      monitor.logWithLevel(level, messageCode, message, contexts[0], contexts[1]);
      break;
    default:
      monitor.logWithLevel(level, messageCode, message, contexts[0], contexts[1], contexts[2]);
      break;
  }
}

std::string APMEClassNameOfValue(const fnd::Value& value) {
  if (const auto* record = value.record(); record && *record) return (*record)->typeName();
  return fnd::Value::kindName(value.kind());
}
