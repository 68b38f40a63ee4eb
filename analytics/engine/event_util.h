// Free functions that every event path shares:
//   - the error parameters "_err" (int64 code), "_ev" (the offending name or value, cut) and "_el"
//     (its full length) that record why a name, value or parameter was refused, the first
//     recorded error winning, and the internal "_err" event (origin "auto") that reports a refusal
//     outside an event;
//   - the name tests (public, error, subscription, ecommerce, conversion, purchase);
//   - the normalisation of a parameter dictionary when an event is made: keys and values are
//     checked (data_type_validator.h), values become ZIVValues, ecommerce "items" arrays are
//     normalised item by item, and the number of public parameters is capped;
//   - small functions on parameter dictionaries: trimming, screen parameters, removal of "gad_"
//     parameters, conversion value checks and the count of nested items.
//
// Parameter dictionaries come in two forms: the Foundation form (fnd::Dictionary, string keys to
// strings, numbers, arrays or ZIVValue records) that callers hand in, and an event's typed form
// (ZIVEvent::Parameters). Functions that work on both have one overload for each. Nothing here
// fails a call: refused names and values are dropped, recorded as error parameters and logged
// through the engine's monitor (codes 18000 to 18017; the validator logs its own).
//
// Thread safety: stateless and re-entrant; called from callers' threads and from the engine's
// worker queue. Dictionaries handed in for changes in place belong to the caller. The limits are
// read from the current server settings (event_settings.h) at each call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "analytics/engine/event.h"
#include "analytics/foundation/value.h"
#include "platform/foundation/value.h"

// ---- The "_err" event.

// How "_err" events reach the engine's facade (its internal-event entry with origin, name and
// Foundation parameters).
using ZIVInternalEventLogger = std::function<void(
    const std::string& origin, const std::string& name, const fnd::Dictionary& parameters)>;
// Installs the facade's entry; null disconnects it. While none is installed the "_err" events are
// dropped. Thread-safe.
void ZIVSetInternalEventLogger(ZIVInternalEventLogger logger);

// Code 0 does nothing; otherwise logs the event "_err" (origin "auto") with the single parameter
// "_err" holding the code as a number.
void ZIVLogErrorEventWithCode(int64_t code);
// Code 0 does nothing; otherwise logs "_err" with "_err" = the code and, as
// ZIVAddErrorValueAndLengthParameters, "_ev" from `errorValue`. The length source (null: none) is
// used only for codes 4 and 7, or when it is a string longer than `maxValueLength`.
void ZIVLogErrorEventWithParameters(int64_t code, const fnd::Value& errorValue,
                                    int64_t maxValueLength, const fnd::Value& lengthSource);

// ---- Error parameters.

// Sets "_err" to the code when it is absent.
void ZIVAddErrorParameter(fnd::Dictionary* parameters, int64_t code);
void ZIVAddErrorParameter(ZIVEvent::Parameters* parameters, int64_t code);
// Only when none of "_err", "_ev", "_el" is present: "_err" = code, then as below.
void ZIVAddErrorParameters(fnd::Dictionary* parameters, int64_t code, const fnd::Value& errorValue,
                           int64_t maxValueLength, const fnd::Value& lengthSource);
void ZIVAddErrorParameters(ZIVEvent::Parameters* parameters, int64_t code,
                           const fnd::Value& errorValue, int64_t maxValueLength,
                           const fnd::Value& lengthSource);
// Only when neither "_ev" nor "_el" is present: "_ev" = the error value's text (a string as it
// is, "(nil)" for null, else its class name), cut to `maxValueLength` code points followed by
// "..." when longer; and, when `lengthSource` is not null, "_el" = its code point count (a
// string), element count (an array) or 0.
void ZIVAddErrorValueAndLengthParameters(fnd::Dictionary* parameters, const fnd::Value& errorValue,
                                         int64_t maxValueLength, const fnd::Value& lengthSource);
void ZIVAddErrorValueAndLengthParameters(ZIVEvent::Parameters* parameters,
                                         const fnd::Value& errorValue, int64_t maxValueLength,
                                         const fnd::Value& lengthSource);
// Error parameters for a refused array parameter (maximum 40, no length source): validator
// failure 10 -> 21 with the event name, 11 -> 20, 12 -> 17, 13 -> 22 with the parameter name; any
// other failure adds nothing.
void ZIVAddErrorParametersForEcommerceValidationFailureCode(
    fnd::Dictionary* parameters, uint64_t failureCode, const std::string& parameterName,
    const std::optional<std::string>& eventName);

// ---- Name tests.

// A non-empty string whose first UTF-16 unit is not "_". A non-string (18002) or an empty name
// (18003) answers false with a log line.
bool ZIVEventUtilIsPublicName(const fnd::Value& name);
// The event's name is "_err".
bool ZIVEventUtilIsErrorEvent(const ZIVEvent& event);
// "_assc", "_assr", or "_iap" whose "subscription" is the int64 1.
bool ZIVEventUtilIsSubscriptionEvent(const ZIVEvent& event);
// The name tests below answer false for an empty name with log 18004.
bool ZIVEventUtilIsValidEcommerceEventName(const std::string& name);
bool ZIVEventUtilIsConversionEventName(const std::string& name);
bool ZIVIsPurchaseEventName(const std::string& name);
// One of the 33 predefined ecommerce item parameters.
bool ZIVEventUtilIsPredefinedEcommerceItemsParam(const fnd::Value& name);
// Every event but "_err" takes the default event parameters.
bool ZIVEventAllowsDefaultEventParameters(const std::string& name);

