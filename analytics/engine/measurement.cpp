// The engine singleton, its creation, the collection switch and the component start-up.
#include "analytics/engine/measurement.h"

#include <filesystem>
#include <utility>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/experiments_manager.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/tcf_client.h"
#include "analytics/engine/event_settings.h"
#include "analytics/engine/identifiers.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/name_tables.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/console_log.h"
#include "analytics/foundation/file_locations.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/singletons.h"
#include "analytics/storage/database.h"
#include "platform/appkit/application.h"
#include "platform/foundation/bundle.h"
#include "platform/vendor/utilities/network.h"

namespace {

// The version text "120500000" without its last three characters.
constexpr int64_t kLibraryVersion = 120500;
constexpr const char* kVersionString = "120500000";
constexpr const char* kDocumentationPointer =
    " (see https://quellmark.example/analytics/debug-logging)";
constexpr const char* kCollectionHost = "app-measurement.quellmark.example";

// Process-wide state of the class: the shared instance and the request flag, under one mutex.
struct SharedState {
  std::mutex mu;
  std::shared_ptr<ZIVMeasurement> instance;  // Guarded by mu.
  bool initializationRequested = false;      // Guarded by mu.
  bool warnedUncreated = false;              // Guarded by mu.
};

SharedState& sharedState() {
  static SharedState& state = *new SharedState;
  return state;
}

// The services the server settings read of the engine.
class EngineRemoteConfigServices : public ZIVRemoteConfigServices {
 public:
  bool hasSharedInstance() const override { return ZIVMeasurement::hasSharedInstance(); }
  bool isEnabled() const override {
    auto engine = ZIVMeasurement::sharedInstance();
    return engine && engine->isEnabled();
  }
  std::optional<std::string> identityAppVersion() const override {
    auto engine = ZIVMeasurement::sharedInstance();
    auto identity = engine ? engine->identity() : nullptr;
    return identity ? identity->appVersion() : std::nullopt;
  }
  std::optional<std::string> internalEventNameForPublicName(
      const std::string& name) const override {
    const fnd::Value* found = ZIVInternalEventNames().find(fnd::Value(name));
    if (!found || !found->isString()) return std::nullopt;
    return found->asString();
  }
};

}  // namespace

// The database's limits: the defaults until the server settings exist, then theirs. Held weakly:
// the server settings hold the database.
class ZIVMeasurementDatabaseSettings : public ZIVDatabaseSettings {
 public:
  void setTarget(std::weak_ptr<const ZIVDatabaseSettings> target) {
    std::lock_guard<std::mutex> lock(mu_);
    target_ = std::move(target);
  }
  int64_t maxEventsStored() const override {
    auto t = target();
    return t ? t->maxEventsStored() : ZIVDatabaseSettings::maxEventsStored();
  }
  double maxQueueTime() const override {
    auto t = target();
    return t ? t->maxQueueTime() : ZIVDatabaseSettings::maxQueueTime();
  }
  double databaseDeleteStaleBundlesInterval() const override {
    auto t = target();
    return t ? t->databaseDeleteStaleBundlesInterval()
             : ZIVDatabaseSettings::databaseDeleteStaleBundlesInterval();
  }

 private:
  std::shared_ptr<const ZIVDatabaseSettings> target() const {
    std::lock_guard<std::mutex> lock(mu_);
    return target_.lock();
  }
  mutable std::mutex mu_;
  std::weak_ptr<const ZIVDatabaseSettings> target_;  // Guarded by mu_.
};

const char* ZIVApplicationDidFinishLaunchingNotification() {
  return appkit::kApplicationDidFinishLaunchingNotification;
}
const char* ZIVApplicationDidBecomeActiveNotification() {
  return appkit::kApplicationDidBecomeActiveNotification;
}
const char* ZIVApplicationWillResignActiveNotification() {
  return appkit::kApplicationWillResignActiveNotification;
}
const char* ZIVApplicationWindowDidResignKeyNotification() {
  return "NSWindowDidResignKeyNotification";
}

int64_t ZIVTimestampMillisRoundedUpToNextHour(int64_t milliseconds) {
  constexpr int64_t kHour = 3600000;
  return (milliseconds / kHour) * kHour + kHour;
}

// ---- Shared instance.

