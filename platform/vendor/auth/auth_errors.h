// The errors of the ZudiroruAuth SDK stand-in: its domain, its codes with their vendor names and
// descriptions, and the user-info keys through which an error carries an e-mail address, a
// credential to retry with, a multi-factor resolver or the server's decoded response.
//
// Thread safety: constants and pure functions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

inline constexpr const char* DEVAuthErrorDomain = "DEVAuthErrorDomain";

// User-info keys of an SDK error.
inline constexpr const char* DEVAuthErrorUserInfoNameKey = "DEVAuthErrorUserInfoNameKey";
inline constexpr const char* DEVAuthErrorUserInfoEmailKey = "DEVAuthErrorUserInfoEmailKey";
inline constexpr const char* DEVAuthErrorUserInfoUpdatedCredentialKey =
    "DEVAuthErrorUserInfoUpdatedCredentialKey";
inline constexpr const char* DEVAuthErrorUserInfoMultiFactorResolverKey =
    "DEVAuthErrorUserInfoMultiFactorResolverKey";
// Kept in the user info of the underlying error of an internal error: the server's response.
inline constexpr const char* DEVAuthErrorUserInfoDeserializedResponseKey =
    "DEVAuthErrorUserInfoDeserializedResponseKey";

enum DEVAuthErrorCode : int64_t {
  DEVAuthErrorCodeInvalidEmail = 17001,
  DEVAuthErrorCodeWrongPassword = 17002,
  DEVAuthErrorCodeUserNotFound = 17003,
  DEVAuthErrorCodeEmailAlreadyInUse = 17004,
  DEVAuthErrorCodeWeakPassword = 17005,
  DEVAuthErrorCodeInvalidCredential = 17006,
  DEVAuthErrorCodeUserDisabled = 17007,
  DEVAuthErrorCodeAccountExistsWithDifferentCredential = 17008,
  DEVAuthErrorCodeCredentialAlreadyInUse = 17009,
  DEVAuthErrorCodeProviderAlreadyLinked = 17010,
  DEVAuthErrorCodeNoSuchProvider = 17011,
  DEVAuthErrorCodeInvalidActionCode = 17012,
  DEVAuthErrorCodeInvalidCustomToken = 17013,
  DEVAuthErrorCodeUserMismatch = 17014,
  DEVAuthErrorCodeNetworkError = 17015,
  DEVAuthErrorCodeKeychainError = 17016,
  DEVAuthErrorCodeOperationNotAllowed = 17017,
  DEVAuthErrorCodeInvalidVerificationCode = 17018,
  DEVAuthErrorCodeMissingMultiFactorInfo = 17019,
  DEVAuthErrorCodeMultiFactorInfoNotFound = 17020,
  DEVAuthErrorCodeInvalidMultiFactorSession = 17021,
  DEVAuthErrorCodeMissingEmail = 17022,
  DEVAuthErrorCodeUnverifiedEmail = 17023,
  DEVAuthErrorCodeGameCenterNotSignedIn = 17024,
  DEVAuthErrorCodeSecondFactorRequired = 17078,
  DEVAuthErrorCodeInternalError = 17999,
};

// The vendor name of a code ("ERROR_WRONG_PASSWORD"), or nullopt for a code the SDK does not
// know.
std::optional<std::string> DEVAuthErrorName(int64_t code);
// The SDK's description of a code.
std::string DEVAuthErrorDescription(int64_t code);

// An SDK error: the code, its localized description (the given one, else the code's own) and its
// vendor name.
fnd::Error DEVAuthError(int64_t code, std::optional<std::string> description = std::nullopt);

// An error object inside another error's user info (under fnd::kUnderlyingErrorKey).
class DEVAuthUnderlyingError : public fnd::Record {
 public:
  explicit DEVAuthUnderlyingError(fnd::Error error) : error_(std::move(error)) {}
  const fnd::Error& error() const { return error_; }
  std::string typeName() const override { return "NSError"; }
  std::string description() const override { return error_.description(); }

 private:
  const fnd::Error error_;
};

// An internal error (17999) whose underlying error carries the server's decoded response.
fnd::Error DEVAuthInternalError(std::optional<fnd::Dictionary> deserializedResponse);
// The underlying error held by an error's user info, or nullopt.
std::optional<fnd::Error> DEVAuthUnderlyingErrorOf(const fnd::Error& error);
