// ZIVMeasurement: the measurement engine. For now it holds what the foundation below it needs:
// the engine's one shared monitor, through which every engine class logs.
//
// Thread safety: every class method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>

class ZIVMonitor;

class ZIVMeasurement {
 public:
  // The process-wide monitor, made once (at level 6, writing to the process's console) with the
  // engine's library version. Never null.
  static const std::shared_ptr<ZIVMonitor>& monitor();

  // The library version the monitor and the uploads carry (120500 for version 12.5.0).
  static int64_t libraryVersion();
};
