// An error as a value: a domain, a code and a user-info dictionary, like the platform's error
// object. Functions that can fail take an optional `fnd::Error*` out-parameter and return false or
// an empty result; they fill the error only when the pointer is non-null.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

namespace fnd {

// The user-info key that holds the localized description.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
// The user-info key that holds an underlying error's description.
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
// The user-info key that holds the path of the file an error is about.
inline constexpr const char* kFilePathErrorKey = "NSFilePath";

// Domains used by the foundation layer itself.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

class Error {
 public:
  Error() = default;
  Error(std::string domain, int64_t code, Dictionary userInfo = {});
  // An error whose user info holds only the localized description.
  static Error withDescription(std::string domain, int64_t code, std::string description);

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  Dictionary& mutableUserInfo() { return userInfo_; }

  // The user info's description when present, otherwise
  // "The operation couldn’t be completed. (DOMAIN error CODE.)".
  std::string localizedDescription() const;

  // "Error Domain=D Code=C \"description\" UserInfo={...}".
  std::string description() const;

  bool operator==(const Error& other) const;

 private:
  std::string domain_;
  int64_t code_ = 0;
  Dictionary userInfo_;
};

// Fills *out when out is non-null. Returns false so that callers can `return SetError(...)`.
inline bool SetError(Error* out, Error error) {
  if (out) *out = std::move(error);
  return false;
}

}  // namespace fnd
