#include "platform/security/errors.h"

#include <openssl/err.h>
#include <zlib.h>

#include <string>
#include <utility>

namespace security {

fnd::Error SecurityError(ErrorCode code, std::string description) {
  return fnd::Error::withDescription(kErrorDomain, code, std::move(description));
}

fnd::Error OpenSSLError(ErrorCode code, std::string_view operation) {
  std::string description = std::string(operation) + " failed";
  fnd::Error error = SecurityError(code, description);
  unsigned long first = ERR_get_error();
  if (first != 0) {
    char reason[256];
    ERR_error_string_n(first, reason, sizeof(reason));
    error.mutableUserInfo().set(kOpenSSLErrorKey, std::string(reason));
    error.mutableUserInfo().set(fnd::kLocalizedDescriptionKey, description + ": " + reason);
  }
  // The rest of the queue belongs to the same failure; leaving it would blame a later call.
  ERR_clear_error();
  return error;
}

fnd::Error ZlibError(int status, const char* zlibMessage, std::string_view operation) {
  ErrorCode code;
  std::string what;
  switch (status) {
    case Z_DATA_ERROR:
      code = kErrorCorruptData;
      what = "corrupt compressed data";
      break;
    case Z_NEED_DICT:
      code = kErrorCorruptData;
      what = "compressed data needs a preset dictionary";
      break;
    case Z_BUF_ERROR:
      code = kErrorTruncatedData;
      what = "compressed data ends before the end of its stream";
      break;
    case Z_MEM_ERROR:
      code = kErrorOutOfMemory;
      what = "out of memory";
      break;
    case Z_VERSION_ERROR:
      code = kErrorInternal;
      what = "incompatible zlib version";
      break;
    case Z_STREAM_ERROR:
      code = kErrorInternal;
      what = "inconsistent stream state";
      break;
    default:
      code = kErrorInternal;
      what = "zlib status " + std::to_string(status);
      break;
  }
  std::string description = std::string(operation) + " failed: " + what;
  if (zlibMessage != nullptr && *zlibMessage != '\0') {
    description += " (" + std::string(zlibMessage) + ")";
  }
  fnd::Error error = SecurityError(code, std::move(description));
  error.mutableUserInfo().set(kZlibStatusKey, status);
  return error;
}

}  // namespace security
