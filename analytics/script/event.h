// APMPEvent: the event that event editing works on: a name, a timestamp in seconds, and the
// parameters in Foundation form (string, number, or list of dictionaries), keyed by name.
// APMPNormalizedParameter() decides what a script's new parameter value is stored as.
//
// Thread safety: a plain value; copy it between threads, do not share one.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

// The value stored for parameter `name` when a script gives `newValue` and the event currently
// holds `current` (null when it holds none):
//   - a new value that is no number is stored unchanged;
//   - "_syn", "_err" and "_el" store the number as a 64-bit integer (truncated);
//   - a floating-point current value keeps the new number as it is;
//   - an integer current value: a name beginning with "_" keeps the current value, any other
//     name (the empty one included) stores the number as a 64-bit integer;
//   - a string current value stores the number's decimal text;
//   - otherwise the number is stored as it is.
// So a parameter keeps its kind across script edits, and scripts cannot change the internal
// integer parameters.
fnd::Value APMPNormalizedParameter(const std::string& name, const fnd::Value* current,
                                   const fnd::Value& newValue);

class APMPEvent {
 public:
  APMPEvent() = default;
  // The parameters are copied.
  APMPEvent(std::string name, double timestamp, fnd::Dictionary parameters);

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  // Keys are string values.
  const fnd::Dictionary& parameters() const { return parameters_; }

  // The parameter, or null when absent.
  const fnd::Value* parameterForName(const std::string& name) const;
  bool hasParameterName(const std::string& name) const;
  // nullopt removes the parameter; a value is stored as APMPNormalizedParameter(name, current,
  // value).
  void setParameter(const std::optional<fnd::Value>& value, const std::string& name);

  // Equal when the timestamps differ by at most one machine epsilon (absolute), the names are
  // equal, both hold the same parameter names, and each parameter is equal on both sides:
  // numbers by value and, at the top level, of the same kind (both floating-point or both
  // integer); strings by text; lists and dictionaries element by element. Requiring the same
  // names on both sides makes the removal of a parameter an edit.
  bool isEqualToEvent(const APMPEvent& other) const;

 private:
  std::string name_;
  double timestamp_ = 0;
  fnd::Dictionary parameters_;
};
