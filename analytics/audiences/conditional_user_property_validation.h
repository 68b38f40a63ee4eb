// The validity rule of a conditional user property request (the record is
// analytics/storage/conditional_user_property.h): a valid origin and name, a valid value when there
// is one (none means a removal), and a trigger timeout and time to live of 0.001 to 15552000
// seconds (180 days), both ends included.
//
// Thread safety: a pure function; may be called from any thread.
#pragma once

#include "analytics/storage/conditional_user_property.h"

// The shortest and longest trigger timeout and time to live, in seconds.
inline constexpr double ZIVConditionalUserPropertyMinInterval = 0.001;
inline constexpr double ZIVConditionalUserPropertyMaxInterval = 15552000;

// Logs why a request is refused: the validator's own lines for origin, name and value, 11000 for
// the trigger timeout, 11001 for the time to live.
bool ZIVIsValidConditionalUserProperty(const ZIVConditionalUserProperty& property);
