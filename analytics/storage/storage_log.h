// Logging of the storage and value classes through the engine's shared monitor.
//
// Thread safety: may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

// Logs one line through the engine's monitor with up to three context values.
void ZIVStorageLog(int64_t level, int64_t code, const std::string& message,
                   const fnd::Array& contexts);
