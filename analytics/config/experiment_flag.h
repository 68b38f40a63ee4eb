// Conversions between flag values and Flag messages (analytics/proto, experiments.proto).
//
// A flag value is a string or a number: an integer (or bool) number is stored as int_value, a
// floating-point number as double_value (also when it is whole: 2.0 stays a double), a string as
// string_value. Reading a Flag answers the first present value field in the order int_value,
// double_value, string_value, bool_value.
//
// Thread safety: pure functions; the messages they build belong to the caller.
#pragma once

#include <memory>

#include "analytics/proto/messages.h"
#include "platform/foundation/value.h"

// A Flag named `name` holding `value`, or null (logged at level 1 through the experiments monitor)
// when the name is null (850000), not a string (850001), or the value is neither a string nor a
// number (850002).
std::shared_ptr<APMPBFlag> APMEFlagWithName(const fnd::Value& name, const fnd::Value& value);

// The flag's value: an int64 number, a double number, a string or a bool; null when `flag` is
// null or holds no value field.
fnd::Value APMEValueFromFlagProto(const APMPBFlag* flag);

// The flag's name, or "" when it has none.
std::string APMEFlagName(const APMPBFlag& flag);
