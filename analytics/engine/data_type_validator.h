// ZIVDataTypeValidator: the rules that names and values must meet before the engine accepts them:
// event names and origins, event parameter names and values, user property names and values,
// screen parameters, conditional user properties, ecommerce array parameters, numeric values and
// currency codes. Every check answers true or false, reports why through an optional failure code
// (set to 0 at the start of every check) and writes one log line through the engine's monitor for
// most refusals (codes 13000 to 13014; level 0 error, 3 for parameter and user property values).
// The callers decide what a refusal means; the validator changes nothing.
//
// Lengths are counted in Unicode code points, except the currency code (3 UTF-16 units). Text
// that is not valid UTF-8 is read with U+FFFD in place of each bad sequence, which is not a name
// character, so such names are refused with failure 3. Event parameter value limits come from the
// current server settings (event_settings.h).
//
// Thread safety: stateless; may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

// Failure codes written to the out-parameter.
enum ZIVDataTypeFailure : uint64_t {
  kZIVDataTypeFailureNone = 0,
  kZIVDataTypeFailureRequired = 1,            // nil, or empty where a value is required
  kZIVDataTypeFailureTooLong = 2,             // longer than the maximum
  kZIVDataTypeFailureCharacters = 3,          // not letters, digits, "_"; or not a letter first
  kZIVDataTypeFailureReserved = 4,            // reserved name or reserved prefix
  kZIVDataTypeFailureWrongType = 5,           // not a string / not a ZIVValue
  kZIVDataTypeFailureNoGTMSuffix = 6,         // forwarded origin without "+gtm"
  kZIVDataTypeFailureTooShort = 7,            // shorter than the minimum
  kZIVDataTypeFailureNotNumeric = 8,          // value not numeric
  kZIVDataTypeFailureCurrency = 9,            // not a three-letter currency code
  kZIVDataTypeFailureArrayNotEcommerce = 10,  // array parameter on a non-ecommerce event
  kZIVDataTypeFailureArrayName = 11,          // array parameter not named "items"
  kZIVDataTypeFailureArrayTooLarge = 12,      // more than 200 array items
  kZIVDataTypeFailureArrayNested = 13,        // array parameter inside an array item
  kZIVDataTypeFailureArrayItem = 14,          // array item that is not a dictionary
};

// Type numbers; they name the subject in log messages.
enum ZIVDataType : int {
  kZIVDataTypeEventName = 0,
  kZIVDataTypeEventOrigin = 1,
  kZIVDataTypeEventParameterName = 2,
  kZIVDataTypeEventParameterValue = 3,
  kZIVDataTypeUserPropertyName = 4,
  kZIVDataTypeUserPropertyValue = 5,
  kZIVDataTypeScreenParameterValue = 6,
  kZIVDataTypeConditionalUserPropertyOrigin = 7,
  kZIVDataTypeConditionalUserPropertyName = 8,
  kZIVDataTypeConditionalUserPropertyValue = 9,
};

inline constexpr int64_t ZIVDataTypeEventMaxNameLength = 40;
inline constexpr int64_t ZIVDataTypeEventMaxOriginLength = 32;
inline constexpr int64_t ZIVDataTypeEventParameterMaxNameLength = 40;
inline constexpr int64_t ZIVDataTypeEventParameterArrayItemsMaxSize = 200;
inline constexpr int64_t ZIVDataTypeInternalEventParameterMaxValueLength = 256;
inline constexpr int64_t ZIVDataTypeUserAttributeMaxNameLength = 24;
inline constexpr int64_t ZIVDataTypeUserAttributeMaxValueLength = 36;
inline constexpr int64_t ZIVDataTypeUserIDMaxValueLength = 256;
inline constexpr int64_t ZIVDataTypeGBRAIDMaxValueLength = 256;
inline constexpr int64_t ZIVDataTypePSMValueMaxValueLength = 512;
inline constexpr int64_t ZIVDataTypeMicrosMultiplier = 1000000;

class ZIVDataTypeValidator {
 public:
  ZIVDataTypeValidator() = delete;

  // ---- Building blocks.

  // True when the text begins with "zudiroru_", "rivado_" or "ra_".
  static bool hasReservedPrefixes(const std::string& text);
  // In order: null (1, 13001), not a string (5, 13000), empty with a minimum above 0 (1; 13001
  // except for types 3 and 5, which refuse silently), too long (2, 13000), too short (7, 13000).
  static bool isValidString(const fnd::Value& object, int64_t minLength, int64_t maxLength,
                            int type, uint64_t* failureCode);
  // isValidString with minimum 1, then only letters, decimal digits and "_" (3, 13002).
  static bool isValidInternalName(const fnd::Value& name, int64_t maxLength, int type,
                                  uint64_t* failureCode);
  // isValidInternalName, then the first code point must be a letter (3, 13003).
  static bool isValidPublicName(const fnd::Value& name, int64_t maxLength, int type,
                                uint64_t* failureCode);
  // `value` must hold a ZIVValue record (ZIVIsNonNilZIVValue); a string value must also pass
  // isValidString; numbers and arrays pass.
  static bool isValidValue(const fnd::Value& value, int64_t minLength, int64_t maxLength, int type,
                           uint64_t* failureCode);

