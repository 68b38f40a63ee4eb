// Errors of the scripting runtime. A script failure is never an exception: an operation returns a
// fallback value (undefined, empty string, NaN or false) and stores an error of APMPErrorDomain
// with one of the codes below and no user info. Callers stop at the first error and pass it up
// unchanged.
//
// Out-parameter rule for the whole runtime: every `APMPError* error` parameter must be non-null
// unless its function says otherwise; a function leaves it untouched on success and fills it on
// failure, so a caller passes an empty APMPError and tests it afterwards.
//
// Thread safety: the functions are pure.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/error.h"

// The runtime's error domain.
inline constexpr const char* APMPErrorDomain = "com.rivado.measurement.script.ErrorDomain";

// Runtime error codes.
enum APMPErrorCode : int64_t {
  APMPErrorCodeUndeclaredAssignment = 2,  // Assign to a name no scope in the chain declares.
  APMPErrorCodeNoBooleanValue = 3,        // A value has no boolean form.
  APMPErrorCodeNoNumberValue = 4,         // A value has no number form.
  APMPErrorCodeNoStringValue = 5,         // A value has no string form.
  APMPErrorCodePropertyWriteOnNull = 6,   // SetProperty on undefined or null.
  APMPErrorCodeMethodCallOnNull = 7,      // A method call on undefined or null.
  APMPErrorCodeReduceOfEmptyArray = 8,    // reduce/reduceRight without elements or initial value.
  APMPErrorCodeArgumentCount = 9,         // Wrong number of arguments.
  APMPErrorCodeArgumentKind = 10,         // An argument of the wrong kind.
  APMPErrorCodeInvalidArrayLength = 11,   // An array length that is no zero-or-positive integer.
  APMPErrorCodeUnknownEntityType = 12,    // A program-tree entry of unknown type.
  APMPErrorCodeNoScriptForm = 13,         // A host object that has no script form.
  APMPErrorCodeMissingCommandCode = 14,   // A statement entry without a command code.
  APMPErrorCodeModuleCreatorFailed = 15,  // A module creator that returned nothing.
  APMPErrorCodeNotIterable = 16,          // for-of over a value that is no string and no array.
  APMPErrorCodeUnknownMethod = 17,        // An unknown method, or a called property no function.
  APMPErrorCodeInstructionLimit = 18,     // The instruction limit was reached.
  // A resource limit other than the instruction count: evaluation nested too deeply, a program
  // tree or a value nested too deeply to convert, or an array or string grown past its maximum
  // size (see runtime_limits.h).
  APMPErrorCodeResourceLimit = 19,
};

// The runtime's error out-parameter: empty on success.
using APMPError = std::optional<fnd::Error>;

// An error of APMPErrorDomain with `code` and no user info.
fnd::Error APMPMakeError(int64_t code);

// Stores APMPMakeError(code) in *error (error may be null here). Returns false.
bool APMPSetError(APMPError* error, int64_t code);

// True when `error` holds an error of APMPErrorDomain with `code`.
bool APMPErrorHasCode(const APMPError& error, int64_t code);
