#include "analytics/config/remote_config.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/service_url.h"
#include "analytics/script/host_modules.h"
#include "analytics/script/pixie_logger.h"
#include "analytics/script/runtime.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/text.h"

namespace {

// Settings keys that the configuration's PSM limits replace.
constexpr const char* kPSMPrefixEmailKey = "measurement.psm_prefix_email";
constexpr const char* kPSMPrefixPhoneKey = "measurement.psm_prefix_phone";
constexpr const char* kPSMSignInDelayKey = "measurement.psm_signin_delay";

std::mutex& ServicesMutex() {
  static std::mutex mu;
  return mu;
}
std::shared_ptr<const ZIVRemoteConfigServices>& InstalledServices() {
  static std::shared_ptr<const ZIVRemoteConfigServices> services;
  return services;
}

bool IsNumberValue(const fnd::Value& value) { return value.isNumber() || value.isBool(); }

// The number as NSNumber's longLongValue reads it: a fraction is truncated, a double beyond the
// range saturates, NaN reads as 0.
int64_t Int64FromNumber(const fnd::Value& value) {
  if (value.isDouble()) {
    double d = value.asDouble();
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  return value.asInt();
}

// The number as intValue reads it: the low 32 bits of the 64-bit value.
int32_t Int32FromNumber(const fnd::Value& value) {
  return static_cast<int32_t>(static_cast<uint64_t>(Int64FromNumber(value)));
}

// <0, 0, >0 as a is below, equal to or above b. Integers compare exactly.
int CompareNumbers(const fnd::Value& a, const fnd::Value& b) {
  if (!a.isDouble() && !b.isDouble()) {
    int64_t x = a.asInt();
    int64_t y = b.asInt();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  double x = a.asDouble();
  double y = b.asDouble();
  return x < y ? -1 : (x > y ? 1 : 0);
}

// A number's text as NSNumber's stringValue gives it.
std::string StringFromNumber(const fnd::Value& value) {
  if (value.isBool()) return value.asBool() ? "1" : "0";
  if (value.isInt()) return std::to_string(value.asInt());
  double d = value.asDouble();
  if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15) {
    return std::to_string(static_cast<int64_t>(d));
  }
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), d);
  return std::string(buffer, result.ptr);
}

