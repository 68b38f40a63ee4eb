#include "plugins/zudiroru_auth/auth_host_api.h"

#include <utility>
#include <vector>

#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/channels.h"
#include "plugins/zudiroru_core/pigeon.h"

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
template <typename Api>
using Handler = std::function<void(Args& args, Api& api, flutter::FlutterReply reply)>;
template <typename Api>
using Table = std::vector<std::pair<const char*, Handler<Api>>>;

constexpr const char* kApp = "an AuthPigeonZudiroruApp";
constexpr const char* kSettings = "a PigeonActionCodeSettings";
constexpr const char* kProvider = "a PigeonSignInProvider";
constexpr const char* kPhoneAssertion = "a PigeonPhoneMultiFactorAssertion";

template <typename T>
fnd::Value RecordValue(const std::shared_ptr<T>& record) {
  return record ? fnd::Value(std::shared_ptr<fnd::Record>(record)) : fnd::Value();
}

// Completions that answer through the reply: [result] or [code, message, details].
AuthHostApiTypes::VoidCompletion Void(flutter::FlutterReply reply) {
  return [reply](ErrorPtr error) { reply(wrapResult(fnd::Value(), error)); };
}

AuthHostApiTypes::StringCompletion String(flutter::FlutterReply reply) {
  return [reply](const std::optional<std::string>& result, ErrorPtr error) {
    reply(wrapResult(result && !error ? fnd::Value(*result) : fnd::Value(), error));
  };
}

AuthHostApiTypes::StringsCompletion Strings(flutter::FlutterReply reply) {
  return [reply](const std::optional<std::vector<std::string>>& result, ErrorPtr error) {
    fnd::Value value;
    if (result && !error) value = fnd::Array(result->begin(), result->end());
    reply(wrapResult(value, error));
  };
}

template <typename T>
AuthHostApiTypes::RecordCompletion<T> Record(flutter::FlutterReply reply) {
  return [reply](std::shared_ptr<T> result, ErrorPtr error) {
    reply(wrapResult(error ? fnd::Value() : RecordValue(result), error));
  };
}

AuthHostApiTypes::FactorsCompletion Factors(flutter::FlutterReply reply) {
  return [reply](const std::optional<std::vector<std::shared_ptr<PigeonMultiFactorInfo>>>& result,
                 ErrorPtr error) {
    fnd::Value value;
    if (result && !error) {
      fnd::Array list;
      for (const auto& info : *result) list.push_back(RecordValue(info));
      value = std::move(list);
    }
    reply(wrapResult(value, error));
  };
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
        [api, methodName, run](const fnd::Value& message, flutter::FlutterReply reply) {
          Args args = Args::ofList(methodName, message);
          run(args, *api, reply);
          if (!args.ok()) reply(wrapResult(fnd::Value(), args.refusal(kAuthInvalidArgumentCode)));
        });
  }
}

