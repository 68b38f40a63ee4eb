#include "plugins/rivado_sign_in_ios/messages.h"

#include <string>
#include <utility>

namespace {

using ErrorPtr = FSIRivadoSignInApi::ErrorPtr;

}  // namespace

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
