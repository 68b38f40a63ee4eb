#include "analytics/script/pixie_logger.h"

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

ZIVPixieLogger::ZIVPixieLogger() = default;

ZIVPixieLogger::ZIVPixieLogger(std::shared_ptr<ZIVMonitor> monitor)
    : monitor_(std::move(monitor)) {}

int64_t ZIVPixieLogger::monitorLevelForScriptLevel(int64_t level, bool silent, bool monitored) {
  switch (level) {
    case 2:
      return 8;
    case 3:
      return 7;
    case 5:
      return silent ? 5 : (monitored ? 4 : 3);
    case 6:
      return silent ? 2 : (monitored ? 1 : 0);
    default:
      return 6;
  }
}

void ZIVPixieLogger::logWithLevel(int64_t level, const std::string& message,
                                  const std::vector<std::string>& context, bool silent,
                                  bool monitored) {
  fnd::Array contexts;
  for (const auto& item : context) contexts.emplace_back(item);
  const std::shared_ptr<ZIVMonitor>& monitor = monitor_ ? monitor_ : ZIVMeasurement::monitor();
  monitor->logWithLevel(monitorLevelForScriptLevel(level, silent, monitored),
                        ZIVPixieLoggerMessageCode, message, contexts);
}
