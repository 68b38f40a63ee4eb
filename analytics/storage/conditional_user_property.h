// ZIVConditionalUserProperty: a user property that is set only when a trigger event is logged
// within a trigger timeout and removed again when its time to live has passed; it can carry the
// events to log when it is triggered, times out or expires. This is the record as the analytics
// database stores it (one row of "conditional_properties" per name); the rules and the controller
// that drive it belong to the audiences layer.
//
// Thread safety: a plain record; used on the engine's worker queue.
#pragma once

#include <memory>
#include <string>

#include "analytics/foundation/value.h"

class ZIVEvent;

struct ZIVConditionalUserProperty {
  std::string name;              // The user property name; the key of the stored row.
  std::string origin;            // Origin of the caller that set it.
  ZIVValuePtr value;             // The value to set; null means a removal.
  std::string triggerEventName;  // Empty: active at once.
  double triggerTimeout = 0;     // Seconds after creation in which a trigger still counts.
  double timeToLive = 0;         // Seconds an active property lives after it was triggered.
  std::shared_ptr<ZIVEvent> triggeredEvent;
  std::shared_ptr<ZIVEvent> timedOutEvent;
  std::shared_ptr<ZIVEvent> expiredEvent;
  double creationTimestamp = 0;  // Seconds since 1970.
  bool active = false;
  double triggeredTimestamp = 0;  // Seconds since 1970.
};
