#include <algorithm>
#include <string>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audience_messages.h"
#include "analytics/audiences/number_filter.h"
#include "analytics/audiences/string_filter.h"
#include "analytics/foundation/errors.h"

namespace {

constexpr int64_t kAudienceError = 9;
constexpr int64_t kEventFilterError = 10;
constexpr int64_t kPropertyFilterError = 11;

bool HasNonEmptyString(const NANOMessageBase* message, int32_t position) {
  return ZIVAudienceStringField(message, position).has_value();
}

// Whether exactly one of the value filter's number and string filters is present.
bool HasExactlyOneValueFilter(const APMPBFilter* filter) {
  return NANOHasField(filter, APMPBFilter::kNumberFilter) !=
         NANOHasField(filter, APMPBFilter::kStringFilter);
}

// Checks the number or string filter of a value filter; `numberFailure` and `stringFailure` are
// the reasons of the two.
bool IsValidValueFilter(const APMPBFilter* filter, int64_t code, const char* numberFailure,
                        const char* stringFailure, fnd::Error* error) {
  if (auto number = NANOGetMessage<APMPBNumberFilter>(filter, APMPBFilter::kNumberFilter)) {
    if (!ZIVAudienceIsValidNumberFilter(number.get())) {
      return ZIVSetError(error, code, numberFailure);
    }
  }
  if (auto string = NANOGetMessage<APMPBStringFilter>(filter, APMPBFilter::kStringFilter)) {
    if (!ZIVAudienceIsValidStringFilter(string.get())) {
      return ZIVSetError(error, code, stringFailure);
    }
  }
  return true;
}

// The filter ID's checks shared by event and property filters.
bool IsValidFilterID(const NANOMessageBase* filter, int32_t position, int32_t maxFilters,
                     std::set<int32_t>* usedIDs, int64_t code, const char* missing,
                     const char* outOfRange, const char* duplicate, fnd::Error* error) {
  if (!NANOHasField(filter, position)) return ZIVSetError(error, code, missing);
  const int32_t filterID = NANOGetInt32(filter, position);
  if (filterID < 0 || filterID >= maxFilters) return ZIVSetError(error, code, outOfRange);
  if (!usedIDs->insert(filterID).second) return ZIVSetError(error, code, duplicate);
  return true;
}

}  // namespace

bool ZIVIsValidAudienceProto(const APMPBAudience* audience, const std::set<int32_t>& acceptedIDs,
                             const ZIVAudienceSettings& settings, fnd::Error* error) {
  if (!audience || !NANOHasField(audience, APMPBAudience::kAudienceId)) {
    return ZIVSetError(error, kAudienceError, "Missing audience ID");
  }
  const int32_t audienceID = NANOGetInt32(audience, APMPBAudience::kAudienceId);
  if (audienceID < 0) return ZIVSetError(error, kAudienceError, "Audience ID is negative");
  if (acceptedIDs.count(audienceID)) {
    return ZIVSetError(error, kAudienceError, "Duplicate audience ID");
  }
  std::optional<fnd::Array> eventItems =
      NANOGetArray(audience, APMPBAudience::kEventFilters, &APMPBEventFilter::messageClass());
  std::optional<fnd::Array> propertyItems =
      NANOGetArray(audience, APMPBAudience::kPropertyFilters, &APMPBPropertyFilter::messageClass());
  if (!eventItems && !propertyItems) {
    return ZIVSetError(error, kAudienceError, "Audience missing filters arrays");
  }
  const auto eventFilters =
      ZIVAudienceMessagesOfField<APMPBEventFilter>(audience, APMPBAudience::kEventFilters);
  const auto propertyFilters =
      ZIVAudienceMessagesOfField<APMPBPropertyFilter>(audience, APMPBAudience::kPropertyFilters);
  const int32_t maxFilters = settings.maxFiltersPerAudience();
  const size_t filterCount = eventFilters.size() + propertyFilters.size();
  if (filterCount < 1 || filterCount > static_cast<size_t>(std::max(maxFilters, 0))) {
    return ZIVSetError(error, kAudienceError, "Audience filter count out of range");
  }

  std::set<int32_t> usedIDs;
  const int32_t maxParameters = settings.maxParametersPerFilter();
  for (const auto& filter : eventFilters) {
    if (!HasNonEmptyString(filter.get(), APMPBEventFilter::kEventName)) {
      return ZIVSetError(error, kEventFilterError, "Event filter missing event name");
    }
    if (!IsValidFilterID(filter.get(), APMPBEventFilter::kFilterId, maxFilters, &usedIDs,
                         kEventFilterError, "Missing event filter ID",
                         "Event filter ID is out of range", "Duplicate event filter ID", error)) {
      return false;
    }
    if (auto count =
            NANOGetMessage<APMPBNumberFilter>(filter.get(), APMPBEventFilter::kTag5NumberFilter)) {
      if (NANOGetBool(count.get(), APMPBNumberFilter::kTag2Flag)) {
        return ZIVSetError(error, kEventFilterError, "Event filter has float event count filter");
      }
      if (!ZIVAudienceIsValidNumberFilter(count.get())) {
        return ZIVSetError(error, kEventFilterError, "Event filter has invalid event count filter");
      }
    }
    const auto parameterFilters =
        ZIVAudienceMessagesOfField<APMPBFilter>(filter.get(), APMPBEventFilter::kParameterFilters);
    if (parameterFilters.size() > static_cast<size_t>(std::max(maxParameters, 0))) {
      return ZIVSetError(error, kEventFilterError,
                         "Event filter parameters filters count out of range");
    }
    for (const auto& parameterFilter : parameterFilters) {
      if (!HasNonEmptyString(parameterFilter.get(), APMPBFilter::kParameterName)) {
        return ZIVSetError(error, kEventFilterError, "Event filter missing parameter name");
      }
      if (!HasExactlyOneValueFilter(parameterFilter.get())) {
        return ZIVSetError(error, kEventFilterError,
                           "Event filter must have exactly one of number or string filter");
      }
      if (!IsValidValueFilter(parameterFilter.get(), kEventFilterError,
                              "Event filter has invalid number filter",
                              "Event filter has invalid string filter", error)) {
        return false;
      }
    }
  }

  for (const auto& filter : propertyFilters) {
    if (!HasNonEmptyString(filter.get(), APMPBPropertyFilter::kPropertyName)) {
      return ZIVSetError(error, kPropertyFilterError, "Property filter missing property name");
    }
    if (!IsValidFilterID(filter.get(), APMPBPropertyFilter::kFilterId, maxFilters, &usedIDs,
                         kPropertyFilterError, "Missing property filter ID",
                         "Property filter ID is out of range", "Duplicate property filter ID",
                         error)) {
      return false;
    }
    auto valueFilter = NANOGetMessage<APMPBFilter>(filter.get(), APMPBPropertyFilter::kFilter);
    if (!valueFilter) {
      return ZIVSetError(error, kPropertyFilterError, "Property filter has no filter");
    }
    if (!HasExactlyOneValueFilter(valueFilter.get())) {
      return ZIVSetError(error, kPropertyFilterError,
                         "Property filter must have exactly one of number or string filter");
    }
    if (!IsValidValueFilter(valueFilter.get(), kPropertyFilterError,
                            "Property filter has invalid number filter",
                            "Property filter has invalid string filter", error)) {
      return false;
    }
  }
  return true;
}
