// ZIVDataTypeValidator: the rules that names and values must meet before the engine accepts them.
// Every check answers true or false, reports why through an optional failure code and writes one
// log line through the engine's monitor for most refusals; it changes nothing.
//
// This holds the checks on internal names and values that user-property records and stored
// events need; the public-name, parameter, screen, ecommerce and currency rules join them here.
//
// Thread safety: stateless; may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

// Failure codes written to the out-parameter (0 at the start of every check).
enum ZIVDataTypeFailure : uint64_t {
  kZIVDataTypeFailureNone = 0,
  kZIVDataTypeFailureRequired = 1,     // nil, or empty where a value is required
  kZIVDataTypeFailureTooLong = 2,      // longer than the maximum
  kZIVDataTypeFailureCharacters = 3,   // a character outside letters, digits and "_"
  kZIVDataTypeFailureReserved = 4,     // reserved name or reserved prefix
  kZIVDataTypeFailureWrongType = 5,    // not a string / not a ZIVValue
  kZIVDataTypeFailureNoGTMSuffix = 6,  // forwarded origin without "+gtm"
  kZIVDataTypeFailureTooShort = 7,     // shorter than the minimum
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
inline constexpr int64_t ZIVDataTypeUserAttributeMaxNameLength = 24;
inline constexpr int64_t ZIVDataTypeUserAttributeMaxValueLength = 36;
inline constexpr int64_t ZIVDataTypeUserIDMaxValueLength = 256;
inline constexpr int64_t ZIVDataTypeGBRAIDMaxValueLength = 256;
inline constexpr int64_t ZIVDataTypePSMValueMaxValueLength = 512;

class ZIVDataTypeValidator {
 public:
  ZIVDataTypeValidator() = delete;

  // Building blocks. Lengths count code points.
  static bool isValidString(const fnd::Value& object, int64_t minLength, int64_t maxLength,
                            int type, uint64_t* failureCode);
  static bool isValidInternalName(const fnd::Value& name, int64_t maxLength, int type,
                                  uint64_t* failureCode);
  // `value` must hold a ZIVValue record; a string value must also pass isValidString.
  static bool isValidValue(const fnd::Value& value, int64_t minLength, int64_t maxLength, int type,
                           uint64_t* failureCode);

  static bool isValidInternalEventName(const fnd::Value& name, uint64_t* failureCode = nullptr);
  static bool isValidInternalEventOrigin(const fnd::Value& origin, uint64_t* failureCode = nullptr);
  // Not empty (failure 1), ends with "+gtm" (failure 6), both without a log; the text before the
  // suffix must be an internal origin.
  static bool isValidForwardedEventOrigin(const fnd::Value& origin,
                                          uint64_t* failureCode = nullptr);

  static bool isValidInternalUserAttributeName(const fnd::Value& name,
                                               uint64_t* failureCode = nullptr);
  // At least 1 code point; at most 512 for "_psmvalue" and "_psmvalue_gads", 256 for "_gbraid"
  // and "_id", 36 for every other name.
  static bool isValidInternalUserAttributeValue(const fnd::Value& value, const std::string& name,
                                                uint64_t* failureCode = nullptr);
};

// The non-nil ZIVValue test alone.
bool ZIVIsNonNilZIVValue(const fnd::Value& value, int type, uint64_t* failureCode);
// The type name followed by the text ("Event name is required ...").
std::string ZIVPrependStringTypeName(int type, const std::string& text);