  // ---- Events.

  // Public name of at most 40; then, unless the name is "screen_view", a key of the event name
  // table other than "ad_impression" and "in_app_purchase" is reserved (4, 13006) and a reserved
  // prefix is refused (4, 13007).
  static bool isValidPublicEventName(const fnd::Value& name, uint64_t* failureCode = nullptr);
  static bool isValidInternalEventName(const fnd::Value& name, uint64_t* failureCode = nullptr);
  static bool isValidInternalEventOrigin(const fnd::Value& origin, uint64_t* failureCode = nullptr);
  // Not empty (failure 1), ends with "+gtm" (failure 6), both without a log; the text before the
  // suffix must be an internal origin.
  static bool isValidForwardedEventOrigin(const fnd::Value& origin,
                                          uint64_t* failureCode = nullptr);
  // Public name of at most 40; a reserved prefix is refused (4, 13008).
  static bool isValidPublicEventParameterName(const fnd::Value& name,
                                              uint64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterName(const fnd::Value& name,
                                                uint64_t* failureCode = nullptr);
  // A value; a string of at most maxPublicEventParameterValueLength code points.
  static bool isValidPublicEventParameterValue(const fnd::Value& value,
                                               uint64_t* failureCode = nullptr);
  // A value; a string of at most maxInternalEventParameterValueLength code points.
  static bool isValidInternalEventParameterValue(const fnd::Value& value,
                                                 uint64_t* failureCode = nullptr);
  // In order: not nested (13), an ecommerce event (10), named "items" (11), at most 200 items
  // (12); each refusal logs 13013.
  static bool isValidArrayParamForEvent(const std::string& eventName, const std::string& paramName,
                                        int64_t arrayCount, bool isNestedArrayParam,
                                        uint64_t* failureCode = nullptr);
  // The item is a dictionary (14, 13014).
  static bool isValidArrayParamItem(const fnd::Value& item, uint64_t* failureCode = nullptr);

  // ---- User properties.

  // Public name of at most 24; a key of the user property name table is reserved (4, 13009), a
  // reserved prefix is refused (4, 13010).
  static bool isValidPublicUserAttributeName(const fnd::Value& name,
                                             uint64_t* failureCode = nullptr);
  static bool isValidInternalUserAttributeName(const fnd::Value& name,
                                               uint64_t* failureCode = nullptr);
  // A value; a string of 1 to 36 code points.
  static bool isValidPublicUserAttributeValue(const fnd::Value& value,
                                              uint64_t* failureCode = nullptr);
  // At least 1 code point; at most 512 for "_psmvalue" and "_psmvalue_gads", 256 for "_gbraid"
  // and "_id", 36 for every other name.
  static bool isValidInternalUserAttributeValue(const fnd::Value& value, const std::string& name,
                                                uint64_t* failureCode = nullptr);

  // ---- Screens, conditional user properties, numbers and currencies.

  // A plain string (not a ZIVValue) of 1 to maxPublicEventParameterValueLength code points.
  static bool isValidScreenParameterValue(const fnd::Value& value, uint64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyOrigin(const fnd::Value& origin,
                                                   uint64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyName(const fnd::Value& name,
                                                 uint64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyValue(const fnd::Value& value,
                                                  uint64_t* failureCode = nullptr);
  // A ZIVValue of kind int64 or double (8, 13011).
  static bool isValidNumericValue(const fnd::Value& value, uint64_t* failureCode = nullptr);
  // A string ZIVValue of exactly 3 UTF-16 units, each a letter (9, 13012).
  static bool isValidCurrencyCode(const fnd::Value& value, uint64_t* failureCode = nullptr);
};

// The non-nil ZIVValue test alone: null (1, 13004), not a ZIVValue (5, 13005), both at level 3.
bool ZIVIsNonNilZIVValue(const fnd::Value& value, int type, uint64_t* failureCode);
// The type name followed by the text ("Event name is required ..."); "Object" for an unknown type.
std::string ZIVPrependStringTypeName(int type, const std::string& text);
// The Foundation class name that log lines and error values show for an object: "NSString",
// "NSNumber", "NSArray", "NSDictionary", "NSData", "NSDate", "NSNull", or a record's type name.
std::string ZIVClassNameOfObject(const fnd::Value& object);
