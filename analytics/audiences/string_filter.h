// String filters of audience definitions: one of six match types against a string, case-
// insensitive unless the filter's case-sensitive flag is set. Checked for validity when a
// definition is accepted and again before each evaluation; evaluation answers true, false or
// nullopt (not evaluable), each nullopt logged through the engine's monitor.
//
// A regular expression comes from the server and runs on user data, so every match runs under the
// work limit of fnd::Regex: a pattern that would take too long gives nullopt (log 9009) instead
// of holding the worker queue.
//
// Thread safety: pure functions; the engine calls them on its worker queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/regex.h"

class APMPBStringFilter;

// Match types of a string filter (position 0).
enum ZIVAudienceMatchType : int32_t {
  ZIVAudienceMatchTypeUnknown = 0,
  ZIVAudienceMatchTypeRegularExpression = 1,
  ZIVAudienceMatchTypeBeginsWith = 2,
  ZIVAudienceMatchTypeEndsWith = 3,
  ZIVAudienceMatchTypeContains = 4,
  ZIVAudienceMatchTypeExact = 5,
  ZIVAudienceMatchTypeInList = 6,
};

// A match type with what it needs; for a regular expression, a pattern that compiles. Logs 9000
// to 9004 otherwise. Null is invalid.
bool ZIVAudienceIsValidStringFilter(const APMPBStringFilter* filter);
// The same; for a valid regular-expression filter, `regex` (when given) receives the compiled
// expression.
bool ZIVAudienceInternalIsValidStringFilter(const APMPBStringFilter* filter,
                                            std::optional<fnd::Regex>* regex = nullptr);

// The filter's outcome for `string`; nullopt for no string, an invalid filter, an unknown match
// type or a regular expression that ran out of work.
std::optional<bool> ZIVAudienceEvaluateStringFilterWithString(
    const APMPBStringFilter* filter, const std::optional<std::string>& string);
