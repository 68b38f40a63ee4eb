// Evaluation of one audience filter: an event filter against an event (its name, parameters and
// aggregated counts), a property filter against a user property, and a value filter (number or
// string, possibly complemented) against one value. Each answers true, false or nullopt (not
// evaluable); the reason for a nullopt is logged through the engine's monitor.
//
// Also the rules that decide whether a stored filter is evaluated again and which outcome is
// kept, and the conversion of a user attribute message into a user property.
//
// Thread safety: pure functions; the engine calls them on its worker queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "analytics/engine/event.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/value.h"
#include "analytics/storage/database_records.h"

class APMPBEventFilter;
class APMPBFilter;
class APMPBPropertyFilter;
class APMPBUserAttribute;

// The value filter's outcome: the number filter when there is one (integers and numeric strings
// compared as decimals, doubles as doubles), else the string filter; inverted when the complement
// flag is set (nullopt stays nullopt).
std::optional<bool> ZIVAudienceEvaluateFilterWithValue(const APMPBFilter* filter,
                                                       const ZIVValuePtr& value);

// True when the event has the filter's name and passes its count filter and every parameter
// filter; a filter with neither is true for every event of its name.
std::optional<bool> ZIVAudienceEvaluateEventFilter(const APMPBEventFilter* filter,
                                                   const std::string& eventName,
                                                   const ZIVEvent::Parameters& parameters,
                                                   const ZIVEventAggregates* aggregates);

// The filter's value filter on the property's value, when the names match.
std::optional<bool> ZIVAudienceEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                                      const ZIVUserAttribute* userProperty);

// Decodes the stored event filter and evaluates it; undecodable data logs 6035 and gives nullopt.
std::optional<bool> ZIVGetEventFilterEvaluationResult(const ZIVEventFilter& filter,
                                                      const ZIVEvent::Parameters& parameters,
                                                      const ZIVEventAggregates* aggregates);

// Decodes the stored property filter and evaluates it; undecodable data logs 6036 and gives
// nullopt. Also nullopt (no change) when the filter was true, is static and is not true now.
std::optional<bool> ZIVGetPropertyFilterEvaluationResult(bool previouslyTrue,
                                                         const ZIVPropertyFilter& filter,
                                                         const ZIVUserAttribute& userProperty);

// A filter that was true is evaluated again only when it is dynamic, sequence or session-scoped.
inline bool ZIVShouldEvaluateFilter(bool previouslyTrue, const ZIVStoredFilter& filter) {
  return !previouslyTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

// Whether a property filter's new outcome replaces its previous state: a true outcome always; a
// false one only for a dynamic filter that is not session-scoped.
bool ZIVShouldUpdatePropertyFilterEvaluationResult(bool newResultIsTrue,
                                                   const ZIVPropertyFilter& filter);

// The user property of a user attribute message: its name, its value (string, else double, else
// integer), last set at its time in seconds, origin "". Null when it has no value or the
// validator refuses it.
std::shared_ptr<ZIVUserAttribute> ZIVConvertNanoToUserProperty(const APMPBUserAttribute* message);
