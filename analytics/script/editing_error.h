// Errors of event editing: domain APMPEErrorDomain with the codes below and no user info. Event
// editing also passes on the runtime's own errors (runtime_error.h) unchanged.
#pragma once

#include <cstdint>

#include "analytics/script/runtime_error.h"

inline constexpr const char* APMPEErrorDomain = "com.rivado.measurement.script.EditingErrorDomain";

enum APMPEErrorCode : int64_t {
  APMPEErrorCodeMissingCallbackType = 2,    // registerCallback options without "type".
  APMPEErrorCodeUnknownCallbackType = 3,    // A type other than "edit" and "create".
  APMPEErrorCodeTooManyCallbacks = 4,       // APMPEMaxRules callbacks are already registered.
  APMPEErrorCodeProgramEndedInControl = 5,  // Top-level statements ended in break/continue/return.
  APMPEErrorCodeActivityDataNotAMap = 6,    // An activity data entry did not give a map.
  APMPEErrorCodeActivityNotAFunction = 7,   // An activity's name names no function.
};

// Stores an error of APMPEErrorDomain with `code` in *error (error may be null). Returns false.
bool APMPESetError(APMPError* error, int64_t code);
