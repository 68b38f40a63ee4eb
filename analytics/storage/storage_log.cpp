#include "analytics/storage/storage_log.h"

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"

void ZIVStorageLog(int64_t level, int64_t code, const std::string& message,
                   const fnd::Array& contexts) {
  ZIVMeasurement::monitor()->logWithLevel(level, code, message, contexts);
}
