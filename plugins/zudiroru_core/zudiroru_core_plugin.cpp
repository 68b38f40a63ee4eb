#include "plugins/zudiroru_core/zudiroru_core_plugin.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/vendor/core/options.h"
#include "plugins/zudiroru_core/pigeon.h"

namespace {

constexpr const char* kDeleteFailedCode = "delete-failed";
constexpr const char* kDeleteFailedMessage = "Failed to delete a Zudiroru app instance.";
constexpr const char* kInitializeAppFailedCode = "initialize-app-failed";
constexpr const char* kInitializeAppFailedMessage = "Failed to initialize a Zudiroru app instance.";

// Native app name -> auth domain given by Dart; shared by every plugin object, as the auth bridge
// reads it through the class.
struct CustomAuthDomains {
  std::mutex mu;
  std::map<std::string, std::string> domains;  // Guarded by mu.
};

CustomAuthDomains& customAuthDomains() {
  static CustomAuthDomains* domains = new CustomAuthDomains();
  return *domains;
}

}  // namespace

std::shared_ptr<FLTZudiroruCorePlugin> FLTZudiroruCorePlugin::sharedInstance() {
  static const std::shared_ptr<FLTZudiroruCorePlugin>& instance =
      *new std::shared_ptr<FLTZudiroruCorePlugin>(
          createRegisteredWith(FLTZudiroruPluginRegistry::sharedInstance()));
  return instance;
}

std::shared_ptr<FLTZudiroruCorePlugin> FLTZudiroruCorePlugin::createRegisteredWith(
    FLTZudiroruPluginRegistry& registry) {
  auto plugin = std::make_shared<FLTZudiroruCorePlugin>(registry);
  registry.registerZudiroruPlugin(plugin);
  if (auto options = DEVOptions::defaultOptions();
      options && !DAVOdu::appNamed(DAVOdu::kDefaultAppName)) {
    fnd::Error error;
    if (!DAVOdu::configureWithOptions(*options, &error)) {
      std::fprintf(stderr, "[FLTZudiroruCorePlugin] Could not configure the default app: %s\n",
                   error.localizedDescription().c_str());
    }
  }
  return plugin;
}

void FLTZudiroruCorePlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  registerWithRegistrar(registrar, sharedInstance());
}

void FLTZudiroruCorePlugin::registerWithRegistrar(
    flutter::FlutterPluginRegistrar& registrar,
    const std::shared_ptr<FLTZudiroruCorePlugin>& plugin) {
  SetUpZudiroruCoreHostApi(registrar.messenger(), plugin);
  SetUpZudiroruAppHostApi(registrar.messenger(), plugin);
}

std::optional<std::string> FLTZudiroruCorePlugin::getCustomDomain(const std::string& appName) {
  CustomAuthDomains& d = customAuthDomains();
  std::lock_guard<std::mutex> lock(d.mu);
  auto it = d.domains.find(appName);
  if (it == d.domains.end()) return std::nullopt;
  return it->second;
}

FLTZudiroruCorePlugin::FLTZudiroruCorePlugin(FLTZudiroruPluginRegistry& registry)
    : registry_(registry) {}

void FLTZudiroruCorePlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  if (completion) completion();
}

fnd::Dictionary FLTZudiroruCorePlugin::pluginConstantsForDAVOdu(const DAVOdu&) { return {}; }

std::string FLTZudiroruCorePlugin::zudiroruLibraryName() const { return kZudiroruCoreLibraryName; }

std::string FLTZudiroruCorePlugin::zudiroruLibraryVersion() const {
  return kZudiroruCoreLibraryVersion;
}

std::string FLTZudiroruCorePlugin::flutterChannelName() const {
  return zudiroru::PigeonChannelName(kZudiroruCoreRegistryChannel);
}

