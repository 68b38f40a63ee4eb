#include "plugins/zudiroru_auth/auth_host_api.h"

#include <type_traits>
#include <utility>
#include <vector>

#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/channels.h"
#include "plugins/zudiroru_core/pigeon.h"
#include "plugins/zudiroru_core/pigeon_binding.h"

// ---- Codecs ----

namespace {

using zudiroru::PigeonType;
using Codec = std::shared_ptr<const flutter::FlutterStandardMessageCodec>;

// The eighteen records in the order of their type bytes on the two main interfaces.
std::vector<PigeonType> MainTypes() {
  return {
      PigeonType::of<AuthPigeonZudiroruApp>(128),
      PigeonType::of<PigeonActionCodeInfo>(129),
      PigeonType::of<PigeonActionCodeInfoData>(130),
      PigeonType::of<PigeonActionCodeSettings>(131),
      PigeonType::of<PigeonAdditionalUserInfo>(132),
      PigeonType::of<PigeonAuthCredential>(133),
      PigeonType::of<PigeonZudiroruAuthSettings>(134),
      PigeonType::of<PigeonIdTokenResult>(135),
      PigeonType::of<PigeonMultiFactorInfo>(136),
      PigeonType::of<PigeonMultiFactorSession>(137),
      PigeonType::of<PigeonPhoneMultiFactorAssertion>(138),
      PigeonType::of<PigeonSignInProvider>(139),
      PigeonType::of<PigeonTotpSecret>(140),
      PigeonType::of<PigeonUserCredential>(141),
      PigeonType::of<PigeonUserDetails>(142),
      PigeonType::of<PigeonUserInfo>(143),
      PigeonType::of<PigeonUserProfile>(144),
      PigeonType::of<PigeonVerifyPhoneNumberRequest>(145),
  };
}

}  // namespace

Codec ZudiroruAuthHostApiGetCodec() {
  static const auto* codec = new Codec(zudiroru::PigeonCodec(MainTypes()));
  return *codec;
}

Codec ZudiroruAuthUserHostApiGetCodec() {
  static const auto* codec = new Codec(zudiroru::PigeonCodec(MainTypes()));
  return *codec;
}

Codec MultiFactorUserHostApiGetCodec() {
  static const auto* codec = new Codec(zudiroru::PigeonCodec({
      PigeonType::of<AuthPigeonZudiroruApp>(128),
      PigeonType::of<PigeonMultiFactorInfo>(129),
      PigeonType::of<PigeonMultiFactorSession>(130),
      PigeonType::of<PigeonPhoneMultiFactorAssertion>(131),
  }));
  return *codec;
}

Codec MultiFactoResolverHostApiGetCodec() {
  static const auto* codec = new Codec(zudiroru::PigeonCodec({
      PigeonType::of<PigeonAdditionalUserInfo>(128),
      PigeonType::of<PigeonAuthCredential>(129),
      PigeonType::of<PigeonPhoneMultiFactorAssertion>(130),
      PigeonType::of<PigeonUserCredential>(131),
      PigeonType::of<PigeonUserDetails>(132),
      PigeonType::of<PigeonUserInfo>(133),
  }));
  return *codec;
}

Codec MultiFactorTotpHostApiGetCodec() {
  static const auto* codec =
      new Codec(zudiroru::PigeonCodec({PigeonType::of<PigeonTotpSecret>(128)}));
  return *codec;
}

Codec MultiFactorTotpSecretHostApiGetCodec() {
  return flutter::FlutterStandardMessageCodec::sharedInstance();
}

Codec GenerateInterfacesCodec() {
  static const auto* codec =
      new Codec(zudiroru::PigeonCodec({PigeonType::of<PigeonMultiFactorInfo>(128)}));
  return *codec;
}

// ---- Channels ----

