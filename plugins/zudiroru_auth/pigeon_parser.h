// PigeonParser: turns the auth SDK's objects (users, their provider profiles and metadata, sign-in
// results, credentials, ID tokens, TOTP secrets) into the bridge's channel records, action-code
// settings from Dart into the SDK's, and a user into the plain "manual list" that the auth-state
// and ID-token streams and the per-app constants send through the standard codec.
//
// Times: user metadata become integer milliseconds (seconds * 1000, then truncated, so
// fractions of a second survive); ID-token times are truncated to whole seconds first and then
// multiplied by 1000.
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/vendor/auth/auth.h"
#include "plugins/zudiroru_auth/auth_messages.h"

class PigeonParser {
 public:
  // Keys of one provider-data entry, in order.
  static const std::vector<std::string>& providerDataKeys();

  static std::shared_ptr<PigeonUserCredential> getPigeonUserCredentialFromAuthResult(
      const DEVAuthDataResult& result, const std::optional<std::string>& authorizationCode);
  static std::shared_ptr<PigeonUserCredential> getPigeonUserCredentialFromDEVUser(
      const DEVUser& user);
  static std::shared_ptr<PigeonUserDetails> getPigeonDetails(const DEVUser& user);
  static std::shared_ptr<PigeonUserInfo> getPigeonUserInfo(const DEVUser& user);
  static fnd::Array getProviderData(const std::vector<std::shared_ptr<DEVUserInfo>>& providerData);
  static std::shared_ptr<PigeonAdditionalUserInfo> getPigeonAdditionalUserInfo(
      const std::shared_ptr<DEVAdditionalUserInfo>& info,
      const std::optional<std::string>& authorizationCode);
  static std::shared_ptr<PigeonTotpSecret> getPigeonTotpSecret(const DEVTOTPSecret& secret);
  // Null for no credential. `token` is the key the bridge keeps the credential under; without one
  // the credential's own hash is its native id.
  static std::shared_ptr<PigeonAuthCredential> getPigeonAuthCredential(
      const std::shared_ptr<DEVAuthCredential>& credential, std::optional<uint64_t> token);
  // Null for no settings.
  static std::shared_ptr<DEVActionCodeSettings> parseActionCodeSettings(
      const std::shared_ptr<PigeonActionCodeSettings>& settings);
  static std::shared_ptr<PigeonIdTokenResult> parseIdTokenResult(const DEVAuthTokenResult& result);
  // [the user info's field list, the provider-data list].
  static fnd::Array getManualList(const PigeonUserDetails& details);
};
