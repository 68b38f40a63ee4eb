#include "plugins/zudiroru_remote_config/zudiroru_remote_config_plugin.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <utility>

namespace {

constexpr const char* kAppNameKey = "appName";

// The whole seconds of a time or interval, truncated toward zero; values past the 64-bit range
// are clamped, and NaN is 0.
int64_t WholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 9223372036854775807.0) return INT64_MAX;
  if (seconds <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(std::trunc(seconds));
}

const char* FetchStatusName(DEVRemoteConfigFetchStatus status) {
  switch (status) {
    case DEVRemoteConfigFetchStatusNoFetchYet:
      return "noFetchYet";
    case DEVRemoteConfigFetchStatusSuccess:
      return "success";
    case DEVRemoteConfigFetchStatusThrottled:
      return "throttle";
    default:
      return "failure";
  }
}

const char* SourceName(DEVRemoteConfigSource source) {
  switch (source) {
    case DEVRemoteConfigSourceRemote:
      return "remote";
    case DEVRemoteConfigSourceDefault:
      return "default";
    default:
      return "static";
  }
}

// The instance of the app a Dart name stands for; nullptr with *error set when none.
std::shared_ptr<DEVRemoteConfig> Lookup(
    const ZudiroruRemoteConfigPlugin::RemoteConfigLookup& lookup, const std::string& appName,
    fnd::Value* error) {
  std::shared_ptr<DAVOdu> app = FLTZudiroruPlugin::zudiroruAppNamed(appName);
  std::shared_ptr<DEVRemoteConfig> remoteConfig = app ? lookup(*app) : nullptr;
  if (!remoteConfig && error) {
    *error = flutter::FlutterError::errorWithCode(
        kZudiroruRemoteConfigErrorCode,
        "No Zudiroru app named \"" + appName + "\" has been configured.");
  }
  return remoteConfig;
}

}  // namespace

std::shared_ptr<ZudiroruRemoteConfigPlugin> ZudiroruRemoteConfigPlugin::sharedInstance() {
  static const std::shared_ptr<ZudiroruRemoteConfigPlugin>& instance =
      *new std::shared_ptr<ZudiroruRemoteConfigPlugin>(
          createRegisteredWith(FLTZudiroruPluginRegistry::sharedInstance()));
  return instance;
}

std::shared_ptr<ZudiroruRemoteConfigPlugin> ZudiroruRemoteConfigPlugin::createRegisteredWith(
    FLTZudiroruPluginRegistry& registry, RemoteConfigLookup lookup) {
  auto plugin = std::make_shared<ZudiroruRemoteConfigPlugin>(std::move(lookup));
  registry.registerZudiroruPlugin(plugin);
  return plugin;
}

void ZudiroruRemoteConfigPlugin::registerWith(flutter::FlutterPluginRegistrar& registrar) {
  registerWith(registrar, sharedInstance());
}

void ZudiroruRemoteConfigPlugin::registerWith(
    flutter::FlutterPluginRegistrar& registrar,
    const std::shared_ptr<ZudiroruRemoteConfigPlugin>& plugin) {
  std::shared_ptr<flutter::FlutterBinaryMessenger> messenger = registrar.messenger();
  ZudiroruRemoteConfigHostApiSetup::setUp(messenger, plugin, "");
  auto channel = flutter::FlutterEventChannel::eventChannelWithName(
      kZudiroruRemoteConfigUpdatedChannelName, messenger);
  channel->setStreamHandler(plugin);
  // Announced once more here, as the registry already did: both announcements are the same.
  DAVOdu::registerLibrary(kZudiroruRemoteConfigLibraryName, kZudiroruRemoteConfigLibraryVersion);
}

ZudiroruRemoteConfigPlugin::ZudiroruRemoteConfigPlugin(RemoteConfigLookup lookup)
    : lookup_(lookup ? std::move(lookup) : [](const DAVOdu& app) {
        return DEVRemoteConfig::remoteConfigWithApp(app);
      }) {}

std::shared_ptr<DEVRemoteConfig> ZudiroruRemoteConfigPlugin::remoteConfigNamed(
    const std::string& appName, fnd::Value* error) const {
  return Lookup(lookup_, appName, error);
}

fnd::Value ZudiroruRemoteConfigPlugin::createFlutterError(const fnd::Error& error) {
  const fnd::Value* details = error.userInfo().find("details");
  return fnd::Value(std::shared_ptr<fnd::Record>(std::make_shared<flutter::FlutterError>(
      kZudiroruRemoteConfigErrorCode, error.localizedDescription(),
      details ? *details : fnd::Value())));
}