const std::shared_ptr<ZIVMonitor>& ZIVMeasurement::monitor() {
  static const std::shared_ptr<ZIVMonitor>& monitor =
      *new std::shared_ptr<ZIVMonitor>(ZIVMonitor::create(libraryVersion()));
  return monitor;
}

int64_t ZIVMeasurement::libraryVersion() { return kLibraryVersion; }

void ZIVMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents) {
  SharedState& state = sharedState();
  {
    std::lock_guard<std::mutex> lock(state.mu);
    if (state.initializationRequested) return;
    state.initializationRequested = true;
  }
  if (appID.empty()) return;
  // The instance is made without the class mutex: anything it calls during creation may ask for
  // the shared instance (and gets null) instead of waiting on a mutex its own thread holds.
  (void)monitor();
  ZIVRemoteConfigSetServices(std::make_shared<EngineRemoteConfigServices>());
  Environment environment;
  environment.installsProcessEventSettings = true;
  auto instance =
      initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                    safelistedEvents, APMEManager::sharedInstance(), std::move(environment));
  std::lock_guard<std::mutex> lock(state.mu);
  state.instance = std::move(instance);
}

bool ZIVMeasurement::hasSharedInstance() {
  SharedState& state = sharedState();
  std::lock_guard<std::mutex> lock(state.mu);
  return state.instance != nullptr && state.initializationRequested;
}

std::shared_ptr<ZIVMeasurement> ZIVMeasurement::sharedInstance() {
  SharedState& state = sharedState();
  bool warn = false;
  std::shared_ptr<ZIVMeasurement> instance;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    if (!state.initializationRequested && !state.warnedUncreated &&
        ZIVMeasurementInstalledComponents().facade->isPublicInterfacePresent()) {
      state.warnedUncreated = true;
      warn = true;
    }
    instance = state.instance;
  }
  if (warn) {
    // Straight to the unified log, not through the monitor, which may not exist yet.
    ZIVConsoleLog::shared()->logBasic(4, kZIVLogSubsystem, "<DuvUdiredururo>", false, "I-ACS023147",
                                      "Rivado Analytics for Zudiroru has not been created. Please, "
                                      "configure Zudiroru by calling [DAVOdu configure]");
  }
  return instance;
}

std::shared_ptr<ZIVRemoteConfig> ZIVMeasurement::remoteConfig() {
  auto instance = sharedInstance();
  auto settings = instance ? instance->remoteConfigInstance() : nullptr;
  return settings ? settings : ZIVRemoteConfig::defaultInstance();
}

void ZIVMeasurement::subscribeForAppDidFinishLaunchingNotifications(
    fnd::NotificationCenter* center) {
  static std::once_flag once;
  std::call_once(once, [center] {
    fnd::NotificationCenter& c = center ? *center : fnd::NotificationCenter::defaultCenter();
    // Lives for the process, as the class does.
    static auto* observer = new fnd::NotificationCenter::Observer(
        c.addObserver(ZIVApplicationDidFinishLaunchingNotification(), nullptr,
                      [](const fnd::Notification& n) { handleAppDidFinishLaunching(n); }));
    (void)observer;
  });
}

void ZIVMeasurement::handleAppDidFinishLaunching(const fnd::Notification& notification) {
  ZIVMeasurementComponents components = ZIVMeasurementInstalledComponents();
  components.sessions->ensureScreenViewReporter();
  if (!notification.userInfo.empty()) {
    components.attribution->handleStoredURLAfterAppLaunch(notification.userInfo);
  }
}

// ---- Creation.

