// What the engine records about the installation at start-up: first open, app and OS updates, the
// campaign stored at launch, the first session start, "_npa", the server's consent defaults, the
// GBRAID migration and the session-number backfill.
#include <cstdlib>
#include <utility>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/environment_info.h"
#include "analytics/engine/event.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/foundation/value.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"

namespace {

constexpr const char* kAutoOrigin = "auto";
constexpr const char* kDeepLinkKey = "/rivado/measurement/deep_link";
constexpr const char* kDeepLinkTimestampKey = "/rivado/measurement/deep_link_timestamp_seconds";
constexpr const char* kDeepLinkReferrerKey = "/rivado/measurement/deep_link_referrer";

// A stored error is one that carries a domain.
bool HasError(const fnd::Error& error) { return !error.domain().empty(); }

std::shared_ptr<ZIVUserAttribute> IntAttribute(const std::string& name, int64_t value,
                                               double setTime) {
  return ZIVUserAttribute::initWithOrigin(kAutoOrigin, name, ZIVValue::initWithInt64(value),
                                          setTime);
}

}  // namespace

ZIVUserDefaults& ZIVMeasurement::userDefaults() const {
  return environment_.userDefaults ? *environment_.userDefaults
                                   : ZIVUserDefaults::sharedUserDefaults();
}

ZIVEnvironmentInfo& ZIVMeasurement::environmentInfo() const {
  return environment_.environmentInfo ? *environment_.environmentInfo
                                      : ZIVEnvironmentInfo::sharedInstance();
}

void ZIVMeasurement::reportFirstOpenOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  ZIVMeasurementComponents parts = components();
  fnd::Error error;
  std::optional<bool> hasFirstOpen = db->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpen) {
    monitor_->logWithLevel(1, 23019, "Failed to query first open property. Error",
                           ZIVErrorContext(error));
    return;
  }
  int64_t previousCount = 0;
  if (std::optional<std::string> text = previousFirstOpenCount()) {
    previousCount = std::strtoll(text->c_str(), nullptr, 10);
  }

  if (*hasFirstOpen) {
    // A normal launch.
    if (previousCount < 1) setPreviousFirstOpenCount("1");
    parts.facade->setDeferredAnalyticsCollection(std::nullopt);
    if (isAppActive()) {
      reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp(), false);
    } else if (auto reporter = sessionReporter(); reporter && reporter->isSessionExpired()) {
      removeSessionUserPropertiesOnWorkerQueue();
    }
    persistedConfig_->setLoadTimestampValue(std::nullopt);
    return;
  }

  const bool firstInstalled = previousCount > 0 || parts.attribution->isFirstInstalledVersion();
  const int64_t storedFirstOpenMs = persistedConfig_->firstOpenTimestampMilliseconds();
  const double fiSetTime =
      storedFirstOpenMs != 0 ? static_cast<double>(storedFirstOpenMs / 1000) : initTimestamp();
  setUserAttributeOnWorkerQueue(IntAttribute("_fi", firstInstalled ? 1 : 0, fiSetTime));
  std::optional<bool> hasFi = db->containsUserAttributeWithName("_fi", &error);
  if (!hasFi) {
    monitor_->logWithLevel(1, 23161,
                           "Failed to query first open after install property after setting it. "
                           "Error",
                           ZIVErrorContext(error));
    return;
  }
  if (!*hasFi) {
    monitor_->logWithLevel(1, 23162, "Failed to set first open after install property");
    return;
  }

  const int64_t firstOpenMs = ZIVMillisecondsFromSeconds(initTimestamp());
  setUserAttributeOnWorkerQueue(
      IntAttribute("_fot", ZIVTimestampMillisRoundedUpToNextHour(firstOpenMs), initTimestamp()));
  hasFirstOpen = db->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpen) {
    monitor_->logWithLevel(1, 23020, "Failed to query first open property after setting it. Error",
                           ZIVErrorContext(error));
    return;
  }
  if (!*hasFirstOpen) {
    monitor_->logWithLevel(1, 23021, "Failed to set first open property");
    return;
  }

  std::shared_ptr<ZIVRemoteConfig> settings = remoteConfigInstance();
  const bool efficientEngagement = settings && settings->efficientEngagementReportingEnabled();
  fnd::Dictionary parameters;
  if (std::optional<std::string> previousApp = previousZUZAppID();
      previousApp && !previousApp->empty()) {
    parameters.set("_pgmp", *previousApp);
  }
  parameters.set("_pfo", fnd::Value::Int64(previousCount >= 1 ? previousCount : 0));
  parameters.set("_uwa", fnd::Value::Int64(firstInstalled ? 0 : 1));
  if (std::optional<fnd::Value> deferred = parts.facade->deferredAnalyticsCollection();
      deferred && deferred->asBool()) {
    parameters.set("_dac", fnd::Value::Int64(1));
  }
  parameters.set("_elt", fnd::Value::Int64(ZIVMillisecondsFromSeconds(now())));
  if (efficientEngagement) parameters.set("_et", fnd::Value::Int64(1));

  const fnd::Dictionary screen = parts.sessions->screenParameters();
  if (auto firstOpen =
          ZIVEvent::initWithOrigin(kAutoOrigin, false, "_f", initTimestamp(), 0, parameters)) {
    if (!screen.empty()) firstOpen->addScreenParameters(screen);
    handleInternalEventOnWorkerQueue(firstOpen);
  }
  parts.facade->setDeferredAnalyticsCollection(std::nullopt);
  persistedConfig_->setLoadTimestampValue(std::nullopt);

  if (isAppActive()) reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp(), false);

  if (!(settings && settings->redundantEngagementRemovalEnabled())) {
    fnd::Dictionary engagement{{"_et", fnd::Value::Int64(1)}};
    if (efficientEngagement) engagement.set("_fr", fnd::Value::Int64(1));
    if (auto event =
            ZIVEvent::initWithOrigin(kAutoOrigin, false, "_e", initTimestamp(), 0, engagement)) {
      if (!screen.empty()) event->addScreenParameters(screen);
      handleInternalEventOnWorkerQueue(event);
    }
  }

  persistedConfig_->setFirstOpenTimestampMilliseconds(firstOpenMs);
  reportStoredCampaignEventOnWorkerQueue(firstOpenMs - 1);
}

void ZIVMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "reportSessionStartOnWorkerQueueWithTimestamp:appInBackground:");
  std::shared_ptr<ZIVMeasurementSessionReporter> reporter = sessionReporter();
  if (!reporter || !reporter->shouldStartNewSession()) return;
  reporter->updatePropertiesForNewSessionStart();
  setUserAttributeOnWorkerQueue(reporter->sessionIDPropertyWithTimestamp(timestamp));
  setUserAttributeOnWorkerQueue(reporter->sessionNumberProperty());
  std::shared_ptr<ZIVRemoteConfig> settings = remoteConfigInstance();
  const bool background =
      appInBackground && (!settings || settings->appInBackgroundParameterEnabled());
  std::shared_ptr<ZIVEvent> event = components().sessions->makeSessionStartEvent(
      persistedConfig_->sessionNumber(), background, timestamp);
  if (event) handleInternalEventOnWorkerQueue(event);
}

void ZIVMeasurement::removeSessionUserPropertiesOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("removeSessionUserPropertiesOnWorkerQueue");
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  struct Step {
    const char* name;
    int64_t code;
    const char* message;
  };
  static const Step kSteps[] = {
      {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
      {"_se", 23192,
       "Failed to remove session user engagement user property on session expiration. Error"},
  };
  db->performTransaction([&] {
    for (const Step& step : kSteps) {
      fnd::Error error;
      if (!db->deleteUserAttributeWithName(step.name, &error) && HasError(error)) {
        monitor_->logWithLevel(2, step.code, step.message, ZIVErrorContext(error));
        return false;
      }
    }
    return true;
  });
}

