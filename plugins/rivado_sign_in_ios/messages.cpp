#include "plugins/rivado_sign_in_ios/messages.h"

#include <string>
#include <utility>

namespace {

using ErrorPtr = FSIRivadoSignInApi::ErrorPtr;

// Reads an optional string field; false when the element is neither null nor a string.
bool ReadString(const fnd::Array& list, size_t index, std::optional<std::string>* out) {
  fnd::Value v = GetNullableObjectAtIndex(list, index);
  if (v.isNull()) {
    out->reset();
    return true;
  }
  if (!v.isString()) return false;
  *out = v.asString();
  return true;
}

// A list of strings; nullopt when the value is not a list or holds anything but strings.
std::optional<std::vector<std::string>> StringList(const fnd::Value& value) {
  const fnd::Array* array = value.array();
  if (!array) return std::nullopt;
  std::vector<std::string> strings;
  strings.reserve(array->size());
  for (const fnd::Value& v : *array) {
    if (!v.isString()) return std::nullopt;
    strings.push_back(v.asString());
  }
  return strings;
}

fnd::Value StringField(const std::optional<std::string>& s) {
  return s ? fnd::Value(*s) : fnd::Value();
}

template <typename T>
std::shared_ptr<T> NullableFromList(const fnd::Value& list) {
  const fnd::Array* array = list.array();
  return array ? T::fromList(*array) : nullptr;
}

}  // namespace

std::shared_ptr<FSIInitParams> FSIInitParams::makeWithScopes(
    std::vector<std::string> scopes, std::optional<std::string> hostedDomain,
    std::optional<std::string> clientId, std::optional<std::string> serverClientId) {
  auto params = std::make_shared<FSIInitParams>();
  params->scopes = std::move(scopes);
  params->hostedDomain = std::move(hostedDomain);
  params->clientId = std::move(clientId);
  params->serverClientId = std::move(serverClientId);
  return params;
}

std::shared_ptr<FSIInitParams> FSIInitParams::fromList(const fnd::Array& list) {
  auto params = std::make_shared<FSIInitParams>();
  fnd::Value scopes = GetNullableObjectAtIndex(list, 0);
  if (!scopes.isNull()) {
    auto strings = StringList(scopes);
    if (!strings) return nullptr;
    params->scopes = std::move(*strings);
  }
  if (!ReadString(list, 1, &params->hostedDomain) || !ReadString(list, 2, &params->clientId) ||
      !ReadString(list, 3, &params->serverClientId)) {
    return nullptr;
  }
  return params;
}

std::shared_ptr<FSIInitParams> FSIInitParams::nullableFromList(const fnd::Value& list) {
  return NullableFromList<FSIInitParams>(list);
}

fnd::Array FSIInitParams::toList() const {
  fnd::Array scopeList(scopes.begin(), scopes.end());
  return fnd::Array{fnd::Value(std::move(scopeList)), StringField(hostedDomain),
                    StringField(clientId), StringField(serverClientId)};
}

std::shared_ptr<FSITokenData> FSITokenData::makeWithIdToken(
    std::optional<std::string> idToken, std::optional<std::string> accessToken) {
  auto data = std::make_shared<FSITokenData>();
  data->idToken = std::move(idToken);
  data->accessToken = std::move(accessToken);
  return data;
}

std::shared_ptr<FSITokenData> FSITokenData::fromList(const fnd::Array& list) {
  auto data = std::make_shared<FSITokenData>();
  if (!ReadString(list, 0, &data->idToken) || !ReadString(list, 1, &data->accessToken)) {
    return nullptr;
  }
  return data;
}

std::shared_ptr<FSITokenData> FSITokenData::nullableFromList(const fnd::Value& list) {
  return NullableFromList<FSITokenData>(list);
}

fnd::Array FSITokenData::toList() const {
  return fnd::Array{StringField(idToken), StringField(accessToken)};
}

std::shared_ptr<FSIUserData> FSIUserData::makeWithDisplayName(
    std::optional<std::string> displayName, std::optional<std::string> email,
    std::optional<std::string> userId, std::optional<std::string> photoUrl,
    std::optional<std::string> serverAuthCode, std::optional<std::string> idToken) {
  auto user = std::make_shared<FSIUserData>();
  user->displayName = std::move(displayName);
  user->email = std::move(email);
  user->userId = std::move(userId);
  user->photoUrl = std::move(photoUrl);
  user->serverAuthCode = std::move(serverAuthCode);
  user->idToken = std::move(idToken);
  return user;
}

std::shared_ptr<FSIUserData> FSIUserData::fromList(const fnd::Array& list) {
  auto user = std::make_shared<FSIUserData>();
  if (!ReadString(list, 0, &user->displayName) || !ReadString(list, 1, &user->email) ||
      !ReadString(list, 2, &user->userId) || !ReadString(list, 3, &user->photoUrl) ||
      !ReadString(list, 4, &user->serverAuthCode) || !ReadString(list, 5, &user->idToken)) {
    return nullptr;
  }
  return user;
}