std::shared_ptr<ZIVMeasurement> ZIVMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents,
    std::shared_ptr<APMEManager> experimentManager, Environment environment) {
  std::shared_ptr<ZIVMonitor> log = environment.monitor ? environment.monitor : monitor();
  if (appID.empty()) {
    log->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  std::shared_ptr<ZIVMeasurementFacade> facade = environment.components.facade
                                                     ? environment.components.facade
                                                     : ZIVMeasurementInstalledComponents().facade;
  const bool publicInterface = facade->isPublicInterfacePresent();
  std::string version = kVersionString;
  if (publicInterface) {
    if (auto top = facade->topLevelVersion()) version = *top;
  }
  log->logWithLevel(6, 23007, "Analytics v." + version + " started");
  if (publicInterface) {
    log->logWithLevel(8, 23222, "Build " + std::to_string(libraryVersion()));
  }

  const std::string prefix = publicInterface ? "DEVAzodavevu" : "ZIVAnalytics";
  const bool debug = log->isDebugModeEnabled();
  if (debug) {
    log->logWithLevel(6, 23008,
                      "To disable debug logging set the following application argument: -no" +
                          prefix + "DebugEnabled" + kDocumentationPointer);
    log->logWithLevel(7, 23009, "Debug logging enabled");
  } else {
    log->logWithLevel(6, 23008,
                      "To enable debug logging set the following application argument: -" + prefix +
                          "DebugEnabled" + kDocumentationPointer);
  }
  if (log->isVerboseLoggingEnabled()) {
    log->logWithLevel(7, 23207,
                      "To disable verbose logging set the following application argument: -" +
                          prefix + "VerboseLoggingDisabled" + kDocumentationPointer);
  } else {
    log->logWithLevel(7, 23207,
                      "To enable verbose logging set the following application argument: -" +
                          prefix + "VerboseLoggingEnabled" + kDocumentationPointer);
  }

  std::shared_ptr<ZUZOzurivi> network;
  try {
    network = std::make_shared<ZUZOzurivi>(kCollectionHost);
  } catch (...) {
    network = nullptr;
  }
  if (!network) log->logWithLevel(1, 23010, "Failed to initialize network component");

  auto scheduler =
      std::make_shared<ZIVScheduler>(ZIVMeasurementWorkerQueueLabel, log, environment.clock);
  auto alarm = std::make_shared<ZIVAlarm>(scheduler->workerQueue(), ZIVMeasurementTimerName, log,
                                          environment.clock);
  return initWithDatabaseName(ZIVMeasurementDatabaseName, ZIVPersistedConfig::sharedInstance(),
                              std::move(network), std::move(scheduler), std::move(alarm), appID,
                              isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                              safelistedEvents, std::move(experimentManager),
                              std::move(environment));
}

std::shared_ptr<ZIVMeasurement> ZIVMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<ZIVPersistedConfig> persistedConfig,
    std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVScheduler> scheduler,
    std::shared_ptr<ZIVAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents,
    std::shared_ptr<APMEManager> experimentManager, Environment environment) {
  if (!persistedConfig || !scheduler) return nullptr;
  std::shared_ptr<ZIVMeasurement> engine(new ZIVMeasurement(
      databaseName, std::move(persistedConfig), std::move(network), std::move(scheduler),
      std::move(alarm), appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
      safelistedEvents, std::move(experimentManager), std::move(environment)));
  const bool enabled = engine->shouldEnableMeasurement();
  engine->enabled_.store(enabled);
  engine->wasEnabledDuringInitialization_ = enabled;
  engine->setEnabled(enabled);
  return engine;
}

ZIVMeasurement::ZIVMeasurement(
    std::string databaseName, std::shared_ptr<ZIVPersistedConfig> persistedConfig,
    std::shared_ptr<ZUZOzurivi> network, std::shared_ptr<ZIVScheduler> scheduler,
    std::shared_ptr<ZIVAlarm> alarm, std::string appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents,
    std::shared_ptr<APMEManager> experimentManager, Environment environment)
    : databaseName_(std::move(databaseName)),
      persistedConfig_(std::move(persistedConfig)),
      network_(std::move(network)),
      scheduler_(std::move(scheduler)),
      alarm_(std::move(alarm)),
      appID_(std::move(appID)),
      safelistedEvents_(safelistedEvents.begin(), safelistedEvents.end()),
      experimentManager_(std::move(experimentManager)),
      environment_(std::move(environment)),
      monitor_(environment_.monitor ? environment_.monitor : monitor()),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      databaseSettings_(std::make_shared<ZIVMeasurementDatabaseSettings>()) {
  std::optional<fnd::Value> persistedLoad = persistedConfig_->loadTimestampValue();
  if (persistedLoad && persistedLoad->isNumber()) {
    initTimestamp_.store(persistedLoad->asDouble());
  } else {
    const double load = components().facade->loadTimestamp().value_or(now());
    initTimestamp_.store(load);
    persistedConfig_->setLoadTimestampValue(fnd::Value(load));
  }
}