const Table<ZudiroruAuthHostApi>& AuthTable() {
  using Api = ZudiroruAuthHostApi;
  using App = AuthPigeonZudiroruApp;
  static const auto* table = new Table<Api>{
      {"registerIdTokenListener",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.registerIdTokenListenerApp(app, String(r));
       }},
      {"registerAuthStateListener",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.registerAuthStateListenerApp(app, String(r));
       }},
      {"useEmulator",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto host = a.string(1);
         int64_t port = a.integerValue(2);
         if (a.ok()) api.useEmulatorApp(app, host, port, Void(r));
       }},
      {"applyActionCode",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto code = a.string(1);
         if (a.ok()) api.applyActionCodeApp(app, code, Void(r));
       }},
      {"checkActionCode",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto code = a.string(1);
         if (a.ok()) api.checkActionCodeApp(app, code, Record<PigeonActionCodeInfo>(r));
       }},
      {"confirmPasswordReset",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto code = a.string(1);
         auto newPassword = a.string(2);
         if (a.ok()) api.confirmPasswordResetApp(app, code, newPassword, Void(r));
       }},
      {"createUserWithEmailAndPassword",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         auto password = a.string(2);
         if (a.ok()) {
           api.createUserWithEmailAndPasswordApp(app, email, password,
                                                 Record<PigeonUserCredential>(r));
         }
       }},
      {"signInAnonymously",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.signInAnonymouslyApp(app, Record<PigeonUserCredential>(r));
       }},
      {"signInWithCredential",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto input = a.dictionary(1);
         if (a.ok()) api.signInWithCredentialApp(app, input, Record<PigeonUserCredential>(r));
       }},
      {"signInWithCustomToken",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto token = a.string(1);
         if (a.ok()) api.signInWithCustomTokenApp(app, token, Record<PigeonUserCredential>(r));
       }},
      {"signInWithEmailAndPassword",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         auto password = a.string(2);
         if (a.ok()) {
           api.signInWithEmailAndPasswordApp(app, email, password, Record<PigeonUserCredential>(r));
         }
       }},
      {"signInWithEmailLink",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         auto link = a.string(2);
         if (a.ok()) api.signInWithEmailLinkApp(app, email, link, Record<PigeonUserCredential>(r));
       }},
      {"signInWithProvider",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto provider = a.record<PigeonSignInProvider>(1, kProvider);
         if (a.ok()) api.signInWithProviderApp(app, provider, Record<PigeonUserCredential>(r));
       }},
      {"signOut",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.signOutApp(app, Void(r));
       }},
      {"fetchSignInMethodsForEmail",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         if (a.ok()) api.fetchSignInMethodsForEmailApp(app, email, Strings(r));
       }},
      {"sendPasswordResetEmail",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         auto settings = a.record<PigeonActionCodeSettings>(2, kSettings);
         if (a.ok()) api.sendPasswordResetEmailApp(app, email, settings, Void(r));
       }},
      {"sendSignInLinkToEmail",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         auto settings = a.record<PigeonActionCodeSettings>(2, kSettings);
         if (a.ok()) api.sendSignInLinkToEmailApp(app, email, settings, Void(r));
       }},
      {"setLanguageCode",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto code = a.string(1);
         if (a.ok()) api.setLanguageCodeApp(app, code, String(r));
       }},
      {"setSettings",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto settings = a.record<PigeonZudiroruAuthSettings>(1, "a PigeonZudiroruAuthSettings");
         if (a.ok()) api.setSettingsApp(app, settings, Void(r));
       }},
      {"verifyPasswordResetCode",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto code = a.string(1);
         if (a.ok()) api.verifyPasswordResetCodeApp(app, code, String(r));
       }},
      {"verifyPhoneNumber",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto request =
             a.record<PigeonVerifyPhoneNumberRequest>(1, "a PigeonVerifyPhoneNumberRequest");
         if (a.ok()) api.verifyPhoneNumberApp(app, request, String(r));
       }},
      {"revokeTokenWithAuthorizationCode",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto code = a.string(1);
         if (a.ok()) api.revokeTokenWithAuthorizationCodeApp(app, code, Void(r));
       }},
      {"initializeRecaptchaConfig",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.initializeRecaptchaConfigApp(app, Void(r));
       }},
  };
  return *table;
}

const Table<ZudiroruAuthUserHostApi>& UserTable() {
  using Api = ZudiroruAuthUserHostApi;
  using App = AuthPigeonZudiroruApp;
  static const auto* table = new Table<Api>{
      {"delete",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.deleteApp(app, Void(r));
       }},
      {"getIdToken",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         bool forceRefresh = a.boolean(1, /*integersOnly=*/true);
         if (a.ok()) api.getIdTokenApp(app, forceRefresh, Record<PigeonIdTokenResult>(r));
       }},
      {"linkWithCredential",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto input = a.dictionary(1);
         if (a.ok()) api.linkWithCredentialApp(app, input, Record<PigeonUserCredential>(r));
       }},
      {"linkWithProvider",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto provider = a.record<PigeonSignInProvider>(1, kProvider);
         if (a.ok()) api.linkWithProviderApp(app, provider, Record<PigeonUserCredential>(r));
       }},
      {"reauthenticateWithCredential",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto input = a.dictionary(1);
         if (a.ok()) {
           api.reauthenticateWithCredentialApp(app, input, Record<PigeonUserCredential>(r));
         }
       }},
      {"reauthenticateWithProvider",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto provider = a.record<PigeonSignInProvider>(1, kProvider);
         if (a.ok()) {
           api.reauthenticateWithProviderApp(app, provider, Record<PigeonUserCredential>(r));
         }
       }},
      {"reload",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.reloadApp(app, Record<PigeonUserDetails>(r));
       }},
      {"sendEmailVerification",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto settings = a.record<PigeonActionCodeSettings>(1, kSettings);
         if (a.ok()) api.sendEmailVerificationApp(app, settings, Void(r));
       }},
      {"unlink",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto providerId = a.string(1);
         if (a.ok()) api.unlinkApp(app, providerId, Record<PigeonUserCredential>(r));
       }},
      {"updateEmail",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         if (a.ok()) api.updateEmailApp(app, email, Record<PigeonUserDetails>(r));
       }},
      {"updatePassword",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto password = a.string(1);
         if (a.ok()) api.updatePasswordApp(app, password, Record<PigeonUserDetails>(r));
       }},
      {"updatePhoneNumber",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto input = a.dictionary(1);
         if (a.ok()) api.updatePhoneNumberApp(app, input, Record<PigeonUserDetails>(r));
       }},
      {"updateProfile",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto profile = a.record<PigeonUserProfile>(1, "a PigeonUserProfile");
         if (a.ok()) api.updateProfileApp(app, profile, Record<PigeonUserDetails>(r));
       }},
      {"verifyBeforeUpdateEmail",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto email = a.string(1);
         auto settings = a.record<PigeonActionCodeSettings>(2, kSettings);
         if (a.ok()) api.verifyBeforeUpdateEmailApp(app, email, settings, Void(r));
       }},
  };
  return *table;
}