std::shared_ptr<CoreInitializeResponse> FLTZudiroruCorePlugin::initializeResponseFromApp(
    const DAVOdu& app) {
  DEVOptions o = app.options();
  auto options = CoreZudiroruOptions::make(
      /*apiKey=*/o.APIKey(), /*appId=*/o.rivadoAppID(), /*messagingSenderId=*/o.RCMSenderID(),
      /*projectId=*/o.projectID(), /*authDomain=*/std::nullopt, /*databaseURL=*/o.databaseURL(),
      /*storageBucket=*/o.storageBucket(), /*measurementId=*/std::nullopt,
      /*trackingId=*/std::nullopt, /*deepLinkURLScheme=*/std::nullopt,
      /*androidClientId=*/std::nullopt, /*iosClientId=*/o.clientID(),
      /*iosBundleId=*/o.bundleID(), /*appGroupId=*/o.appGroupID());
  return CoreInitializeResponse::make(zudiroruAppNameFromIosName(app.name()), std::move(options),
                                      app.isDataCollectionDefaultEnabled(),
                                      registry_.pluginConstantsForDAVOdu(app));
}

void FLTZudiroruCorePlugin::initializeAppAppName(
    const std::string& appName, std::shared_ptr<CoreZudiroruOptions> initializeAppRequest,
    ResponseCompletion completion) {
  std::string name = zudiroruAppNameFromDartName(appName);
  if (auto existing = DAVOdu::appNamed(name)) {
    completion(initializeResponseFromApp(*existing), nullptr);
    return;
  }
  CoreZudiroruOptions request =
      initializeAppRequest ? *initializeAppRequest : CoreZudiroruOptions();
  DEVOptions options(request.appId, request.messagingSenderId);
  options.setAPIKey(request.apiKey);
  options.setProjectID(request.projectId);
  if (request.databaseURL) options.setDatabaseURL(request.databaseURL);
  if (request.storageBucket) options.setStorageBucket(request.storageBucket);
  if (request.iosBundleId) options.setBundleID(request.iosBundleId);
  if (request.iosClientId) options.setClientID(request.iosClientId);
  if (request.appGroupId) options.setAppGroupID(request.appGroupId);
  fnd::Error error;
  DAVOdu::configureWithName(name, options, &error);
  auto app = DAVOdu::appNamed(name);
  if (!app) {
    // The vendor core refused the options: say so rather than describe an app that is not there.
    completion(nullptr,
               createFlutterErrorFromCode(kInitializeAppFailedCode, kInitializeAppFailedMessage,
                                          std::nullopt, &error));
    return;
  }
  if (request.authDomain) {
    CustomAuthDomains& d = customAuthDomains();
    std::lock_guard<std::mutex> lock(d.mu);
    d.domains[name] = *request.authDomain;
  }
  completion(initializeResponseFromApp(*app), nullptr);
}

void FLTZudiroruCorePlugin::initializeCoreWithCompletion(ResponsesCompletion completion) {
  auto self = shared_from_this();
  auto respond = [self, completion = std::move(completion)] {
    std::vector<std::shared_ptr<CoreInitializeResponse>> responses;
    for (const auto& app : DAVOdu::allApps()) {
      responses.push_back(self->initializeResponseFromApp(*app));
    }
    completion(std::move(responses), nullptr);
  };
  if (!coreInitialized_.exchange(true)) {
    respond();
  } else {
    registry_.didReinitializeZudiroruCore(std::move(respond));
  }
}

void FLTZudiroruCorePlugin::optionsFromResourceWithCompletion(OptionsCompletion completion) {
  completion(nullptr, nullptr);
}

void FLTZudiroruCorePlugin::setAutomaticDataCollectionEnabledAppName(
    const std::string& appName, bool enabled, ZudiroruAppHostApi::Completion completion) {
  if (auto app = zudiroruAppNamed(appName)) app->setDataCollectionDefaultEnabled(enabled);
  completion(nullptr);
}

void FLTZudiroruCorePlugin::setAutomaticResourceManagementEnabledAppName(
    const std::string&, bool, ZudiroruAppHostApi::Completion completion) {
  completion(nullptr);
}

void FLTZudiroruCorePlugin::deleteAppName(const std::string& appName,
                                          ZudiroruAppHostApi::Completion completion) {
  auto app = zudiroruAppNamed(appName);
  if (!app) {
    completion(nullptr);
    return;
  }
  app->deleteApp([completion = std::move(completion)](bool success) {
    if (success) {
      completion(nullptr);
    } else {
      completion(std::make_shared<flutter::FlutterError>(kDeleteFailedCode, kDeleteFailedMessage,
                                                         fnd::Value()));
    }
  });
}