std::shared_ptr<FSIUserData> FSIUserData::nullableFromList(const fnd::Value& list) {
  return NullableFromList<FSIUserData>(list);
}

fnd::Array FSIUserData::toList() const {
  return fnd::Array{StringField(displayName), StringField(email),          StringField(userId),
                    StringField(photoUrl),    StringField(serverAuthCode), StringField(idToken)};
}

std::shared_ptr<const flutter::FlutterStandardMessageCodec> FSIRivadoSignInApiGetCodec() {
  static const auto* codec =
      new std::shared_ptr<const flutter::FlutterStandardMessageCodec>(zudiroru::PigeonCodec({
          zudiroru::PigeonType::of<FSIInitParams>(kFSIInitParamsType),
          zudiroru::PigeonType::of<FSITokenData>(kFSITokenDataType),
          zudiroru::PigeonType::of<FSIUserData>(kFSIUserDataType),
      }));
  return *codec;
}

namespace {

// The refusal of a message whose arguments the method cannot take.
fnd::Value Refusal(const flutter::ChannelArguments& args) {
  return wrapResult(fnd::Value(), args.refusal(kFSIInvalidArgumentsErrorCode));
}

void Install(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
             const std::string& method, bool clear, flutter::FlutterMessageHandler handler) {
  zudiroru::SetUpPigeonChannel(messenger, std::string(kFSIRivadoSignInApiChannelPrefix) + method,
                               {}, FSIRivadoSignInApiGetCodec(),
                               clear ? nullptr : std::move(handler));
}

// The completion of a method without a result.
FSIRivadoSignInApi::ErrorCompletion VoidReply(flutter::FlutterReply reply) {
  return [reply = std::move(reply)](const ErrorPtr& error) { reply(wrapResult({}, error)); };
}

template <typename T>
fnd::Value RecordResult(const std::shared_ptr<T>& record) {
  return record ? fnd::Value(std::shared_ptr<fnd::Record>(record)) : fnd::Value();
}

}  // namespace

void FSIRivadoSignInApiSetup(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& binaryMessenger,
    const std::shared_ptr<FSIRivadoSignInApi>& api) {
  const bool clear = api == nullptr;
  Install(binaryMessenger, "init", clear,
          [api](const fnd::Value& message, flutter::FlutterReply reply) {
            auto args = flutter::ChannelArguments::ofList("init", message, {"params"});
            auto params = args.record<FSIInitParams>(0, "an InitParams");
            if (!params) args.fail(0, "an InitParams");
            if (!args.ok()) return reply(Refusal(args));
            ErrorPtr error;
            api->initializeSignInWithParameters(*params, &error);
            reply(wrapResult({}, error));
          });
  Install(binaryMessenger, "signInSilently", clear,
          [api](const fnd::Value&, flutter::FlutterReply reply) {
            api->signInSilentlyWithCompletion(
                [reply](const std::shared_ptr<FSIUserData>& user, const ErrorPtr& error) {
                  reply(wrapResult(RecordResult(user), error));
                });
          });
  Install(binaryMessenger, "signIn", clear, [api](const fnd::Value&, flutter::FlutterReply reply) {
    api->signInWithCompletion(
        [reply](const std::shared_ptr<FSIUserData>& user, const ErrorPtr& error) {
          reply(wrapResult(RecordResult(user), error));
        });
  });
  Install(binaryMessenger, "getAccessToken", clear,
          [api](const fnd::Value&, flutter::FlutterReply reply) {
            api->getAccessTokenWithCompletion(
                [reply](const std::shared_ptr<FSITokenData>& tokens, const ErrorPtr& error) {
                  reply(wrapResult(RecordResult(tokens), error));
                });
          });
  Install(binaryMessenger, "signOut", clear, [api](const fnd::Value&, flutter::FlutterReply reply) {
    ErrorPtr error;
    api->signOutWithError(&error);
    reply(wrapResult({}, error));
  });
  Install(binaryMessenger, "disconnect", clear,
          [api](const fnd::Value&, flutter::FlutterReply reply) {
            api->disconnectWithCompletion(VoidReply(std::move(reply)));
          });
  Install(binaryMessenger, "isSignedIn", clear,
          [api](const fnd::Value&, flutter::FlutterReply reply) {
            ErrorPtr error;
            std::optional<bool> result = api->isSignedInWithError(&error);
            reply(wrapResult(result ? fnd::Value(*result) : fnd::Value(), error));
          });
  Install(binaryMessenger, "requestScopes", clear,
          [api](const fnd::Value& message, flutter::FlutterReply reply) {
            auto args = flutter::ChannelArguments::ofList("requestScopes", message, {"scopes"});
            auto scopes = args.strings(0);
            if (!scopes) args.fail(0, "a list of strings");
            if (!args.ok()) return reply(Refusal(args));
            api->requestScopes(
                *scopes, [reply](const std::optional<bool>& result, const ErrorPtr& error) {
                  reply(wrapResult(result ? fnd::Value(*result) : fnd::Value(), error));
                });
          });
}