template <typename T>
std::shared_ptr<DEVRemoteConfig> ZudiroruRemoteConfigPlugin::remoteConfigOrFail(
    const RemoteConfigLookup& lookup, const std::string& appName, const Completion<T>& completion) {
  fnd::Value error;
  auto remoteConfig = Lookup(lookup, appName, &error);
  if (!remoteConfig) completion(ZudiroruRemoteConfigResult<T>::failure(error));
  return remoteConfig;
}

void ZudiroruRemoteConfigPlugin::fetch(const std::string& appName, NullCompletion completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  remoteConfig->fetchWithCompletionHandler(
      [completion](DEVRemoteConfigFetchStatus, std::optional<fnd::Error> error) {
        complete(completion, error, nullptr);
      });
}

void ZudiroruRemoteConfigPlugin::fetchAndActivate(const std::string& appName,
                                                  Completion<bool> completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  remoteConfig->fetchAndActivateWithCompletionHandler(
      [completion](DEVRemoteConfigFetchAndActivateStatus status, std::optional<fnd::Error> error) {
        complete(completion, error,
                 status == DEVRemoteConfigFetchAndActivateStatusSuccessFetchedFromRemote);
      });
}

void ZudiroruRemoteConfigPlugin::activate(const std::string& appName, Completion<bool> completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  remoteConfig->activateWithCompletion([completion](bool changed, std::optional<fnd::Error> error) {
    complete(completion, error, changed);
  });
}

void ZudiroruRemoteConfigPlugin::setConfigSettings(const std::string& appName,
                                                   const RemoteConfigPigeonSettings& settings,
                                                   NullCompletion completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  DEVRemoteConfigSettings configSettings;
  configSettings.setFetchTimeout(static_cast<double>(settings.fetchTimeoutSeconds));
  configSettings.setMinimumFetchInterval(static_cast<double>(settings.minimumFetchIntervalSeconds));
  remoteConfig->setConfigSettings(configSettings);
  completion(ZudiroruRemoteConfigResult<std::nullptr_t>::success(nullptr));
}

void ZudiroruRemoteConfigPlugin::setDefaults(const std::string& appName,
                                             const fnd::Dictionary& defaultParameters,
                                             NullCompletion completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  fnd::Dictionary defaults;
  for (const auto& [key, value] : defaultParameters) {
    if (!value.isNull()) defaults.set(key, value);
  }
  remoteConfig->setDefaults(defaults);
  completion(ZudiroruRemoteConfigResult<std::nullptr_t>::success(nullptr));
}

void ZudiroruRemoteConfigPlugin::ensureInitialized(const std::string& appName,
                                                   NullCompletion completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  remoteConfig->ensureInitializedWithCompletionHandler(
      [completion](std::optional<fnd::Error> error) { complete(completion, error, nullptr); });
}

DEVRemoteConfig::CustomSignals ZudiroruRemoteConfigPlugin::convertToCustomSignalValues(
    const fnd::Dictionary& values) {
  DEVRemoteConfig::CustomSignals signals;
  for (const auto& [key, value] : values) {
    std::optional<CustomSignalValue> signal;
    if (value.isString()) {
      signal = CustomSignalValue::string(value.asString());
    } else if (value.isInt() || value.isBool()) {
      signal = CustomSignalValue::integer(value.asInt());
    } else if (value.isDouble()) {
      double d = value.asDouble();
      bool whole = std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
                   d < 9223372036854775808.0;
      signal = whole ? CustomSignalValue::integer(static_cast<int64_t>(d))
                     : CustomSignalValue::floatingPoint(d);
    }
    signals[key.asString()] = std::move(signal);
  }
  return signals;
}

void ZudiroruRemoteConfigPlugin::setCustomSignals(const std::string& appName,
                                                  const fnd::Dictionary& customSignals,
                                                  NullCompletion completion) {
  DEVRemoteConfig::CustomSignals signals = convertToCustomSignalValues(customSignals);
  dispatch::Queue::global(dispatch::Qos::kDefault)
      ->async([lookup = lookup_, appName, signals = std::move(signals), completion]() mutable {
        auto remoteConfig = remoteConfigOrFail(lookup, appName, completion);
        if (!remoteConfig) return;
        remoteConfig->setCustomSignals(std::move(signals),
                                       [completion](std::optional<fnd::Error> error) {
                                         complete(completion, error, nullptr);
                                       });
      });
}

