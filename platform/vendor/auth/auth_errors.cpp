#include "platform/vendor/auth/auth_errors.h"

#include <utility>

namespace {

struct Entry {
  int64_t code;
  const char* name;
  const char* description;
};

constexpr Entry kErrors[] = {
    {DEVAuthErrorCodeInvalidEmail, "ERROR_INVALID_EMAIL", "The email address is badly formatted."},
    {DEVAuthErrorCodeWrongPassword, "ERROR_WRONG_PASSWORD",
     "The password is invalid or the user does not have a password."},
    {DEVAuthErrorCodeUserNotFound, "ERROR_USER_NOT_FOUND",
     "There is no user record for this identifier. The user may have been deleted."},
    {DEVAuthErrorCodeEmailAlreadyInUse, "ERROR_EMAIL_ALREADY_IN_USE",
     "The email address is already in use by another account."},
    {DEVAuthErrorCodeWeakPassword, "ERROR_WEAK_PASSWORD",
     "The password must be 6 characters long or more."},
    {DEVAuthErrorCodeInvalidCredential, "ERROR_INVALID_CREDENTIAL",
     "The supplied auth credential is malformed or has expired."},
    {DEVAuthErrorCodeUserDisabled, "ERROR_USER_DISABLED",
     "The user account has been disabled by an administrator."},
    {DEVAuthErrorCodeAccountExistsWithDifferentCredential,
     "ERROR_ACCOUNT_EXISTS_WITH_DIFFERENT_CREDENTIAL",
     "An account already exists with the same email address but different sign-in credentials."},
    {DEVAuthErrorCodeCredentialAlreadyInUse, "ERROR_CREDENTIAL_ALREADY_IN_USE",
     "This credential is already associated with a different user account."},
    {DEVAuthErrorCodeProviderAlreadyLinked, "ERROR_PROVIDER_ALREADY_LINKED",
     "User can only be linked to one identity for the given provider."},
    {DEVAuthErrorCodeNoSuchProvider, "ERROR_NO_SUCH_PROVIDER",
     "User was not linked to an account with the given provider."},
    {DEVAuthErrorCodeInvalidActionCode, "ERROR_INVALID_ACTION_CODE",
     "The action code is invalid. This can happen if the code is malformed, expired, or has "
     "already been used."},
    {DEVAuthErrorCodeInvalidCustomToken, "ERROR_INVALID_CUSTOM_TOKEN",
     "The custom token format is incorrect."},
    {DEVAuthErrorCodeUserMismatch, "ERROR_USER_MISMATCH",
     "The supplied credentials do not correspond to the previously signed in user."},
    {DEVAuthErrorCodeNetworkError, "ERROR_NETWORK_REQUEST_FAILED",
     "Network error (such as timeout, interrupted connection or unreachable host) has occurred."},
    {DEVAuthErrorCodeKeychainError, "ERROR_KEYCHAIN_ERROR",
     "An error occurred when accessing the keychain."},
    {DEVAuthErrorCodeOperationNotAllowed, "ERROR_OPERATION_NOT_ALLOWED",
     "The given sign-in provider is disabled for this project."},
    {DEVAuthErrorCodeInvalidVerificationCode, "ERROR_INVALID_VERIFICATION_CODE",
     "The verification code is invalid."},
    {DEVAuthErrorCodeMissingMultiFactorInfo, "ERROR_MISSING_MULTI_FACTOR_INFO",
     "No second factor identifier is provided."},
    {DEVAuthErrorCodeMultiFactorInfoNotFound, "ERROR_MULTI_FACTOR_INFO_NOT_FOUND",
     "The user does not have a second factor matching the identifier provided."},
    {DEVAuthErrorCodeInvalidMultiFactorSession, "ERROR_INVALID_MULTI_FACTOR_SESSION",
     "The request does not contain a valid proof of first factor successful sign-in."},
    {DEVAuthErrorCodeMissingEmail, "ERROR_MISSING_EMAIL", "An email address must be provided."},
    {DEVAuthErrorCodeUnverifiedEmail, "ERROR_UNVERIFIED_EMAIL",
     "The operation requires a verified email."},
    {DEVAuthErrorCodeGameCenterNotSignedIn, "ERROR_GAME_CENTER_NOT_SIGNED_IN",
     "The local player is not signed in to Game Center."},
    {DEVAuthErrorCodeSecondFactorRequired, "ERROR_SECOND_FACTOR_REQUIRED",
     "Please complete a second factor challenge to finish signing into this account."},
    {DEVAuthErrorCodeInternalError, "ERROR_INTERNAL_ERROR",
     "An internal error has occurred, print and inspect the error details for more information."},
};

const Entry* Find(int64_t code) {
  for (const Entry& e : kErrors) {
    if (e.code == code) return &e;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> DEVAuthErrorName(int64_t code) {
  const Entry* e = Find(code);
  if (!e) return std::nullopt;
  return std::string(e->name);
}

std::string DEVAuthErrorDescription(int64_t code) {
  const Entry* e = Find(code);
  return e ? e->description : "An unknown error occurred.";
}

fnd::Error DEVAuthError(int64_t code, std::optional<std::string> description) {
  fnd::Dictionary info;
  info.set(fnd::kLocalizedDescriptionKey, description.value_or(DEVAuthErrorDescription(code)));
  if (auto name = DEVAuthErrorName(code)) info.set(DEVAuthErrorUserInfoNameKey, *name);
  return fnd::Error(DEVAuthErrorDomain, code, std::move(info));
}

fnd::Error DEVAuthInternalError(std::optional<fnd::Dictionary> deserializedResponse) {
  fnd::Dictionary underlyingInfo;
  if (deserializedResponse) {
    underlyingInfo.set(DEVAuthErrorUserInfoDeserializedResponseKey, *deserializedResponse);
  }
  fnd::Error error = DEVAuthError(DEVAuthErrorCodeInternalError);
  error.mutableUserInfo().set(
      fnd::kUnderlyingErrorKey,
      fnd::Value(std::make_shared<DEVAuthUnderlyingError>(
          fnd::Error(DEVAuthErrorDomain, DEVAuthErrorCodeInternalError, underlyingInfo))));
  return error;
}

std::optional<fnd::Error> DEVAuthUnderlyingErrorOf(const fnd::Error& error) {
  auto box = error.userInfo().get(fnd::kUnderlyingErrorKey).recordAs<DEVAuthUnderlyingError>();
  if (!box) return std::nullopt;
  return box->error();
}