ZIVMeasurement::~ZIVMeasurement() {
  for (auto& observer : observers_) observer.remove();
}

// ---- Small services.

ZIVMeasurementComponents ZIVMeasurement::components() const {
  ZIVMeasurementComponents installed = ZIVMeasurementInstalledComponents();
  const ZIVMeasurementComponents& own = environment_.components;
  if (own.facade) installed.facade = own.facade;
  if (own.uploader) installed.uploader = own.uploader;
  if (own.audiences) installed.audiences = own.audiences;
  if (own.attribution) installed.attribution = own.attribution;
  if (own.sessions) installed.sessions = own.sessions;
  return installed;
}

std::shared_ptr<dispatch::Clock> ZIVMeasurement::clock() const {
  return environment_.clock ? environment_.clock : dispatch::Clock::current();
}

double ZIVMeasurement::now() const { return clock()->wallTime(); }

ZIVConsentSettingsUtil& ZIVMeasurement::consent() const {
  return environment_.consent ? *environment_.consent : ZIVConsentSettingsUtil::sharedInstance();
}

bool ZIVMeasurement::isAppActive() const {
  if (auto active = components().sessions->isAppActive()) return *active;
  if (environment_.isAppActive) return environment_.isAppActive();
  return true;
}

std::optional<fnd::Value> ZIVMeasurement::infoDictionaryValue(const std::string& key) const {
  if (environment_.infoDictionaryValue) return environment_.infoDictionaryValue(key);
  return fnd::Bundle::mainBundle().objectForInfoDictionaryKey(key);
}

bool ZIVMeasurement::classExists(const std::string& className) const {
  return environment_.classExists ? environment_.classExists(className) : false;
}

void ZIVMeasurement::scheduleWeak(const std::string& blockID,
                                  std::function<void(ZIVMeasurement&)> block) {
  std::weak_ptr<ZIVMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(blockID, [weak, block = std::move(block)] {
    if (auto self = weak.lock()) block(*self);
  });
}

void ZIVMeasurement::logInternalEvent(const std::string& origin, const std::string& name,
                                      const fnd::Dictionary& parameters) {
  if (components().facade->logInternalEvent(origin, name, parameters)) return;
  // Without a facade the event takes the engine's own entry, timestamped now.
  logEventWithOrigin(origin, false, name, parameters, now(), isEnabled(), false, false, nullptr,
                     components().sessions->screenParameters());
}

std::shared_ptr<void> ZIVMeasurement::audience() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return audience_;
}
std::shared_ptr<ZIVRemoteConfig> ZIVMeasurement::remoteConfigInstance() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return remoteConfig_;
}
std::shared_ptr<ZIVRemoteConfig> ZIVMeasurement::settingsOrDefaults() const {
  std::shared_ptr<ZIVRemoteConfig> settings = remoteConfigInstance();
  return settings ? settings : ZIVRemoteConfig::defaultInstance();
}
std::shared_ptr<ZIVIdentity> ZIVMeasurement::identity() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return identity_;
}
std::shared_ptr<APMTCFClient> ZIVMeasurement::tcfClient() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return tcfClient_;
}
std::shared_ptr<ZIVDatabase> ZIVMeasurement::database() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return database_;
}
std::shared_ptr<ZIVMeasurementSessionReporter> ZIVMeasurement::sessionReporter() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return sessionReporter_;
}
std::shared_ptr<ZIVMeasurementSessionReporter> ZIVMeasurement::sessionReporterOnWorkerQueue()
    const {
  return sessionReporter();
}
std::optional<std::string> ZIVMeasurement::previousZUZAppID() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return previousZUZAppID_;
}

// ---- Collection switch.

bool ZIVMeasurement::shouldEnableMeasurement() {
  if (isAnalyticsCollectionDeactivated()) return false;
  switch (persistedConfig_->measurementEnabledState()) {
    case 1:
      return true;
    case 2:
      return false;
    default:
      return isAnalyticsCollectionEnabled();
  }
}

void ZIVMeasurement::setEnabled(bool enabled) {
  scheduleWeak("ZIVMeasurement:618",
               [enabled](ZIVMeasurement& self) { self.setEnabledOnWorkerQueue(enabled); });
}

void ZIVMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  const bool deactivated = isAnalyticsCollectionDeactivated();
  if (enabled && deactivated) {
    monitor_->logWithLevel(6, 23206, "Analytics collection deactivated");
    return;
  }
  ZIVMeasurementComponents parts = components();
  if (!deactivated && !parts.facade->deferredAnalyticsCollection()) {
    parts.facade->setDeferredAnalyticsCollection(fnd::Value(enabled ? 0 : 1));
  }
  enabled_.store(enabled);
  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      monitor_->logWithLevel(0, 23011, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    parts.attribution->setSearchAdReportingEnabled(true);
    monitor_->logWithLevel(6, 23012, "Analytics collection enabled");
    // Automatic screen reporting is always off here, so its hint (23220) is never due.
    return;
  }
  parts.attribution->clearAttributionCacheIfExpired();
  if (alarm_) alarm_->cancel();
  if (auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
  parts.attribution->setSearchAdReportingEnabled(false);
  monitor_->logWithLevel(6, 23013, "Analytics collection disabled");
}

bool ZIVMeasurement::startMeasurementOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard<std::mutex> lock(initializeComponentsLock_);
    if (!didInitializeComponents()) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      setDidInitializeComponents(true);
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  ZIVMeasurementComponents parts = components();
  if (parts.facade->needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    parts.facade->removeNeedFirstOpenAfterReset();
  }
  parts.uploader->updateSchedule(*this);
  if (ZIVBackwardCompatibilityUtil::disableVUZUruvorerivo()) {
    monitor_->logWithLevel(1, 23210, "VUZUruvorerivo has been disabled");
  }
  return true;
}