const Table<MultiFactorUserHostApi>& MultiFactorUserTable() {
  using Api = MultiFactorUserHostApi;
  using App = AuthPigeonZudiroruApp;
  static const auto* table = new Table<Api>{
      {"enrollPhone",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto assertion = a.record<PigeonPhoneMultiFactorAssertion>(1, kPhoneAssertion);
         auto displayName = a.string(2);
         if (a.ok()) api.enrollPhoneApp(app, assertion, displayName, Void(r));
       }},
      {"enrollTotp",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto assertionId = a.string(1);
         auto displayName = a.string(2);
         if (a.ok()) api.enrollTotpApp(app, assertionId, displayName, Void(r));
       }},
      {"getSession",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.getSessionApp(app, Record<PigeonMultiFactorSession>(r));
       }},
      {"unenroll",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         auto factorUid = a.string(1);
         if (a.ok()) api.unenrollApp(app, factorUid, Void(r));
       }},
      {"getEnrolledFactors",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto app = a.record<App>(0, kApp);
         if (a.ok()) api.getEnrolledFactorsApp(app, Factors(r));
       }},
  };
  return *table;
}

const Table<MultiFactoResolverHostApi>& ResolverTable() {
  using Api = MultiFactoResolverHostApi;
  static const auto* table = new Table<Api>{
      {"resolveSignIn",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto resolverId = a.string(0);
         auto assertion = a.record<PigeonPhoneMultiFactorAssertion>(1, kPhoneAssertion);
         auto totpAssertionId = a.string(2);
         if (a.ok()) {
           api.resolveSignInResolverId(resolverId, assertion, totpAssertionId,
                                       Record<PigeonUserCredential>(r));
         }
       }},
  };
  return *table;
}

const Table<MultiFactorTotpHostApi>& TotpTable() {
  using Api = MultiFactorTotpHostApi;
  static const auto* table = new Table<Api>{
      {"generateSecret",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto sessionId = a.string(0);
         if (a.ok()) api.generateSecretSessionId(sessionId, Record<PigeonTotpSecret>(r));
       }},
      {"getAssertionForEnrollment",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto secretKey = a.string(0);
         auto oneTimePassword = a.string(1);
         if (a.ok()) api.getAssertionForEnrollmentSecretKey(secretKey, oneTimePassword, String(r));
       }},
      {"getAssertionForSignIn",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto enrollmentId = a.string(0);
         auto oneTimePassword = a.string(1);
         if (a.ok())
           api.getAssertionForSignInEnrollmentId(enrollmentId, oneTimePassword, String(r));
       }},
  };
  return *table;
}

const Table<MultiFactorTotpSecretHostApi>& TotpSecretTable() {
  using Api = MultiFactorTotpSecretHostApi;
  static const auto* table = new Table<Api>{
      {"generateQrCodeUrl",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto secretKey = a.string(0);
         auto accountName = a.string(1);
         auto issuer = a.string(2);
         if (a.ok()) api.generateQrCodeUrlSecretKey(secretKey, accountName, issuer, String(r));
       }},
      {"openInOtpApp",
       [](Args& a, Api& api, flutter::FlutterReply r) {
         auto secretKey = a.string(0);
         auto qrCodeUrl = a.string(1);
         if (a.ok()) api.openInOtpAppSecretKey(secretKey, qrCodeUrl, Void(r));
       }},
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