namespace {

using Args = flutter::ChannelArguments;
using ErrorPtr = AuthHostApiTypes::ErrorPtr;
using Reply = flutter::FlutterReply;
template <typename Api>
using Handler = std::function<void(Args& args, Api& api, Reply reply)>;
template <typename Api>
using Table = std::vector<std::pair<const char*, Handler<Api>>>;

template <typename T>
fnd::Value RecordValue(const std::shared_ptr<T>& record) {
  return record ? fnd::Value(std::shared_ptr<fnd::Record>(record)) : fnd::Value();
}

template <typename T>
struct RecordCompletionOf : std::false_type {};
template <typename T>
struct RecordCompletionOf<std::function<void(std::shared_ptr<T>, ErrorPtr)>> : std::true_type {
  using Record = T;
};

// Makes an operation's completion of the reply: [result] (null on failure or for none) or
// [code, message, details].
struct Completions {
  template <typename Completion>
  static Completion make(const Reply& reply) {
    if constexpr (std::is_same_v<Completion, AuthHostApiTypes::VoidCompletion>) {
      return [reply](ErrorPtr error) { reply(wrapResult(fnd::Value(), error)); };
    } else if constexpr (std::is_same_v<Completion, AuthHostApiTypes::StringCompletion>) {
      return [reply](const std::optional<std::string>& result, ErrorPtr error) {
        reply(wrapResult(result && !error ? fnd::Value(*result) : fnd::Value(), error));
      };
    } else if constexpr (std::is_same_v<Completion, AuthHostApiTypes::StringsCompletion>) {
      return [reply](const std::optional<std::vector<std::string>>& result, ErrorPtr error) {
        fnd::Value value;
        if (result && !error) value = fnd::Array(result->begin(), result->end());
        reply(wrapResult(value, error));
      };
    } else if constexpr (std::is_same_v<Completion, AuthHostApiTypes::FactorsCompletion>) {
      return
          [reply](const std::optional<std::vector<std::shared_ptr<PigeonMultiFactorInfo>>>& result,
                  ErrorPtr error) {
            fnd::Value value;
            if (result && !error) {
              fnd::Array list;
              for (const auto& info : *result) list.push_back(RecordValue(info));
              value = std::move(list);
            }
            reply(wrapResult(value, error));
          };
    } else {
      static_assert(RecordCompletionOf<Completion>::value, "unknown completion");
      using T = typename RecordCompletionOf<Completion>::Record;
      return [reply](std::shared_ptr<T> result, ErrorPtr error) {
        reply(wrapResult(error ? fnd::Value() : RecordValue(result), error));
      };
    }
  }
};

template <typename Api, typename Method>
std::pair<const char*, Handler<Api>> Bind(const char* name, Method method) {
  return {name, zudiroru::PigeonBind<Completions, Reply>(method)};
}

// Installs one channel per table entry, in table order; a null api clears them.
template <typename Api>
void Install(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
             const char* interface, const std::string& suffix, const Codec& codec,
             const std::shared_ptr<Api>& api, const Table<Api>& table) {
  for (const auto& [method, handler] : table) {
    std::string name = std::string(kAuthPigeonPackage) + "." + interface + "." + method;
    if (!api) {
      zudiroru::SetUpPigeonChannel(messenger, name, suffix, codec, nullptr);
      continue;
    }
    std::string methodName = method;
    Handler<Api> run = handler;
    zudiroru::SetUpPigeonChannel(
        messenger, name, suffix, codec,
        [api, methodName, run](const fnd::Value& message, Reply reply) {
          Args args = Args::ofList(methodName, message);
          run(args, *api, reply);
          if (!args.ok()) reply(wrapResult(fnd::Value(), args.refusal(kAuthInvalidArgumentCode)));
        });
  }
}

// The methods of each interface in declaration order, which is also the order of the channels.
const Table<ZudiroruAuthHostApi>& AuthTable() {
  using Api = ZudiroruAuthHostApi;
  static const auto* table = new Table<Api>{
      Bind<Api>("registerIdTokenListener", &Api::registerIdTokenListenerApp),
      Bind<Api>("registerAuthStateListener", &Api::registerAuthStateListenerApp),
      Bind<Api>("useEmulator", &Api::useEmulatorApp),
      Bind<Api>("applyActionCode", &Api::applyActionCodeApp),
      Bind<Api>("checkActionCode", &Api::checkActionCodeApp),
      Bind<Api>("confirmPasswordReset", &Api::confirmPasswordResetApp),
      Bind<Api>("createUserWithEmailAndPassword", &Api::createUserWithEmailAndPasswordApp),
      Bind<Api>("signInAnonymously", &Api::signInAnonymouslyApp),
      Bind<Api>("signInWithCredential", &Api::signInWithCredentialApp),
      Bind<Api>("signInWithCustomToken", &Api::signInWithCustomTokenApp),
      Bind<Api>("signInWithEmailAndPassword", &Api::signInWithEmailAndPasswordApp),
      Bind<Api>("signInWithEmailLink", &Api::signInWithEmailLinkApp),
      Bind<Api>("signInWithProvider", &Api::signInWithProviderApp),
      Bind<Api>("signOut", &Api::signOutApp),
      Bind<Api>("fetchSignInMethodsForEmail", &Api::fetchSignInMethodsForEmailApp),
      Bind<Api>("sendPasswordResetEmail", &Api::sendPasswordResetEmailApp),
      Bind<Api>("sendSignInLinkToEmail", &Api::sendSignInLinkToEmailApp),
      Bind<Api>("setLanguageCode", &Api::setLanguageCodeApp),
      Bind<Api>("setSettings", &Api::setSettingsApp),
      Bind<Api>("verifyPasswordResetCode", &Api::verifyPasswordResetCodeApp),
      Bind<Api>("verifyPhoneNumber", &Api::verifyPhoneNumberApp),
      Bind<Api>("revokeTokenWithAuthorizationCode", &Api::revokeTokenWithAuthorizationCodeApp),
      Bind<Api>("initializeRecaptchaConfig", &Api::initializeRecaptchaConfigApp),
  };
  return *table;
}

const Table<ZudiroruAuthUserHostApi>& UserTable() {
  using Api = ZudiroruAuthUserHostApi;
  static const auto* table = new Table<Api>{
      Bind<Api>("delete", &Api::deleteApp),
      Bind<Api>("getIdToken", &Api::getIdTokenApp),
      Bind<Api>("linkWithCredential", &Api::linkWithCredentialApp),
      Bind<Api>("linkWithProvider", &Api::linkWithProviderApp),
      Bind<Api>("reauthenticateWithCredential", &Api::reauthenticateWithCredentialApp),
      Bind<Api>("reauthenticateWithProvider", &Api::reauthenticateWithProviderApp),
      Bind<Api>("reload", &Api::reloadApp),
      Bind<Api>("sendEmailVerification", &Api::sendEmailVerificationApp),
      Bind<Api>("unlink", &Api::unlinkApp),
      Bind<Api>("updateEmail", &Api::updateEmailApp),
      Bind<Api>("updatePassword", &Api::updatePasswordApp),
      Bind<Api>("updatePhoneNumber", &Api::updatePhoneNumberApp),
      Bind<Api>("updateProfile", &Api::updateProfileApp),
      Bind<Api>("verifyBeforeUpdateEmail", &Api::verifyBeforeUpdateEmailApp),
  };
  return *table;
}

const Table<MultiFactorUserHostApi>& MultiFactorUserTable() {
  using Api = MultiFactorUserHostApi;
  static const auto* table = new Table<Api>{
      Bind<Api>("enrollPhone", &Api::enrollPhoneApp),
      Bind<Api>("enrollTotp", &Api::enrollTotpApp),
      Bind<Api>("getSession", &Api::getSessionApp),
      Bind<Api>("unenroll", &Api::unenrollApp),
      Bind<Api>("getEnrolledFactors", &Api::getEnrolledFactorsApp),
  };
  return *table;
}

const Table<MultiFactoResolverHostApi>& ResolverTable() {
  using Api = MultiFactoResolverHostApi;
  static const auto* table = new Table<Api>{
      Bind<Api>("resolveSignIn", &Api::resolveSignInResolverId),
  };
  return *table;
}

const Table<MultiFactorTotpHostApi>& TotpTable() {
  using Api = MultiFactorTotpHostApi;
  static const auto* table = new Table<Api>{
      Bind<Api>("generateSecret", &Api::generateSecretSessionId),
      Bind<Api>("getAssertionForEnrollment", &Api::getAssertionForEnrollmentSecretKey),
      Bind<Api>("getAssertionForSignIn", &Api::getAssertionForSignInEnrollmentId),
  };
  return *table;
}

const Table<MultiFactorTotpSecretHostApi>& TotpSecretTable() {
  using Api = MultiFactorTotpSecretHostApi;
  static const auto* table = new Table<Api>{
      Bind<Api>("generateQrCodeUrl", &Api::generateQrCodeUrlSecretKey),
      Bind<Api>("openInOtpApp", &Api::openInOtpAppSecretKey),
  };
  return *table;
}

}  // namespace

void SetUpZudiroruAuthHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                              const std::shared_ptr<ZudiroruAuthHostApi>& api) {
  SetUpZudiroruAuthHostApiWithSuffix(messenger, api, "");
}

void SetUpZudiroruAuthHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<ZudiroruAuthHostApi>& api, const std::string& suffix) {
  Install(messenger, "ZudiroruAuthHostApi", suffix, ZudiroruAuthHostApiGetCodec(), api,
          AuthTable());
}

void SetUpZudiroruAuthUserHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                  const std::shared_ptr<ZudiroruAuthUserHostApi>& api) {
  SetUpZudiroruAuthUserHostApiWithSuffix(messenger, api, "");
}

void SetUpZudiroruAuthUserHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<ZudiroruAuthUserHostApi>& api, const std::string& suffix) {
  Install(messenger, "ZudiroruAuthUserHostApi", suffix, ZudiroruAuthUserHostApiGetCodec(), api,
          UserTable());
}

void SetUpMultiFactorUserHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<MultiFactorUserHostApi>& api) {
  SetUpMultiFactorUserHostApiWithSuffix(messenger, api, "");
}

void SetUpMultiFactorUserHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorUserHostApi>& api, const std::string& suffix) {
  Install(messenger, "MultiFactorUserHostApi", suffix, MultiFactorUserHostApiGetCodec(), api,
          MultiFactorUserTable());
}