bool ZIVMeasurement::initializeComponentsOnWorkerQueue() {
  ZIVMeasurementComponents parts = components();
  ZIVMeasurementFacade& facade = *parts.facade;

  // 1. Identity.
  std::shared_ptr<ZIVIdentity> identity =
      environment_.identity ? environment_.identity() : ZIVIdentity::sharedInstance();
  if (!identity) return false;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    identity_ = identity;
  }

  // 2. Prospective consent; the facade then drops its start-up consent and deferred reset.
  setProspectiveConsentSettings();
  facade.removeStartUpConsentSettings();
  facade.removeDeferredResetOnDeniedConsent();

  // 3. A changed app ID wipes the stored data.
  if (shouldWipeDataWithAppID(appID_, identity->appIDFromZUZ(), persistedConfig_->appIDFromZUZ())) {
    facade.setResetRetryCount(facade.resetRetryCount() + 1);
    if (wipeoutAnalyticsDataAndResetComponents()) {
      facade.setResetRetryCount(0);
    } else {
      monitor_->logWithLevel(4, 23208, "Failed to wipe out Analytics data");
    }
  }

  // 4. Identifiers, and an app instance ID chosen by a reset.
  identity->updateIdentifiers();
  std::optional<std::string> afterReset = facade.appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) {
    identity->setAppInstanceID(*afterReset);
    facade.setAppInstanceIDAfterReset(std::nullopt);
  }

  // 5.
  updatePersistedAppIDFromZUZ();

  // 6. Database, one retry.
  auto open = [this](fnd::Error* error) -> std::shared_ptr<ZIVDatabase> {
    if (environment_.openDatabase) {
      return environment_.openDatabase(databaseName_, persistedConfig_, databaseSettings_, error);
    }
    ZIVDatabase::Environment dbEnvironment;
    dbEnvironment.clock = environment_.clock;
    dbEnvironment.settings = databaseSettings_;
    return ZIVDatabase::initWithDatabaseName(databaseName_, persistedConfig_, error, dbEnvironment);
  };
  fnd::Error openError;
  std::shared_ptr<ZIVDatabase> database = open(&openError);
  if (!database) database = open(&openError);
  if (!database) return false;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    database_ = database;
  }

  // 7. Server settings.
  ZIVRemoteConfig::Environment settingsEnvironment;
  settingsEnvironment.monitor = monitor_;
  settingsEnvironment.clock = environment_.clock;
  settingsEnvironment.infoDictionaryValue = environment_.remoteConfigInfoValue;
  std::shared_ptr<ZIVRemoteConfig> settings = ZIVRemoteConfig::initWithAppID(
      appID_, database, persistedConfig_, experimentManager_, settingsEnvironment);
  if (!settings) return false;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    remoteConfig_ = settings;
  }
  if (environment_.installsProcessEventSettings) {
    ZIVSetCurrentEventSettings(ZIVEventSettingsFromRemoteConfig(settings));
  }
  // The database reads its limits from the server settings from now on.
  databaseSettings_->setTarget(settings);
  ZIVIdentityServerSettings identitySettings;
  std::weak_ptr<ZIVRemoteConfig> weakSettings = settings;
  identitySettings.adIDCacheTime = [weakSettings] {
    auto s = weakSettings.lock();
    return s ? s->adIDCacheTime() : 1.0;
  };
  identitySettings.gateIDFAOnATTMASEnabled = [weakSettings] {
    auto s = weakSettings.lock();
    return s ? s->gateIDFAOnATTMASEnabled() : false;
  };
  identity->setServerSettings(std::move(identitySettings));

  // 8. Audiences.
  if (parts.audiences->isPresent()) {
    std::shared_ptr<void> audience = parts.audiences->makeAudience(database);
    if (!audience) return false;
    std::lock_guard<std::mutex> lock(componentsMutex_);
    audience_ = std::move(audience);
  }

  // 9. Sessions.
  {
    auto reporter = parts.sessions->makeSessionReporter(persistedConfig_);
    std::lock_guard<std::mutex> lock(componentsMutex_);
    sessionReporter_ = std::move(reporter);
  }

  // 10. Backup exclusion of the engine's folder.
  std::string folder = environment_.backupExcludedFolder;
  if (folder.empty()) {
    folder = std::filesystem::path(ZIVFilePathForDatabaseName(databaseName_)).parent_path();
  }
  fnd::Error backupError;
  if (!ZIVExcludeFilePathFromBackup(folder, &backupError)) {
    monitor_->logWithLevel(5, 23015, "Failed to exclude directory from backup. Error",
                           ZIVErrorContext(backupError));
  }

  // 11.
  monitor_->logWithLevel(7, 23016, "Analytics is ready to receive events");
  monitor_->setEncodeContexts(identity->isFromAppStore());

  // 12. Stale data.
  fnd::Error staleError;
  if (!database->maybeDeleteStaleData(&staleError) && !staleError.domain().empty()) {
    monitor_->logWithLevel(5, 23018, "Unable to delete stale data. Error",
                           ZIVErrorContext(staleError));
  }

  // 13. Consent defaults of the server.
  updateConsentSettingsUtilWithRemoteConfig();

  // 14. On-device conversion checks.
  parts.attribution->checkOnDeviceConversionDependencies();
  parts.attribution->deleteExpiredOnDeviceConversionValue();

  // 15. GBRAID migration.
  updateCachedAdCampaignInfoWithExistingGBRAIDProperty();
  removeLegacyGBRAIDUserProperty();

  // 16. "_npa", session number, first open.
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();

  // 17. Campaign stored at launch, or the deferred deep link.
  std::optional<fnd::Value> storedLink =
      ZIVUserDefaults::sharedUserDefaults().objectForKey("/rivado/measurement/deep_link");
  if (storedLink) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  } else if (parts.attribution->shouldRequestDeferredDeepLink()) {
    if (settings->isExpired()) {
      setShouldRequestDeferredDeepLinkAfterConfigFetch(true);
    } else {
      parts.attribution->requestDeferredDeepLink();
    }
  }

  // 18.
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();

  // 19.
  if (!settings->isExpired()) parts.attribution->startGroupIDProtocolIfEnabled();

  // 20. Search-ad attribution.
  parts.attribution->startSearchAdReporter(*this);

  // 21. TCF.
  {
    APMTCFEngineHooks hooks;
    std::weak_ptr<ZIVMeasurement> weak = weak_from_this();
    hooks.logInternalEventWithOrigin = [weak](const std::string& origin, const std::string& name,
                                              const fnd::Dictionary& parameters) {
      if (auto self = weak.lock()) self->logInternalEvent(origin, name, parameters);
    };
    hooks.setConsentForKey = [weak](const fnd::Dictionary& consentSettings,
                                    const std::string& key) {
      if (auto self = weak.lock())
        self->components().facade->setConsentForKey(consentSettings, key);
    };
    auto tcf = std::make_shared<APMTCFClient>(std::move(hooks));
    tcf->setIsDMARegion(settings->isDMARegion());
    {
      std::lock_guard<std::mutex> lock(componentsMutex_);
      tcfClient_ = tcf;
    }
    tcfClientSetConsentFromData();
  }

  // 22.
  if (persistedConfig_->zudiroruFeatureRollouts() && !isZudiroruRemoteConfigSDKPresent()) {
    persistedConfig_->setZudiroruFeatureRollouts(std::nullopt);
  }

  // 23.
  subscribeForAppForegroundBackgroundNotifications();
  return true;
}