void ZIVMeasurement::reportAppUpdateOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
  std::shared_ptr<ZIVIdentity> id = identity();
  if (!id) return;
  std::optional<std::string> current = id->appVersion();
  std::optional<std::string> previous = persistedConfig_->appVersion();
  if (current == previous) return;
  persistedConfig_->setAppVersion(current);
  if (previous && !previous->empty()) {
    logInternalEvent(kAutoOrigin, "_au", fnd::Dictionary{{"_pv", *previous}});
  }
}

void ZIVMeasurement::reportOSUpdateOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
  std::optional<std::string> current = environmentInfo().deviceOSVersion();
  std::optional<std::string> previous = persistedConfig_->osVersion();
  if (current == previous) return;
  persistedConfig_->setOsVersion(current);
  if (previous && !previous->empty()) {
    logInternalEvent(kAutoOrigin, "_ou", fnd::Dictionary{{"_po", *previous}});
  }
}

void ZIVMeasurement::reportStoredCampaignEventOnWorkerQueue(
    std::optional<int64_t> clickTimestampInMs) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("reportStoredCampaignEventOnWorkerQueue:");
  ZIVUserDefaults& defaults = userDefaults();
  std::optional<fnd::Value> link = defaults.objectForKey(kDeepLinkKey);
  if (!link || !link->isString() || link->asString().empty()) return;
  std::string url = link->asString();
  std::optional<fnd::Value> openTimeValue = defaults.objectForKey(kDeepLinkTimestampKey);
  const double openTime =
      openTimeValue && openTimeValue->isNumber() ? openTimeValue->asDouble() : 0;
  std::optional<fnd::Value> referrer = defaults.objectForKey(kDeepLinkReferrerKey);

  // Held for the whole use: the component list is a copy, and a component that is not
  // installed exists only in it.
  const std::shared_ptr<ZIVMeasurementAttribution> attributionComponent = components().attribution;
  ZIVMeasurementAttribution& attribution = *attributionComponent;
  std::shared_ptr<ZIVRemoteConfig> settings = settingsOrDefaults();
  fnd::Dictionary extra;
  if (attribution.isAttributionCacheExpired(settings->attributionCacheTTLInterval())) {
    extra.set("utm_source", "(not set)");
    extra.set("utm_medium", "(not set)");
    extra.set("_cc", fnd::Value::Int64(1));
    url = "(not set)";
  } else {
    constexpr int64_t kHour = 3600000;
    const int64_t openMs = ZIVMillisecondsFromSeconds(openTime);
    extra.set("_cc", fnd::Value::Int64(openMs / kHour * kHour));
    if (referrer && referrer->isString() && !referrer->asString().empty()) {
      extra.set("_ref", referrer->asString());
    }
  }
  attribution.clearAttributionCache();
  attribution.handleOpenURL(url, clickTimestampInMs, openTime, extra);
}

void ZIVMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "setPersonalizedAdsUserPropertyOnWorkerQueue");
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db) return;
  fnd::Error error;
  std::shared_ptr<ZIVUserAttribute> stored = db->userAttributeWithName("_npa", &error);
  if (!stored && HasError(error)) {
    monitor_->logWithLevel(1, 23172, "Unable to read personalized ads user property. Error",
                           ZIVErrorContext(error));
    return;
  }
  std::optional<bool> wanted = shouldDisableAdPersonalization();
  if (!wanted && !stored) return;
  if (!wanted) {
    fnd::Error deleteError;
    if (!db->deleteUserAttributeWithName("_npa", &deleteError)) {
      if (HasError(deleteError)) {
        monitor_->logWithLevel(1, 23173,
                               "Unable to remove personalized ads user property in the database. "
                               "Error",
                               ZIVErrorContext(deleteError));
      }
      return;
    }
    monitor_->logWithLevel(4, 23180, "No value set for personalized ads. Removing user property.");
    consent().setDiagnosticSource(0, "ad_personalization");
    return;
  }
  const int64_t value = *wanted ? 1 : 0;
  const bool changes = !stored || !stored->value() || stored->value()->int64Value() != value;
  if (!consent().adPersonalization()) updateAdPersonalizationConsentFromNPAValue(value);
  if (changes) setUserAttributeOnWorkerQueue(IntAttribute("_npa", value, now()));
}

