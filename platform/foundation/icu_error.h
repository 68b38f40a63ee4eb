// Internal to platform/foundation: the one place where ICU status codes become fnd::Error.
#pragma once

#include <unicode/utypes.h>

#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/regex.h"

namespace fnd {

// Domain kICUErrorDomain, code = the UErrorCode, description "<operation>: <ICU error name>".
inline Error ErrorFromICU(UErrorCode code, std::string_view operation) {
  return Error::withDescription(kICUErrorDomain, code,
                                std::string(operation) + ": " + u_errorName(code));
}

}  // namespace fnd