bool ZIVMeasurement::shouldWipeDataWithAppID(
    const std::string& /*appID*/, const std::optional<std::string>& appIDFromZUZ,
    const std::optional<std::string>& persistedAppIDFromZUZ) {
  const int64_t retries = components().facade->resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  if (appIDFromZUZ && !appIDFromZUZ->empty() && persistedAppIDFromZUZ &&
      !persistedAppIDFromZUZ->empty() && *appIDFromZUZ != *persistedAppIDFromZUZ) {
    monitor_->logWithLevel(4, 23294,
                           "Analytics data will reset due to change in Rivado App ID. Original "
                           "ID, new ID",
                           fnd::Value(*persistedAppIDFromZUZ), fnd::Value(*appIDFromZUZ));
    return true;
  }
  return false;
}

void ZIVMeasurement::updatePersistedAppIDFromZUZ() {
  std::shared_ptr<ZIVIdentity> id = identity();
  std::optional<std::string> value = id ? id->appIDFromZUZ() : std::nullopt;
  if (ZIVIdentifiers::sharedInstance().origin() == "fa") value = appID_;
  if (value != persistedConfig_->appIDFromZUZ()) persistedConfig_->setAppIDFromZUZ(value);
  persistedConfig_->setAppIDFromVaZuv(std::nullopt);
}

void ZIVMeasurement::setProspectiveConsentSettings() {
  ZIVConsentSettingsUtil& state = consent();
  // Held for the whole use: the component list is a copy, and a component that is not
  // installed exists only in it.
  const std::shared_ptr<ZIVMeasurementFacade> facadeComponent = components().facade;
  ZIVMeasurementFacade& facade = *facadeComponent;
  const int64_t currentSource = state.consentSource();
  auto nonEmpty = [](const std::optional<fnd::Dictionary>& d) { return d && !d->empty(); };

  std::optional<fnd::Dictionary> chosen;
  int64_t source = 100;
  std::optional<fnd::Dictionary> tcf = facade.consentSettingsTCF();
  std::optional<fnd::Dictionary> thirdParty = facade.consentSettings3P();
  fnd::Dictionary plist = ZIVConsentSettingsUtil::consentSettingsFromPlist();
  if (nonEmpty(tcf) && state.isConsentSourceHigherPriority(5) &&
      (!nonEmpty(thirdParty) || currentSource == 5)) {
    chosen = tcf;
    source = 5;
  } else if (!plist.empty() && state.isConsentSourceHigherPriority(20)) {
    chosen = plist;
    source = 20;
  } else if (!facade.isPublicInterfacePresent() || (currentSource != 40 && currentSource != 30)) {
    std::optional<fnd::Dictionary> onStart = facade.consentSettings1PStart();
    if (nonEmpty(onStart) && state.isConsentSourceHigherPriority(40)) {
      chosen = onStart;
      source = 40;
    } else {
      chosen = thirdParty;
      source = 10;
    }
  } else {
    facade.clearConsent();
    return;
  }
  if (nonEmpty(chosen) && state.isConsentSourceHigherPriority(source)) {
    state.setConsentSettings(*chosen);
    state.setConsentSource(source);
    facade.persistConsentSettings(*chosen, source);
  }
}

void ZIVMeasurement::setSessionTimeoutInterval(double seconds) {
  scheduleWeak("ZIVMeasurement:1625", [seconds](ZIVMeasurement& self) {
    if (auto reporter = self.sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
  });
}