// ---- Parameters.

// The normalised dictionary (every kept value a ZIVValue record, error parameters added), or
// nullopt for an empty input. `eventName` nullopt: no name. `isPublic` applies the public name and
// value rules; `isNested` marks the parameters of one ecommerce item, whose custom parameters are
// capped by maxItemScopedCustomParameters instead of maxPublicEventParams.
std::optional<fnd::Dictionary> ZIVNormalizedParametersForParametersAndEventName(
    const fnd::Dictionary& parameters, const std::optional<std::string>& eventName, bool isPublic,
    bool isNested);
// Whether normalising these typed parameters for the non-public event `eventName` (not nested)
// hands them back unchanged: every key a valid internal parameter name, every value present, an
// "_ev" within the internal value limit or cut already, an internal event's strings within that
// limit, and no more public parameters than allowed. Logs nothing: when it answers false, the
// normaliser does the work and the logging.
bool ZIVParametersAreNormalized(const ZIVEvent::Parameters& parameters,
                                const std::string& eventName);
// The event settings that ZIVParametersAreNormalized() reads, as they are now.
ZIVParameterLimits ZIVCurrentParameterLimits();
// ZIVParametersAreNormalized() under the given limits.
bool ZIVParametersAreNormalized(const ZIVEvent::Parameters& parameters,
                                const std::string& eventName, const ZIVParameterLimits& limits);
// Whether an internal-origin parameter "_o" holding `origin` keeps parameters that are normalised
// for `eventName` under `limits` normalised.
bool ZIVOriginParameterIsNormalized(const std::string& origin, const std::string& eventName,
                                    const ZIVParameterLimits& limits);
// The same with no event name, not nested.
std::optional<fnd::Dictionary> ZIVNormalizedParametersForParameters(
    const fnd::Dictionary& parameters, bool isPublic);
// The array value of an array parameter: the normalised item dictionaries (only the first 200 of
// a longer array, with *failureCode 12), as an array ZIVValue; null when the validator refuses
// the array (*failureCode says why). Items that are not dictionaries add error parameters to
// `additions`.
ZIVValuePtr ZIVNormalizeArrayParametersValue(const fnd::Array& array,
                                             const std::string& parameterName,
                                             const std::optional<std::string>& eventName,
                                             fnd::Dictionary* additions, bool isNested,
                                             bool isPublic, uint64_t* failureCode);
// Whether the key may stay (the public and internal parameter name rules). A refused key adds
// error parameters to `additions` (may be null) when they hold no "_err" yet: 14 for a reserved
// name, else 3.
bool ZIVEventUtilIsValidParameterKey(const fnd::Value& key, bool isPublic,
                                     fnd::Dictionary* additions);
// The number of public keys; with `ignorePredefinedItemParams` the predefined item parameters do
// not count.
int64_t ZIVEventPublicParameterCountIgnoringAllowlistedParams(const fnd::Dictionary& parameters,
                                                              bool ignorePredefinedItemParams);
int64_t ZIVEventPublicParameterCountIgnoringAllowlistedParams(
    const ZIVEvent::Parameters& parameters, bool ignorePredefinedItemParams);
// When the public count exceeds `maxCount`, removes public keys from the end of the keys'
// ascending order until it does not: the public keys that sort first survive.
void ZIVEventTrimEventParameters(fnd::Dictionary* parameters, int64_t maxCount);
void ZIVEventTrimEventParameters(ZIVEvent::Parameters* parameters, int64_t maxCount);
void ZIVEventTrimEventParametersIgnoringAllowlistedParams(fnd::Dictionary* parameters,
                                                          int64_t maxCount,
                                                          bool ignorePredefinedItemParams);
void ZIVEventTrimEventParametersIgnoringAllowlistedParams(ZIVEvent::Parameters* parameters,
                                                          int64_t maxCount,
                                                          bool ignorePredefinedItemParams);
// Whether any of "_si", "_sc", "_sn" is present.
bool ZIVHasScreenParameters(const fnd::Dictionary& parameters);
bool ZIVHasScreenParameters(const ZIVEvent::Parameters& parameters);
// A new dictionary with those of "_sn", "_sc", "_si" that are present.
fnd::Dictionary ZIVExtractScreenParameters(const fnd::Dictionary& parameters);
ZIVEvent::Parameters ZIVExtractScreenParameters(const ZIVEvent::Parameters& parameters);
// A copy without every string key that begins with "gad_".
fnd::Dictionary ZIVParametersWithoutGADParams(const fnd::Dictionary& parameters);
// Without a required value and without "value": true. Otherwise "value" must be numeric (else
// error 18, "value") and "currency" a three-letter code (else log 18014 and error 19,
// "currency"); on failure "value" is removed, the error parameters are added and the answer is
// false.
bool ZIVValidateConversionEventParameters(fnd::Dictionary* parameters, bool requireValue);
bool ZIVValidateConversionEventParameters(ZIVEvent::Parameters* parameters, bool requireValue);
// The number of items in the event's array parameters; 0 for a null event.
int64_t ZIVEventUtilNestedParamCount(const ZIVEvent* event);