void ZIVMeasurement::updateAdPersonalizationConsentFromNPAValue(
    const std::optional<int64_t>& npaValue) {
  ZIVConsentSettingsUtil& state = consent();
  std::optional<int64_t> current = state.adPersonalization();
  if (npaValue && current && ((*npaValue != 0) != (*current != 0))) return;
  const bool disable = npaValue && *npaValue != 0;
  state.updateSettings(fnd::Dictionary{{"ad_personalization", disable ? "denied" : "granted"}});
  if (persistedConfig_->allowPersonalizedAds()) {
    state.setDiagnosticSource(5, "ad_personalization");
  } else if (foundAdPersonalizationPlistFlag()) {
    state.setDiagnosticSource(3, "ad_personalization");
  } else if (std::optional<fnd::Dictionary> defaults = state.defaultSettings();
             defaults && defaults->contains("ad_personalization")) {
    state.setDiagnosticSource(1, "ad_personalization");
  }
}

void ZIVMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
  std::shared_ptr<ZIVRemoteConfig> settings = remoteConfigInstance();
  if (!settings) return;
  ZIVConsentSettingsUtil& state = consent();
  std::optional<int64_t> noted = state.adPersonalization();
  fnd::Dictionary defaults = settings->consentDefaults();
  fnd::Dictionary delegations = settings->consentDelegations();
  if (!defaults.empty() || !delegations.empty()) {
    state.setDefaultSettings(defaults);
    state.setDelegatedSettings(delegations);
  }
  fnd::Dictionary regional = settings->regionalDefaults();
  state.setRegionalDefaults(regional.empty() ? std::nullopt
                                             : std::optional<fnd::Dictionary>(regional));
  std::optional<int64_t> after = state.adPersonalization();
  if (after && after != noted) setShouldUpdateNPAUserProperty(true);
}

void ZIVMeasurement::updateCachedAdCampaignInfoWithExistingGBRAIDProperty() {
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db || persistedConfig_->adCampaignInfoBuffer()) return;
  std::shared_ptr<ZIVUserAttribute> gbraid = db->userAttributeWithName("_gbraid");
  if (!gbraid || !gbraid->value()) return;
  auto info = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  std::optional<std::string> text = gbraid->value()->stringValue();
  NANOSetString(info.get(), APMPBAdCampaignInfo::kGbraid,
                fnd::Value(text ? *text : gbraid->value()->description()));
  NANOSetInt64(info.get(), APMPBAdCampaignInfo::kTimestampMillis,
               ZIVMillisecondsFromSeconds(gbraid->lastSetTimestamp()));
  if (std::optional<fnd::Data> buffer = info->protoBuffer()) {
    persistedConfig_->setAdCampaignInfoBuffer(fnd::Value(*buffer));
  }
}

void ZIVMeasurement::removeLegacyGBRAIDUserProperty() {
  if (std::shared_ptr<ZIVDatabase> db = database()) {
    // Errors are of no consequence: the property is only left behind.
    (void)db->deleteUserAttributeWithName("_gbraid");
  }
}

void ZIVMeasurement::backfillSessionNumber() {
  std::shared_ptr<ZIVDatabase> db = database();
  if (!db || persistedConfig_->sessionNumber() != 0) return;
  fnd::Error error;
  std::shared_ptr<ZIVEventAggregates> aggregates = db->eventAggregatesWithName("_s", &error);
  if (!aggregates && HasError(error)) {
    monitor_->logWithLevel(1, 23063, "Unable to query event aggregates. Name, error",
                           fnd::Value(ZIVFormattedEventName(fnd::Value("_s"))),
                           ZIVErrorContext(error));
    return;
  }
  persistedConfig_->setSessionNumber(aggregates ? aggregates->lifetimeCount() : 0);
}