// A string flag value as NSString's boolValue reads it: after spaces, a sign and leading zeros,
// "Y", "y", "T", "t" or a digit 1 to 9 is true.
bool BoolFromString(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// A stable hash of the string's UTF-16 units, the same on every run and every machine, so that
// an installation stays on one side of a rollout.
uint64_t StableStringHash(const std::string& string) {
  const std::u16string text = fnd::ToUTF16(string);
  const std::u16string_view units = text;
  const uint64_t length = units.size();
  uint64_t result = length;
  // Four units a step, then the rest one by one. The products are 32-bit (a unit times an
  // unsigned constant) and may wrap before they are added: that is part of the hash.
  auto mix = [&result](std::u16string_view part) {
    const size_t whole = part.size() / 4 * 4;
    for (size_t i = 0; i < whole; i += 4) {
      result = result * 67503105u + part[i] * 16974593u + part[i + 1] * 66049u +
               part[i + 2] * 257u + part[i + 3];
    }
    for (size_t i = whole; i < part.size(); ++i) result = result * 257u + part[i];
  };
  if (length <= 96) {
    mix(units);
  } else {
    mix(units.substr(0, 32));
    mix(units.substr((length >> 1) - 16, 32));
    mix(units.substr(length - 32, 32));
  }
  return result + (result << (length & 31));
}

// True for an absolute URL: a scheme, "://", a host, and no spaces or control characters.
bool IsAbsoluteURL(const std::string& text) {
  size_t colon = text.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = text[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
              (i > 0 &&
               (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  size_t hostStart = colon + 3;
  if (hostStart >= text.size() || text[hostStart] == '/' || text[hostStart] == '?' ||
      text[hostStart] == '#') {
    return false;
  }
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return fnd::IsValidUTF8(text);
}

// A subdomain that can stand as the first labels of the upload host: letters, digits, "-" and
// inner dots.
bool IsValidSubdomain(const std::string& text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      if (text[i - 1] == '.') return false;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return true;
}

// Percent-encodes everything outside the URL-path character set, and "/" too, so that the app
// ID stays one path segment.
std::string PercentEncodePathSegment(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    bool allowed = std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '!' ||
                   c == '$' || c == '&' || c == '\'' || c == '(' || c == ')' || c == '*' ||
                   c == '+' || c == ',' || c == '=' || c == ':' || c == '@';
    if (allowed) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

// A header value that cannot break out of its header line.
bool IsSafeHeaderValue(const std::string& text) {
  for (unsigned char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

fnd::Dictionary DictionaryFromEntries(const std::vector<std::pair<std::string, std::string>>& e) {
  fnd::Dictionary out;
  for (const auto& [key, value] : e) out.set(key, value);
  return out;
}

}  // namespace

int64_t ZIVRemoteConfigServices::libraryVersion() const { return ZIVMeasurement::libraryVersion(); }

void ZIVRemoteConfigSetServices(std::shared_ptr<const ZIVRemoteConfigServices> services) {
  std::lock_guard<std::mutex> lock(ServicesMutex());
  InstalledServices() = std::move(services);
}

std::shared_ptr<const ZIVRemoteConfigServices> ZIVRemoteConfigCurrentServices() {
  {
    std::lock_guard<std::mutex> lock(ServicesMutex());
    if (InstalledServices()) return InstalledServices();
  }
  static const auto defaults = std::make_shared<const ZIVRemoteConfigServices>();
  return defaults;
}

bool ZIVRemoteConfigIsPublicEventName(std::string_view name) {
  return !name.empty() && name.front() != '_';
}

// ---- Construction.

ZIVRemoteConfig::ZIVRemoteConfig(std::string appID, const std::shared_ptr<ZIVDatabase>& database,
                                 std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                                 std::shared_ptr<APMEManager> experimentManager,
                                 Environment environment)
    : appID_(std::move(appID)),
      database_(database),
      persistedConfig_(std::move(persistedConfig)),
      experimentManager_(std::move(experimentManager)),
      environment_(std::move(environment)),
      isDefaultInstance_(database == nullptr && appID_.empty()) {}

ZIVRemoteConfig::~ZIVRemoteConfig() = default;

const std::shared_ptr<ZIVRemoteConfig>& ZIVRemoteConfig::defaultInstance() {
  static const std::shared_ptr<ZIVRemoteConfig>& instance =
      *new std::shared_ptr<ZIVRemoteConfig>([] {
        std::shared_ptr<ZIVRemoteConfig> config(
            new ZIVRemoteConfig(std::string(), nullptr, nullptr, nullptr, Environment{}));
        config->start(nullptr);
        return config;
      }());
  return instance;
}

std::shared_ptr<ZIVRemoteConfig> ZIVRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
    const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig,
    const std::shared_ptr<ZIVPersistedConfig>& persistedConfig,
    const std::shared_ptr<APMEManager>& experimentManager, Environment environment) {
  std::shared_ptr<ZIVRemoteConfig> config(new ZIVRemoteConfig(
      appID, database, persistedConfig, experimentManager, std::move(environment)));
  config->start(measurementConfig);
  return config;
}

std::shared_ptr<ZIVRemoteConfig> ZIVRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
    const std::shared_ptr<ZIVPersistedConfig>& persistedConfig,
    const std::shared_ptr<APMEManager>& experimentManager, Environment environment) {
  ZIVMonitor& log = environment.monitor ? *environment.monitor : *ZIVMeasurement::monitor();
  if (appID.empty()) {
    log.logWithLevel(1, 29000, "Cannot init remote configuration without valid Rivado App ID");
    return nullptr;
  }
  if (!database) {
    log.logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, std::shared_ptr<APMPBMeasurementConfig>(), persistedConfig,
                       experimentManager, std::move(environment));
}

std::shared_ptr<ZIVRemoteConfig> ZIVRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
    const std::shared_ptr<APMEManager>& experimentManager, Environment environment) {
  return initWithAppID(appID, database, std::shared_ptr<ZIVPersistedConfig>(), experimentManager,
                       std::move(environment));
}

std::shared_ptr<ZIVRemoteConfig> ZIVRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<ZIVDatabase>& database,
    const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig,
    const std::shared_ptr<APMEManager>& experimentManager, Environment environment) {
  return initWithAppID(appID, database, measurementConfig, std::shared_ptr<ZIVPersistedConfig>(),
                       experimentManager, std::move(environment));
}

void ZIVRemoteConfig::start(const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig) {
  if (experimentManager_) {
    SDKProperty_ = APMESDKProperty::initWithName(fnd::Value(ZIVRemoteConfigExperimentSDKName));
    if (SDKProperty_) {
      SDKProperty_->setVersion(services()->libraryVersion());
      SDKProperty_->setDelegate(shared_from_this());
      experimentClient_ = experimentManager_->registerSDKProperty(SDKProperty_, fnd::Dictionary());
    }
    if (experimentClient_) experimentClient_->setDelegate(shared_from_this());
  }
  if (experimentClient_) {
    fnd::Error error;
    if (!experimentClient_->activateLatestSnapshot(&error) && !error.domain().empty()) {
      monitor().logWithLevel(2, 29023, "Cannot activate stale snapshot. Error",
                             ZIVErrorContext(error));
    }
    updateCachedExperimentFlags();
  }
  if (isDefaultInstance_) return;
  if (measurementConfig) {
    updateMeasurementConfig(measurementConfig);
  } else if (auto stored = measurementConfigFromDatabase()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      measurementConfig_ = stored;
    }
    parseRemoteConfigFromMeasurementConfig(stored);
  }
}

// ---- Surroundings.

ZIVMonitor& ZIVRemoteConfig::monitor() const {
  return environment_.monitor ? *environment_.monitor : *ZIVMeasurement::monitor();
}

std::shared_ptr<const ZIVRemoteConfigServices> ZIVRemoteConfig::services() const {
  return environment_.services ? environment_.services : ZIVRemoteConfigCurrentServices();
}

double ZIVRemoteConfig::now() const {
  return environment_.clock ? environment_.clock->wallTime()
                            : dispatch::Clock::current()->wallTime();
}

// ---- Configuration.

bool ZIVRemoteConfig::updateMeasurementConfig(
    const std::shared_ptr<APMPBMeasurementConfig>& measurementConfig) {
  // Logged on the main thread; the update goes on.
  (void)ZIVScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    monitor().logWithLevel(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!measurementConfig) {
    monitor().logWithLevel(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (NANOGetString(measurementConfig.get(), APMPBMeasurementConfig::kAppId).value_or("") !=
      appID_) {
    monitor().logWithLevel(2, 29004,
                           "Cannot set measurement config when Rivado App ID does not match");
    return false;
  }
  // A private copy: the caller keeps its message.
  std::shared_ptr<const APMPBMeasurementConfig> copy =
      APMPBMeasurementConfig::initWithMessageInfo(measurementConfig->messageInfo());
  if (!copy) copy = measurementConfig;
  if (auto database = database_.lock()) {
    fnd::Error error;
    fnd::Data data = copy->protoBuffer().value_or(fnd::Data());
    if (!database->updateRemoteConfig(data, &error) && !error.domain().empty()) {
      monitor().logWithLevel(1, 29005, "Cannot store config into the database",
                             ZIVErrorContext(error));
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    measurementConfig_ = copy;
  }
  parseRemoteConfigFromMeasurementConfig(copy);
  return true;
}

std::shared_ptr<APMPBMeasurementConfig> ZIVRemoteConfig::measurementConfigFromDatabase() {
  // Logged on the main thread; the query goes on.
  (void)ZIVScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_) {
    monitor().logWithLevel(
        2, 29015,
        "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  auto database = database_.lock();
  if (!database) return nullptr;
  fnd::Error error;
  auto config = database->queryMeasurementConfigWithError(&error);
  if (!config) {
    if (!error.domain().empty()) {
      monitor().logWithLevel(2, 29016, "Cannot retrieve configuration data from database. Error",
                             ZIVErrorContext(error));
    } else {
      monitor().logWithLevel(7, 29017,
                             "Configuration was not found in database. The configuration will be "
                             "fetched from the network when necessary");
    }
  }
  return config;
}

void ZIVRemoteConfig::parseRemoteConfigFromMeasurementConfig(
    const std::shared_ptr<const APMPBMeasurementConfig>& config) {
  std::optional<fnd::Array> settings;
  if (config) {
    settings = NANOGetArray(config.get(), APMPBMeasurementConfig::kSettings,
                            &APMPBSetting::messageClass());
  }
  if (!settings) {
    monitor().logWithLevel(2, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (NANOGetString(config.get(), APMPBMeasurementConfig::kAppId).value_or("") != appID_) return;

  settingsCache_.removeAllObjects();
  for (const fnd::Value& item : *settings) {
    auto setting = item.recordAs<APMPBSetting>();
    std::optional<std::string> name = NANOGetString(setting.get(), APMPBSetting::kName);
    std::optional<std::string> value = NANOGetString(setting.get(), APMPBSetting::kValue);
    cacheValue(value ? fnd::Value(*value) : fnd::Value(), name.value_or(""));
  }

  eventConfigs_.removeAllObjects();
  auto eventConfigs = NANOGetArray(config.get(), APMPBMeasurementConfig::kEventConfigs,
                                   &APMPBEventConfig::messageClass());
  for (const fnd::Value& item : eventConfigs.value_or(fnd::Array())) {
    auto eventConfig = item.recordAs<APMPBEventConfig>();
    std::string name = NANOGetString(eventConfig.get(), APMPBEventConfig::kName).value_or("");
    if (name.empty()) {
      monitor().logWithLevel(5, 29013,
                             "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    std::string key = services()->internalEventNameForPublicName(name).value_or(name);
    eventConfigs_.setObject(eventConfig, key);
  }

  if (NANOHasField(config.get(), APMPBMeasurementConfig::kVersion)) {
    monitor().logWithLevel(
        7, 29014, "Successfully parsed a configuration. Version",
        fnd::Value::Int64(NANOGetInt64(config.get(), APMPBMeasurementConfig::kVersion)));
  }

  auto programs =
      NANOGetArray(config.get(), APMPBMeasurementConfig::kPrograms, &APMPBProgram::messageClass());
  if (programs && !programs->empty() && !startEventEditing(*programs)) return;

  auto dataControls = NANOGetArray(config.get(), APMPBMeasurementConfig::kDataControls,
                                   &APMPBDataControl::messageClass());
  std::vector<std::string> names;
  for (const fnd::Value& item : dataControls.value_or(fnd::Array())) {
    auto control = item.recordAs<APMPBDataControl>();
    if (auto name = NANOGetString(control.get(), APMPBDataControl::kName)) names.push_back(*name);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    dataControls_ = std::move(names);
    corePlatformServices_.clear();
  }

  consentDefaults_.removeAllObjects();
  consentDelegations_.removeAllObjects();
  regionalDefaults_.removeAllObjects();
  if (auto consentConfig = NANOGetMessage<APMPBConsentConfig>(
          config.get(), APMPBMeasurementConfig::kConsentConfig)) {
    parseConsentConfig(*consentConfig);
  }

  if (auto psm =
          NANOGetMessage<APMPBPsmSetting>(config.get(), APMPBMeasurementConfig::kPsmSetting)) {
    const std::pair<int32_t, const char*> fields[] = {
        {APMPBPsmSetting::kLEmailFirstOpen, kPSMPrefixEmailKey},
        {APMPBPsmSetting::kLPhoneFirstOpen, kPSMPrefixPhoneKey},
        {APMPBPsmSetting::kMaxSignInDelayDays, kPSMSignInDelayKey},
    };
    for (const auto& [position, key] : fields) {
      if (NANOHasField(psm.get(), position)) {
        settingsCache_.setObject(fnd::Value::Int32(NANOGetInt32(psm.get(), position)), key);
      }
    }
  }
}

bool ZIVRemoteConfig::startEventEditing(const fnd::Array& programs) {
  std::shared_ptr<ZIVRemoteConfigEventEditing> editing = services()->makeEventEditing();
  auto program = programs.front().recordAs<APMPBProgram>();
  fnd::Error error;
  bool loaded = false;
  if (editing && program) {
    std::weak_ptr<ZIVRemoteConfig> weakSelf = weak_from_this();
    editing->setModuleCreator(
        [weakSelf]() -> APMPValueRef {
          return std::make_shared<APMPKeyValueStore>(
              fnd::ToUTF16(APMPEModuleRemoteConfig),
              [weakSelf](const std::string& key) -> std::optional<std::string> {
                auto self = weakSelf.lock();
                if (!self) return std::nullopt;
                auto value = self->settingsCache_.objectForKey(key);
                if (!value) return std::nullopt;
                if (value->isString()) return value->asString();
                if (IsNumberValue(*value)) return StringFromNumber(*value);
                return std::nullopt;
              });
        },
        APMPEModuleRemoteConfig);
    editing->setModuleCreator(
        [weakSelf]() -> APMPValueRef {
          return std::make_shared<APMPObjectProvider>(
              fnd::ToUTF16(APMPEModuleAppMetadata), [weakSelf]() -> fnd::Value {
                auto self = weakSelf.lock();
                if (!self) return fnd::Value();
                auto services = self->services();
                fnd::Dictionary metadata;
                metadata.set("platform", "macos");
                metadata.set("package_name", self->environment_.bundleIdentifier
                                                 ? self->environment_.bundleIdentifier()
                                                 : fnd::Bundle::mainBundle().bundleIdentifier());
                metadata.set("zuz_version", fnd::Value::Int64(services->libraryVersion()));
                if (auto appVersion = services->identityAppVersion()) {
                  metadata.set("app_version", *appVersion);
                }
                return fnd::Value(std::move(metadata));
              });
        },
        APMPEModuleAppMetadata);
    std::shared_ptr<ZIVMonitor> logMonitor = environment_.monitor;
    editing->setModuleCreator(
        [logMonitor]() -> APMPValueRef {
          auto logger = logMonitor ? std::make_shared<ZIVPixieLogger>(logMonitor)
                                   : std::make_shared<ZIVPixieLogger>();
          return std::make_shared<APMPMessageLogger>(std::move(logger));
        },
        APMPEModuleLogger);
    loaded = editing->loadProgram(*program, &error);
  }
  if (!loaded) {
    if (!error.domain().empty()) {
      monitor().logWithLevel(1, 29026, "Failed to initiate event editing instance",
                             ZIVErrorContext(error));
    } else {
      monitor().logWithLevel(1, 29026, "Failed to initiate event editing instance");
    }
    std::lock_guard<std::mutex> lock(mu_);
    eventEditing_ = nullptr;
    return false;
  }
  monitor().logWithLevel(7, 29027, "Loading Event Modification and Creation programs",
                         fnd::Value(static_cast<int64_t>(programs.size())));
  std::lock_guard<std::mutex> lock(mu_);
  eventEditing_ = std::move(editing);
  return true;
}

void ZIVRemoteConfig::parseConsentConfig(const APMPBConsentConfig& consentConfig) {
  isDMARegion_.store(NANOGetBool(&consentConfig, APMPBConsentConfig::kDmaRegion));

  // Entries whose type or status has no name are skipped.
  auto fillDefaults = [&consentConfig](int32_t position,
                                       RVLMutableDictionary<std::string, std::string>& target) {
    auto entries =
        NANOGetArray(&consentConfig, position, &APMPBConsentDefaultEntry::messageClass());
    for (const fnd::Value& item : entries.value_or(fnd::Array())) {
      auto entry = item.recordAs<APMPBConsentDefaultEntry>();
      std::string type = ZIVConsentTypeStringFromEnum(
          NANOGetInt32(entry.get(), APMPBConsentDefaultEntry::kConsentType));
      std::string status = ZIVConsentStatusStringFromEnum(
          NANOGetInt32(entry.get(), APMPBConsentDefaultEntry::kConsentStatus));
      if (!type.empty() && !status.empty()) target.setObject(status, type);
    }
  };
  fillDefaults(APMPBConsentConfig::kConsentDefaults, consentDefaults_);

  auto delegations = NANOGetArray(&consentConfig, APMPBConsentConfig::kConsentDelegations,
                                  &APMPBConsentDelegationEntry::messageClass());
  for (const fnd::Value& item : delegations.value_or(fnd::Array())) {
    auto entry = item.recordAs<APMPBConsentDelegationEntry>();
    std::string type = ZIVConsentTypeStringFromEnum(
        NANOGetInt32(entry.get(), APMPBConsentDelegationEntry::kConsentType));
    std::string delegated = ZIVConsentTypeStringFromEnum(
        NANOGetInt32(entry.get(), APMPBConsentDelegationEntry::kDelegatedType));
    if (!type.empty() && !delegated.empty()) consentDelegations_.setObject(delegated, type);
  }

  auto services = NANOGetArray(&consentConfig, APMPBConsentConfig::kCorePlatformServices,
                               &APMPBCorePlatformServiceEntry::messageClass());
  std::set<std::string> names;
  for (const fnd::Value& item : services.value_or(fnd::Array())) {
    auto entry = item.recordAs<APMPBCorePlatformServiceEntry>();
    if (auto name = NANOGetString(entry.get(), APMPBCorePlatformServiceEntry::kService)) {
      names.insert(*name);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    corePlatformServices_ = std::move(names);
  }

  fillDefaults(APMPBConsentConfig::kRegionalDefaults, regionalDefaults_);
}

void ZIVRemoteConfig::reset() {
  settingsCache_.removeAllObjects();
  eventConfigs_.removeAllObjects();
  experimentFlags_.removeAllObjects();
  consentDefaults_.removeAllObjects();
  consentDelegations_.removeAllObjects();
  regionalDefaults_.removeAllObjects();
  isDMARegion_.store(true);
  {
    std::lock_guard<std::mutex> lock(mu_);
    dataControls_.clear();
    corePlatformServices_.clear();
    if (!isDefaultInstance_) measurementConfig_ = nullptr;
  }
  if (experimentManager_) experimentManager_->reset();
}

int64_t ZIVRemoteConfig::version() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!measurementConfig_ ||
      !NANOHasField(measurementConfig_.get(), APMPBMeasurementConfig::kVersion)) {
    return -1;
  }
  return NANOGetInt64(measurementConfig_.get(), APMPBMeasurementConfig::kVersion);
}

std::shared_ptr<APMPBMeasurementConfig> ZIVRemoteConfig::measurementConfig() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!measurementConfig_) return nullptr;
  return APMPBMeasurementConfig::initWithMessageInfo(measurementConfig_->messageInfo());
}

double ZIVRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance_) {
    monitor().logWithLevel(
        2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  auto database = database_.lock();
  if (!database) return 0;
  fnd::Error error;
  std::optional<double> timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
  if (!timestamp && !error.domain().empty()) {
    monitor().logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                           ZIVErrorContext(error));
  }
  return timestamp.value_or(0);
}

bool ZIVRemoteConfig::isExpired() {
  if (isDefaultInstance_) {
    monitor().logWithLevel(2, 29007,
                           "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  double last = lastRemoteConfigUpdateTimestamp();
  return remoteConfigCacheTimeInterval() <= std::fabs(now() - last);
}

std::optional<std::string> ZIVRemoteConfig::remoteConfigURLWithPlatform(
    const std::optional<std::string>& platform, int64_t SDKVersion, int64_t runtimeVersion) const {
  if (appID_.empty()) {
    monitor().logWithLevel(2, 29021,
                           "Cannot create a URL to fetch a configuration with empty app ID");
    return std::nullopt;
  }
  if (!platform) {
    monitor().logWithLevel(2, 29010,
                           "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  fnd::Dictionary query;
  query.set("platform", *platform);
  query.set("runtime_version", fnd::Value::Int64(runtimeVersion));
  query.set("zuz_version", fnd::Value::Int64(SDKVersion));
  return ZIVServiceURL(std::string("https://") + ZIVRemoteConfigUploadHost + "/config/app/" +
                       PercentEncodePathSegment(appID_) + "?" + ziv_queryString(query));
}

// ---- Lookup.

void ZIVRemoteConfig::cacheValue(const fnd::Value& value, const std::string& key) const {
  if (value.isNull() || key.empty()) {
    monitor().logWithLevel(5, 29019, "Cannot cache empty configuration value");
    return;
  }
  settingsCache_.setObject(value, key);
}

std::optional<fnd::Value> ZIVRemoteConfig::numberFromString(const std::string& string) {
  // [+-]digits[.digits] or [+-].digits, nothing around it.
  size_t i = 0;
  if (i < string.size() && (string[i] == '+' || string[i] == '-')) ++i;
  size_t intDigits = 0;
  while (i + intDigits < string.size() &&
         std::isdigit(static_cast<unsigned char>(string[i + intDigits]))) {
    ++intDigits;
  }
  size_t j = i + intDigits;
  bool hasPoint = j < string.size() && string[j] == '.';
  size_t fracDigits = 0;
  if (hasPoint) {
    while (j + 1 + fracDigits < string.size() &&
           std::isdigit(static_cast<unsigned char>(string[j + 1 + fracDigits]))) {
      ++fracDigits;
    }
  }
  size_t end = hasPoint ? j + 1 + fracDigits : j;
  if (end != string.size() || intDigits + fracDigits == 0) return std::nullopt;

  const char* first = string.data() + (string[0] == '+' ? 1 : 0);
  const char* last = string.data() + string.size();
  if (!hasPoint) {
    int64_t integer = 0;
    auto result = std::from_chars(first, last, integer);
    if (result.ec == std::errc() && result.ptr == last) return fnd::Value::Int64(integer);
  }
  double number = 0;
  auto result = std::from_chars(first, last, number);
  if (result.ec != std::errc() || result.ptr != last || !std::isfinite(number)) {
    return std::nullopt;
  }
  return fnd::Value(number);
}

std::optional<fnd::Value> ZIVRemoteConfig::numberFromCacheWithKey(
    const std::string& key, const fnd::Value& defaultValue,
    const std::optional<fnd::Value>& maxValue, const std::optional<fnd::Value>& minValue,
    const ConversionBlock& block) const {
  if (key.empty()) {
    monitor().logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  std::optional<fnd::Value> cached = settingsCache_.objectForKey(key);
  if (!cached) {
    settingsCache_.setObject(defaultValue, key);
    return defaultValue;
  }
  if (IsNumberValue(*cached)) return cached;

  std::optional<fnd::Value> result;
  if (!cached->isString()) {
    monitor().logWithLevel(2, 29018, "Cannot parse number from non-string");
  } else {
    result = numberFromString(cached->asString());
  }
  if (result && block) result = block(*result);
  if (!result || !IsNumberValue(*result) || (minValue && CompareNumbers(*result, *minValue) < 0) ||
      (maxValue && CompareNumbers(*result, *maxValue) > 0)) {
    result = defaultValue;
  }
  settingsCache_.setObject(*result, key);
  return result;
}

double ZIVRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) const {
  auto milliseconds = [](const fnd::Value& number) -> std::optional<fnd::Value> {
    return fnd::Value(static_cast<double>(Int64FromNumber(number)) / 1000.0);
  };
  auto number = numberFromCacheWithKey(key, fnd::Value(defaultValue), fnd::Value(maxValue),
                                       fnd::Value(minValue), milliseconds);
  return number ? number->asDouble() : 0;
}

int32_t ZIVRemoteConfig::intValueFromCacheWithKey(const std::string& key, int32_t defaultValue,
                                                  int32_t maxValue, int32_t minValue) const {
  auto number = numberFromCacheWithKey(key, fnd::Value::Int32(defaultValue),
                                       fnd::Value::Int32(maxValue), fnd::Value::Int32(minValue));
  return number ? Int32FromNumber(*number) : 0;
}

int64_t ZIVRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue,
                                                    int64_t maxValue, int64_t minValue) const {
  auto number = numberFromCacheWithKey(key, fnd::Value::Int64(defaultValue),
                                       fnd::Value::Int64(maxValue), fnd::Value::Int64(minValue));
  return number ? Int64FromNumber(*number) : 0;
}

int64_t ZIVRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                    int64_t defaultValue) const {
  auto number =
      numberFromCacheWithKey(key, fnd::Value::Int64(defaultValue), std::nullopt, std::nullopt);
  return number ? Int64FromNumber(*number) : 0;
}

bool ZIVRemoteConfig::boolValueFromCacheWithKey(const std::string& key, bool defaultValue) const {
  return intValueFromCacheWithKey(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

// ---- Events.

std::shared_ptr<const APMPBEventConfig> ZIVRemoteConfig::eventConfigWithName(
    const std::string& name) const {
  if (name.empty()) {
    monitor().logWithLevel(5, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  return eventConfigs_.objectForKey(name).value_or(nullptr);
}

bool ZIVRemoteConfig::isEventBlocklisted(const std::string& name) const {
  auto rule = eventConfigWithName(name);
  if (rule && NANOHasField(rule.get(), APMPBEventConfig::kBlocklisted) &&
      NANOGetBool(rule.get(), APMPBEventConfig::kBlocklisted)) {
    return true;
  }
  return ZIVRemoteConfigIsPublicEventName(name) ? blocklistPublic() : blocklistInternal();
}

bool ZIVRemoteConfig::isEventCustomConversion(const std::string& name) const {
  auto rule = eventConfigWithName(name);
  return rule && NANOHasField(rule.get(), APMPBEventConfig::kCustomConversion) &&
         NANOGetBool(rule.get(), APMPBEventConfig::kCustomConversion);
}

bool ZIVRemoteConfig::eventHasSamplingRate(const std::string& name) const {
  auto rule = eventConfigWithName(name);
  return rule && NANOHasField(rule.get(), APMPBEventConfig::kSamplingRate);
}

int32_t ZIVRemoteConfig::samplingRateForEvent(const std::string& name) const {
  auto rule = eventConfigWithName(name);
  if (rule && NANOHasField(rule.get(), APMPBEventConfig::kSamplingRate)) {
    int32_t rate = NANOGetInt32(rule.get(), APMPBEventConfig::kSamplingRate);
    if (rate >= kZIVConfigSamplingRateMin && rate <= kZIVConfigSamplingRateMax) return rate;
  }
  return kZIVConfigSamplingRate;
}

// ---- Endpoints and controls.

std::optional<std::string> ZIVRemoteConfig::uploadSubdomain() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!measurementConfig_) return std::nullopt;
  return NANOGetString(measurementConfig_.get(), APMPBMeasurementConfig::kUploadSubdomain);
}

std::string ZIVRemoteConfig::uploadURL() const {
  const std::string host = services()->appDataConsentStatus() == ZIVAppDataConsentStatusSecondHost
                               ? ZIVRemoteConfigSecondUploadHost
                               : ZIVRemoteConfigUploadHost;
  // A subdomain that is not a host label would move the upload elsewhere; it is not used.
  std::optional<std::string> subdomain = uploadSubdomain();
  if (subdomain && IsValidSubdomain(*subdomain)) {
    return ZIVServiceURL("https://" + *subdomain + "." + host + "/a");
  }
  return ZIVServiceURL("https://" + host + "/a");
}

bool ZIVRemoteConfig::SGTMUploadEnabled() const {
  if (!settingValue(kZIVSettingSGTMUploadEnabled)) {
    return false;
  }
  std::optional<fnd::Value> plistValue =
      environment_.infoDictionaryValue
          ? environment_.infoDictionaryValue("RIVADO_ANALYTICS_SGTM_UPLOAD_ENABLED")
          : fnd::Bundle::mainBundle().objectForInfoDictionaryKey(
                "RIVADO_ANALYTICS_SGTM_UPLOAD_ENABLED");
  if (!plistValue || !IsNumberValue(*plistValue) || !plistValue->asBool()) return false;

  std::shared_ptr<APMPBSgtmSetting> sgtm;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (measurementConfig_) {
      sgtm = NANOGetMessage<APMPBSgtmSetting>(measurementConfig_.get(),
                                              APMPBMeasurementConfig::kSgtmSetting);
    }
  }
  if (!sgtm || NANOGetString(sgtm.get(), APMPBSgtmSetting::kSgtmUrl).value_or("").empty()) {
    return false;
  }
  if (services()->SGTMPreviewHeaders()) return true;

  std::string appInstanceID =
      persistedConfig_ ? persistedConfig_->appInstanceID().value_or("") : std::string();
  int32_t percentage = NANOGetInt32(sgtm.get(), APMPBSgtmSetting::kTag4Value);
  // A negative rollout percentage is garbage: it reaches no installation.
  if (percentage < 0) percentage = 0;
  if (appInstanceID.empty() && percentage < 100) return false;
  return StableStringHash(appInstanceID) % 100 < static_cast<uint64_t>(percentage);
}

std::optional<std::string> ZIVRemoteConfig::SGTMUploadURL() const {
  std::shared_ptr<APMPBSgtmSetting> sgtm;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (measurementConfig_) {
      sgtm = NANOGetMessage<APMPBSgtmSetting>(measurementConfig_.get(),
                                              APMPBMeasurementConfig::kSgtmSetting);
    }
  }
  if (!sgtm) return std::nullopt;
  if (services()->appDataConsentStatus() == ZIVAppDataConsentStatusSecondHost) {
    std::optional<std::string> part = NANOGetString(sgtm.get(), APMPBSgtmSetting::kSgtmUrlPart);
    if (part && IsAbsoluteURL(*part)) return part;
  }
  std::optional<std::string> url = NANOGetString(sgtm.get(), APMPBSgtmSetting::kSgtmUrl);
  if (url && IsAbsoluteURL(*url)) return url;
  return std::nullopt;
}

std::optional<fnd::Dictionary> ZIVRemoteConfig::SGTMUploadHTTPHeaders() const {
  std::shared_ptr<APMPBSgtmSetting> sgtm;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (measurementConfig_) {
      sgtm = NANOGetMessage<APMPBSgtmSetting>(measurementConfig_.get(),
                                              APMPBMeasurementConfig::kSgtmSetting);
    }
  }
  std::string info = NANOGetString(sgtm.get(), APMPBSgtmSetting::kSgtmServerInfo).value_or("");
  // A value that could end its header line is not sent.
  if (info.empty() || !IsSafeHeaderValue(info)) return std::nullopt;
  fnd::Dictionary headers;
  headers.set("x-sgtm-server-info", info);
  return headers;
}

std::vector<std::string> ZIVRemoteConfig::dataControls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dataControls_;
}

fnd::Dictionary ZIVRemoteConfig::consentDefaults() const {
  return DictionaryFromEntries(consentDefaults_.entries());
}

fnd::Dictionary ZIVRemoteConfig::consentDelegations() const {
  return DictionaryFromEntries(consentDelegations_.entries());
}

fnd::Dictionary ZIVRemoteConfig::regionalDefaults() const {
  return DictionaryFromEntries(regionalDefaults_.entries());
}

std::set<std::string> ZIVRemoteConfig::corePlatformServices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return corePlatformServices_;
}

// ---- Experiments.

std::vector<int64_t> ZIVRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<int64_t>();
}

void ZIVRemoteConfig::updateCachedExperimentFlags() {
  if (!experimentClient_) return;
  for (const char* flag :
       {ZIVExperimentFlagCustomerTypeEnabled, ZIVExperimentFlagPSMSessionStartEnabled,
        ZIVExperimentFlagPSMGroupIDEnabled}) {
    fnd::Value value = experimentClient_->valueForFlag(flag);
    if (!value.isNull()) experimentFlags_.setObject(value, flag);
  }
}

bool ZIVRemoteConfig::hasNewSnapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hasNewSnapshot_;
}

bool ZIVRemoteConfig::activateNewSnapshot() {
  if (!hasNewSnapshot()) return false;
  fnd::Error error;
  if (!experimentClient_ || !experimentClient_->activateLatestSnapshot(&error)) {
    if (!error.domain().empty()) {
      monitor().logWithLevel(2, 29024, "Cannot activate snapshot. Error", ZIVErrorContext(error));
    } else {
      monitor().logWithLevel(2, 29024, "Cannot activate snapshot. Error");
    }
    return false;
  }
  updateCachedExperimentFlags();
  std::lock_guard<std::mutex> lock(mu_);
  hasNewSnapshot_ = false;
  return true;
}

void ZIVRemoteConfig::clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) {
  (void)client;
  std::lock_guard<std::mutex> lock(mu_);
  hasNewSnapshot_ = true;
}

void ZIVRemoteConfig::clientDidReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                                 const fnd::Error& error) {
  (void)client;
  monitor().logWithLevel(2, 29025, "Cannot fetch experiment. Error", ZIVErrorContext(error));
}

std::optional<bool> ZIVRemoteConfig::shouldFetchExperimentsForClient(const APMEClient& client) {
  (void)client;
  auto engine = services();
  if (!engine->hasSharedInstance()) return false;
  return engine->isEnabled();
}

std::optional<APMECustomProperties> ZIVRemoteConfig::dynamicCustomPropertiesForSDKProperty(
    const APMESDKProperty& property) {
  (void)property;
  return std::nullopt;
}

std::optional<bool> ZIVRemoteConfig::experimentFlag(const std::string& name) const {
  std::optional<fnd::Value> value = experimentFlags_.objectForKey(name);
  return value ? boolFromFlagValue(*value) : std::nullopt;
}

std::optional<bool> ZIVRemoteConfig::boolFromFlagValue(const fnd::Value& value) {
  if (value.isString()) return BoolFromString(value.asString());
  if (IsNumberValue(value)) return value.asBool();
  return std::nullopt;
}

std::shared_ptr<ZIVRemoteConfigEventEditing> ZIVRemoteConfig::eventEditing() const {
  std::lock_guard<std::mutex> lock(mu_);
  return eventEditing_;
}
