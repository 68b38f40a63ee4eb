// Errors of the analytics engine and non-aborting checks.
//
// The engine reports a failure as a false or empty result plus an optional fnd::Error
// out-parameter. The errors built here live in kZIVErrorDomain and may carry a short monitor
// context string under kZIVMonitorContextKey; ZIVMonitorContextString() collects those strings
// when an error is logged through the monitor as a context. Nothing here logs, aborts or throws.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// The error domain of the analytics engine.
inline constexpr const char* kZIVErrorDomain = "com.rivado.measurement.ErrorDomain";
// The user-info key of the monitor context string.
inline constexpr const char* kZIVMonitorContextKey = "ZIVMonitorContext";

// An error of kZIVErrorDomain with `code`. Its user info holds the localized description only
// when `description` is non-empty and the monitor context only when `monitorContext` is
// non-empty, so both empty give an empty user info.
fnd::Error ziv_errorWithCode(int64_t code, const std::string& description,
                             const std::string& monitorContext = std::string());

// Stores ziv_errorWithCode(code, description, monitorContext) in *errorOut when errorOut is
// non-null; a null errorOut is accepted silently. Always returns false, so that a caller can
// `return ZIVSetError(error, ...);`.
bool ZIVSetErrorWithMonitorContext(fnd::Error* errorOut, int64_t code,
                                   const std::string& description,
                                   const std::string& monitorContext);
bool ZIVSetError(fnd::Error* errorOut, int64_t code, const std::string& description);

// Checks that neither log nor abort: each returns true when its condition holds, otherwise fills
// *errorOut (when non-null) with an error of `code` and `description`, without a monitor context,
// and returns false.
bool ZIVAssertTrue(bool condition, fnd::Error* errorOut, int64_t code,
                   const std::string& description);
// Holds when the value is not null.
bool ZIVAssertNotNil(const fnd::Value& object, fnd::Error* errorOut, int64_t code,
                     const std::string& description);
// Holds when the pointer (raw or smart) is not null.
template <typename Pointer>
bool ZIVAssertNotNull(const Pointer& pointer, fnd::Error* errorOut, int64_t code,
                      const std::string& description) {
  return ZIVAssertTrue(pointer != nullptr, errorOut, code, description);
}
// Holds when the integer is not zero.
bool ZIVAssertNotZero(int64_t value, fnd::Error* errorOut, int64_t code,
                      const std::string& description);

// Joins with "," the non-empty monitor context strings of the engine errors among `contexts`
// (values made by ZIVErrorContext(), see monitor_context.h), in order. Errors of other domains and
// every other value contribute nothing; "" when there is nothing to join.
std::string ZIVMonitorContextString(const fnd::Array& contexts);

// Does nothing. Kept so that code that references it links.
void ZIVIncludeNSErrorCategory();
