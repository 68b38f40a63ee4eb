// The error domain and codes of the security library, and the two places where a foreign status
// (libcrypto's error queue, a zlib return code) becomes an `fnd::Error`.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace security {

// The domain of every error this library reports.
inline constexpr const char* kErrorDomain = "QMSecurityErrorDomain";

// User-info keys carrying the foreign status behind an error, when there is one.
inline constexpr const char* kOpenSSLErrorKey = "OpenSSLError";  // string, libcrypto's reason
inline constexpr const char* kZlibStatusKey = "ZlibStatus";      // integer, zlib's return code

enum ErrorCode : int64_t {
  kErrorInternal = 1,         // The crypto or compression library failed for its own reasons.
  kErrorInvalidArgument = 2,  // A caller passed something out of range (a level, an algorithm).
  kErrorInvalidHex = 3,       // Hex text of odd length or with a character outside [0-9a-fA-F].
  kErrorRandomFailed = 4,     // No random bytes could be drawn.
  kErrorTruncatedData = 5,    // Compressed data ends before its stream does.
  kErrorCorruptData = 6,      // Compressed data that is not a valid gzip or zlib stream.
  kErrorTrailingData = 7,     // Bytes after the end of a complete compressed stream.
  kErrorSizeLimit = 8,        // The inflated data would be larger than the caller allows.
  kErrorOutOfMemory = 9,      // The library could not allocate its working memory.
};

// An error in this library's domain with the given code and description.
fnd::Error SecurityError(ErrorCode code, std::string description);

// The error for a failed libcrypto call. Drains the calling thread's libcrypto error queue and
// keeps the earliest reason in the user info. `operation` names what failed ("SHA-256 digest").
fnd::Error OpenSSLError(ErrorCode code, std::string_view operation);

// The error for a zlib call that returned `status` (Z_DATA_ERROR, Z_BUF_ERROR, ...) with the
// stream's message `zlibMessage` (may be null). The code follows the status: data errors are
// kErrorCorruptData, a buffer error at the end of input is kErrorTruncatedData, memory errors
// kErrorOutOfMemory, stream and version errors kErrorInternal.
fnd::Error ZlibError(int status, const char* zlibMessage, std::string_view operation);

}  // namespace security