void SetUpMultiFactoResolverHostApi(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactoResolverHostApi>& api) {
  SetUpMultiFactoResolverHostApiWithSuffix(messenger, api, "");
}

void SetUpMultiFactoResolverHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactoResolverHostApi>& api, const std::string& suffix) {
  Install(messenger, "MultiFactoResolverHostApi", suffix, MultiFactoResolverHostApiGetCodec(), api,
          ResolverTable());
}

void SetUpMultiFactorTotpHostApi(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<MultiFactorTotpHostApi>& api) {
  SetUpMultiFactorTotpHostApiWithSuffix(messenger, api, "");
}

void SetUpMultiFactorTotpHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorTotpHostApi>& api, const std::string& suffix) {
  Install(messenger, "MultiFactorTotpHostApi", suffix, MultiFactorTotpHostApiGetCodec(), api,
          TotpTable());
}

void SetUpMultiFactorTotpSecretHostApi(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorTotpSecretHostApi>& api) {
  SetUpMultiFactorTotpSecretHostApiWithSuffix(messenger, api, "");
}

void SetUpMultiFactorTotpSecretHostApiWithSuffix(
    const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
    const std::shared_ptr<MultiFactorTotpSecretHostApi>& api, const std::string& suffix) {
  Install(messenger, "MultiFactorTotpSecretHostApi", suffix, MultiFactorTotpSecretHostApiGetCodec(),
          api, TotpSecretTable());
}
