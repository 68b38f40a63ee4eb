// The generated host interface of the Rivado Sign-In bridge: its three message records
// (FSIInitParams, FSITokenData, FSIUserData), the codec that carries them under type bytes 128,
// 129 and 130, the interface FSIRivadoSignInApi with its eight methods, and the installer of
// their channels.
//
// Each method has a basic message channel "dev.flutter.pigeon.rivado_sign_in_ios.
// RivadoSignInApi.<method>" with no suffix. The message is the list of arguments (ignored by the
// methods that take none). Replies are [result] on success and [code, message, details] on error
// (wrapResult). A message whose arguments are not what the method takes is answered with the
// error kFSIInvalidArgumentsErrorCode and a message naming the fault; the implementation is not
// called. A record whose fields have the wrong kinds does not decode at all; the channel then
// answers the empty reply.
//
// Thread safety: installation and handlers run on the main thread; completions may be called
// from any thread, once each.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/codec.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/value.h"
#include "plugins/zudiroru_core/pigeon.h"
#include "plugins/zudiroru_core/pigeon_record.h"

// Channel names after the Pigeon prefix, less the method name.
inline constexpr const char* kFSIRivadoSignInApiChannelPrefix =
    "rivado_sign_in_ios.RivadoSignInApi.";
// The code of the error answered for arguments a method cannot take.
inline constexpr const char* kFSIInvalidArgumentsErrorCode = "invalid_arguments";

inline constexpr uint8_t kFSIInitParamsType = 128;
inline constexpr uint8_t kFSITokenDataType = 129;
inline constexpr uint8_t kFSIUserDataType = 130;

// What Dart configures the sign-in with. A null scope list reads as no scopes.
class FSIInitParams : public zudiroru::PigeonRecordOf<FSIInitParams, kFSIInitParamsType> {
 public:
  static std::shared_ptr<FSIInitParams> makeWithScopes(std::vector<std::string> scopes,
                                                       std::optional<std::string> hostedDomain,
                                                       std::optional<std::string> clientId,
                                                       std::optional<std::string> serverClientId) {
    return make(std::move(scopes), std::move(hostedDomain), std::move(clientId),
                std::move(serverClientId));
  }
  static constexpr auto fields() {
    return std::make_tuple(&FSIInitParams::scopes, &FSIInitParams::hostedDomain,
                           &FSIInitParams::clientId, &FSIInitParams::serverClientId);
  }
  std::string typeName() const override { return "FSIInitParams"; }

  std::vector<std::string> scopes;
  std::optional<std::string> hostedDomain;
  std::optional<std::string> clientId;
  std::optional<std::string> serverClientId;
};

// The tokens of the signed-in user.
class FSITokenData : public zudiroru::PigeonRecordOf<FSITokenData, kFSITokenDataType> {
 public:
  static std::shared_ptr<FSITokenData> makeWithIdToken(std::optional<std::string> idToken,
                                                       std::optional<std::string> accessToken) {
    return make(std::move(idToken), std::move(accessToken));
  }
  static constexpr auto fields() {
    return std::make_tuple(&FSITokenData::idToken, &FSITokenData::accessToken);
  }
  std::string typeName() const override { return "FSITokenData"; }

  std::optional<std::string> idToken;
  std::optional<std::string> accessToken;
};

// Who signed in.
class FSIUserData : public zudiroru::PigeonRecordOf<FSIUserData, kFSIUserDataType> {
 public:
  static std::shared_ptr<FSIUserData> makeWithDisplayName(std::optional<std::string> displayName,
                                                          std::optional<std::string> email,
                                                          std::optional<std::string> userId,
                                                          std::optional<std::string> photoUrl,
                                                          std::optional<std::string> serverAuthCode,
                                                          std::optional<std::string> idToken) {
    return make(std::move(displayName), std::move(email), std::move(userId), std::move(photoUrl),
                std::move(serverAuthCode), std::move(idToken));
  }
  static constexpr auto fields() {
    return std::make_tuple(&FSIUserData::displayName, &FSIUserData::email, &FSIUserData::userId,
                           &FSIUserData::photoUrl, &FSIUserData::serverAuthCode,
                           &FSIUserData::idToken);
  }
  std::string typeName() const override { return "FSIUserData"; }

  std::optional<std::string> displayName;
  std::optional<std::string> email;
  std::optional<std::string> userId;
  std::optional<std::string> photoUrl;
  std::optional<std::string> serverAuthCode;
  std::optional<std::string> idToken;
};

// The codec of the interface, made once for the process.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> FSIRivadoSignInApiGetCodec();

// The host side of the interface. An error answer is a FlutterError; a null error means success.
class FSIRivadoSignInApi {
 public:
  using ErrorPtr = std::shared_ptr<const flutter::FlutterError>;
  using UserDataCompletion =
      std::function<void(const std::shared_ptr<FSIUserData>& user, const ErrorPtr& error)>;
  using TokenDataCompletion =
      std::function<void(const std::shared_ptr<FSITokenData>& tokens, const ErrorPtr& error)>;
  using ErrorCompletion = std::function<void(const ErrorPtr& error)>;
  using BoolCompletion =
      std::function<void(const std::optional<bool>& result, const ErrorPtr& error)>;

  virtual ~FSIRivadoSignInApi() = default;

  // In declaration order, which is also the order of the channels. Methods with an error
  // out-parameter answer before returning and set *error only on failure.
  virtual void initializeSignInWithParameters(const FSIInitParams& params, ErrorPtr* error) = 0;
  virtual void signInSilentlyWithCompletion(UserDataCompletion completion) = 0;
  virtual void signInWithCompletion(UserDataCompletion completion) = 0;
  virtual void getAccessTokenWithCompletion(TokenDataCompletion completion) = 0;
  virtual void signOutWithError(ErrorPtr* error) = 0;
  virtual void disconnectWithCompletion(ErrorCompletion completion) = 0;
  virtual std::optional<bool> isSignedInWithError(ErrorPtr* error) = 0;
  virtual void requestScopes(const std::vector<std::string>& scopes, BoolCompletion completion) = 0;
};

// Installs the eight channels on `binaryMessenger` with `api` as their implementation, or clears
// them when `api` is null. The channels' handlers keep `api` alive.
void FSIRivadoSignInApiSetup(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& binaryMessenger,
    const std::shared_ptr<FSIRivadoSignInApi>& api);
