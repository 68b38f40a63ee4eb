#include "analytics/engine/measurement.h"

#include "analytics/foundation/monitor.h"

namespace {

// The version text "120500000" without its last three characters.
constexpr int64_t kLibraryVersion = 120500;

}  // namespace

const std::shared_ptr<ZIVMonitor>& ZIVMeasurement::monitor() {
  static const std::shared_ptr<ZIVMonitor>& monitor =
      *new std::shared_ptr<ZIVMonitor>(ZIVMonitor::create(libraryVersion()));
  return monitor;
}

int64_t ZIVMeasurement::libraryVersion() { return kLibraryVersion; }
