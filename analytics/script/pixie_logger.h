// ZIVPixieLogger: the engine's APMPLoggerDelegate. It writes every script log line to the engine
// monitor with message code 24005, mapping the script level to a monitor level:
//   2 -> 8;  3 -> 7;  5 -> 5 silent, else 4 monitored, else 3;
//   6 -> 2 silent, else 1 monitored, else 0;  any other level (4 included) -> 6.
//
// Thread safety: as the monitor; log from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/script/host_modules.h"

class ZIVMonitor;

inline constexpr int64_t ZIVPixieLoggerMessageCode = 24005;

class ZIVPixieLogger final : public APMPLoggerDelegate {
 public:
  // Logs to ZIVMeasurement::monitor().
  ZIVPixieLogger();
  // Logs to the given monitor (tests).
  explicit ZIVPixieLogger(std::shared_ptr<ZIVMonitor> monitor);

  void logWithLevel(int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override;

  // The monitor level for a script level and the two flags.
  static int64_t monitorLevelForScriptLevel(int64_t level, bool silent, bool monitored);

 private:
  const std::shared_ptr<ZIVMonitor> monitor_;  // Null: the shared monitor at each call.
};