fnd::Dictionary ZudiroruRemoteConfigPlugin::getAllParameters(const DEVRemoteConfig& remoteConfig) {
  std::set<std::string> keys;
  for (DEVRemoteConfigSource source :
       {DEVRemoteConfigSourceStatic, DEVRemoteConfigSourceDefault, DEVRemoteConfigSourceRemote}) {
    for (std::string& key : remoteConfig.allKeysFromSource(source)) keys.insert(std::move(key));
  }
  fnd::Dictionary parameters;
  for (const std::string& key : keys) {
    DEVRemoteConfigValue value = remoteConfig.configValueForKey(key);
    parameters.set(key, fnd::Dictionary{{"value", fnd::Value(value.dataValue())},
                                        {"source", SourceName(value.source())}});
  }
  return parameters;
}

fnd::Dictionary ZudiroruRemoteConfigPlugin::configProperties(const DEVRemoteConfig& remoteConfig) {
  DEVRemoteConfigSettings settings = remoteConfig.configSettings();
  std::optional<double> lastFetchTime = remoteConfig.lastFetchTime();
  return fnd::Dictionary{
      {"fetchTimeout", WholeSeconds(settings.fetchTimeout())},
      {"minimumFetchInterval", WholeSeconds(settings.minimumFetchInterval())},
      {"lastFetchTime", lastFetchTime ? WholeSeconds(*lastFetchTime) : int64_t{0}},
      {"lastFetchStatus", FetchStatusName(remoteConfig.lastFetchStatus())},
  };
}

void ZudiroruRemoteConfigPlugin::getAll(const std::string& appName,
                                        Completion<fnd::Dictionary> completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  completion(ZudiroruRemoteConfigResult<fnd::Dictionary>::success(getAllParameters(*remoteConfig)));
}

void ZudiroruRemoteConfigPlugin::getProperties(const std::string& appName,
                                               Completion<fnd::Dictionary> completion) {
  auto remoteConfig = remoteConfigOrFail(lookup_, appName, completion);
  if (!remoteConfig) return;
  completion(ZudiroruRemoteConfigResult<fnd::Dictionary>::success(configProperties(*remoteConfig)));
}

std::shared_ptr<flutter::FlutterError> ZudiroruRemoteConfigPlugin::onListenWithArguments(
    const fnd::Value& arguments, flutter::FlutterEventSink events) {
  const fnd::Dictionary* map = arguments.dictionary();
  const fnd::Value* appName = map ? map->find(kAppNameKey) : nullptr;
  if (!appName || !appName->isString()) return nullptr;
  const std::string& name = appName->asString();
  auto remoteConfig = remoteConfigNamed(name, nullptr);
  if (!remoteConfig) return nullptr;
  auto registration = remoteConfig->addOnConfigUpdateListener(
      [events](std::shared_ptr<DEVRemoteConfigUpdate> update, std::optional<fnd::Error> error) {
        if (error) {
          std::printf("Remote Config update error: %s\n", error->localizedDescription().c_str());
          std::fflush(stdout);
          return;
        }
        if (!update) return;
        fnd::Array keys;
        for (const std::string& key : update->updatedKeys()) keys.emplace_back(key);
        events(fnd::Value(std::move(keys)));
      });
  // A listener left from an earlier stream of this app would live on unheard: stop it first.
  if (auto it = listenersMap_.find(name); it != listenersMap_.end()) {
    if (it->second) it->second->remove();
    listenersMap_.erase(it);
  }
  if (registration) listenersMap_[name] = std::move(registration);
  return nullptr;
}

std::shared_ptr<flutter::FlutterError> ZudiroruRemoteConfigPlugin::onCancelWithArguments(
    const fnd::Value& arguments) {
  const fnd::Dictionary* map = arguments.dictionary();
  const fnd::Value* appName = map ? map->find(kAppNameKey) : nullptr;
  if (!appName || !appName->isString()) return nullptr;
  auto it = listenersMap_.find(appName->asString());
  if (it == listenersMap_.end()) return nullptr;
  if (it->second) it->second->remove();
  listenersMap_.erase(it);
  return nullptr;
}

void ZudiroruRemoteConfigPlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  if (completion) completion();
}

fnd::Dictionary ZudiroruRemoteConfigPlugin::pluginConstantsForDAVOdu(const DAVOdu& app) {
  std::shared_ptr<DEVRemoteConfig> remoteConfig = lookup_(app);
  if (!remoteConfig) return {};
  fnd::Dictionary constants = configProperties(*remoteConfig);
  constants.set("parameters", getAllParameters(*remoteConfig));
  return constants;
}

std::string ZudiroruRemoteConfigPlugin::zudiroruLibraryName() const {
  return kZudiroruRemoteConfigLibraryName;
}

std::string ZudiroruRemoteConfigPlugin::zudiroruLibraryVersion() const {
  return kZudiroruRemoteConfigLibraryVersion;
}

std::string ZudiroruRemoteConfigPlugin::flutterChannelName() const {
  return kZudiroruRemoteConfigRegistryChannelName;
}
