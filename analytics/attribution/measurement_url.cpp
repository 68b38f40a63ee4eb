#include "analytics/attribution/measurement_url.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <regex>
#include <set>
#include <vector>

#include "analytics/attribution/attribution_engine.h"
#include "analytics/attribution/saturating_int.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/event.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/proto/messages.h"
#include "platform/foundation/json_serialization.h"
#include "platform/vendor/utilities/network.h"

namespace {

// URL parameter -> event parameter.
const std::vector<std::pair<std::string, std::string>>& TranslationTable() {
  static const std::vector<std::pair<std::string, std::string>> table = {
      {ZIVMeasurementURLParamAdNetworkClickID, "aclid"},
      {ZIVMeasurementURLParamAdNetworkID, "anid"},
      {ZIVMeasurementURLParamCampaign, "campaign"},
      {ZIVMeasurementURLParamCampaignInfoSource, "_cis"},
      {ZIVMeasurementURLParamContent, "content"},
      {ZIVMeasurementURLParamCP1, "cp1"},
      {ZIVMeasurementURLParamDoubleClickID, "dclid"},
      {ZIVMeasurementURLParamGADSource, "gad_source"},
      {ZIVMeasurementURLParamRivadoClickID, "gclid"},
      {ZIVMeasurementURLParamGBRAID, "gbraid"},
      {ZIVMeasurementURLParamMedium, "medium"},
      {ZIVMeasurementURLParamSource, "source"},
      {ZIVMeasurementURLParamStoreResultID, "srsltid"},
      {ZIVMeasurementURLParamTerm, "term"},
      {ZIVMeasurementURLParamCampaignID, "campaign_id"},
      {ZIVMeasurementURLParamCreativeFormat, "creative_format"},
      {ZIVMeasurementURLParamMarketingTactic, "marketing_tactic"},
      {ZIVMeasurementURLParamSourcePlatform, "source_platform"},
      {ZIVMeasurementURLParamSalesforceSubscriberID, "sfmc_id"},
  };
  return table;
}

std::optional<std::string> Translate(const std::string& name) {
  for (const auto& [from, to] : TranslationTable()) {
    if (from == name) return to;
  }
  return std::nullopt;
}

bool HasGadPrefix(const std::string& name) { return name.rfind(APMGADPrefix, 0) == 0; }

// The search vendor's web hosts.
bool IsSearchVendorHost(const std::string& host) {
  static const std::regex pattern("^(www\\.)?rivado(\\.co|\\.com)?(\\.[a-z]{2}t?)?$");
  return std::regex_search(host, pattern);
}

bool IsNumberOne(const fnd::Value* value) {
  if (value == nullptr) return false;
  if (value->isInt()) return value->asInt() == 1;
  if (value->isDouble()) return value->asDouble() == 1.0;
  if (auto record = value->recordAs<ZIVValue>()) {
    return (record->isInt64() && record->int64Value() == 1) ||
           (record->isDouble() && record->doubleValue() == 1.0);
  }
  return false;
}

// The preview headers: replaced as a whole, read as a copy, always under the lock.
std::mutex gPreviewHeadersMutex;
std::optional<fnd::Dictionary>& PreviewHeaders() {
  static auto* headers = new std::optional<fnd::Dictionary>();
  return *headers;
}

bool IsSuccessStatus(int64_t status) { return status == 200 || status == 304 || status == 204; }

}  // namespace

// ---- Cache.

void ZIVSetAttributionCache(ZIVUserDefaults& store, const std::string& link,
                            const std::optional<std::string>& referrer, double now) {
  store.setObject(fnd::Value(link), ZIVUserDefaultsDeepLinkKey);
  store.setObject(fnd::Value(now), ZIVUserDefaultsDeepLinkOpenTimestampInSecondsKey);
  if (referrer) {
    store.setObject(fnd::Value(*referrer), ZIVUserDefaultsDeepLinkReferrerKey);
  } else {
    store.removeObjectForKey(ZIVUserDefaultsDeepLinkReferrerKey);
  }
}

void ZIVClearAttributionCache(ZIVUserDefaults& store) {
  store.removeObjectForKey(ZIVUserDefaultsDeepLinkKey);
  store.removeObjectForKey(ZIVUserDefaultsDeepLinkOpenTimestampInSecondsKey);
  store.removeObjectForKey(ZIVUserDefaultsDeepLinkReferrerKey);
}

bool ZIVIsAttributionCacheExpired(ZIVUserDefaults& store, double timeToLive, double now) {
  std::optional<fnd::Value> stored =
      store.numberForKey(ZIVUserDefaultsDeepLinkOpenTimestampInSecondsKey);
  if (!stored) return false;
  return std::fabs(now - stored->asDouble()) > timeToLive;
}

bool ZIVClearAttributionCacheIfExpired(const ZIVRemoteConfig& remoteConfig, ZIVUserDefaults& store,
                                       double now) {
  if (!ZIVIsAttributionCacheExpired(store, remoteConfig.attributionCacheTTLInterval(), now)) {
    return false;
  }
  ZIVClearAttributionCache(store);
  return true;
}

int64_t ZIVAttributionTimestampMillisRoundedToPreviousHour(int64_t ms) {
  constexpr int64_t kHour = 3600000;
  return ZIVSaturatingAdd((ms / kHour) * kHour, -kHour);
}

// ---- URL texts.

std::optional<std::string> ZIVURLQuery(const std::string& url) {
  size_t question = url.find('?');
  if (question == std::string::npos) return std::nullopt;
  size_t fragment = url.find('#', question);
  if (fragment == std::string::npos) fragment = url.size();
  return url.substr(question + 1, fragment - question - 1);
}

std::optional<std::string> ZIVURLHost(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos || scheme == 0) return std::nullopt;
  const size_t start = scheme + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    return close == std::string::npos ? std::nullopt
                                      : std::optional<std::string>(authority.substr(1, close - 1));
  }
  size_t colon = authority.find(':');
  if (colon != std::string::npos) authority.erase(colon);
  return authority;
}

bool ZIVIsValidURLString(const std::string& url) {
  if (url.empty()) return false;
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(url[0]))) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = url[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return std::none_of(url.begin(), url.end(),
                      [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; });
}

void ZIVIncludeMeasurementURLCategory() {}

// ---- ZIVMeasurementURL.

ZIVMeasurementURL::ZIVMeasurementURL(std::weak_ptr<ZIVAttributionEngine> engine)
    : engine_(std::move(engine)) {}

std::shared_ptr<ZIVMeasurementURL> ZIVMeasurementURL::create(
    std::weak_ptr<ZIVAttributionEngine> engine) {
  return std::shared_ptr<ZIVMeasurementURL>(new ZIVMeasurementURL(std::move(engine)));
}

std::optional<std::string> ZIVMeasurementURL::deepLinkFromUserActivity(
    const ZIVUserActivity* activity) {
  ZIVMonitor& monitor = *ZIVMeasurement::monitor();
  if (activity == nullptr) {
    monitor.logWithLevel(7, 23003, "User Activity is empty. User Activity", fnd::Value());
    return std::nullopt;
  }
  if (activity->activityType() == kZIVUserActivityTypeBrowsingWeb && activity->webpageURL() &&
      !activity->webpageURL()->empty()) {
    return activity->webpageURL();
  }
  monitor.logWithLevel(3, 23006, "User Activity does not have Deep Link. User Activity",
                       fnd::Value(activity->activityType()));
  return std::nullopt;
}

void ZIVMeasurementURL::handleNonFirstOpenEventURL(const std::string& url,
                                                   double eventTimestampInSeconds) {
  handleNonFirstOpenEventURL(url, eventTimestampInSeconds, std::nullopt);
}

void ZIVMeasurementURL::handleNonFirstOpenEventURL(const std::string& url,
                                                   double eventTimestampInSeconds,
                                                   const std::optional<std::string>& referrerURL) {
  auto engine = engine_.lock();
  if (!engine) return;
  auto current = dispatch::Queue::current();
  if (current && current->label() == engine->scheduler().workerQueue()->label()) {
    engine->monitor()->logWithLevel(
        2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds, referrerURL);
}

void ZIVMeasurementURL::handleOpenURL(const std::string& url,
                                      const std::optional<fnd::Value>& clickTimestampInMs,
                                      double eventTimestampInSeconds,
                                      const std::optional<std::string>& referrerURL) {
  if (url.empty()) return;
  // The debug-mode hook of other platforms does nothing here.
  handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds, referrerURL);
}

void ZIVMeasurementURL::handleDeepLink(const std::string& url,
                                       const std::optional<fnd::Value>& clickTimestampInMs,
                                       double eventTimestampInSeconds,
                                       const std::optional<std::string>& referrerURL) {
  auto engine = engine_.lock();
  if (!engine) return;
  std::optional<fnd::Dictionary> extra;
  if (referrerURL && !referrerURL->empty()) extra = fnd::Dictionary{{"_ref", *referrerURL}};
  std::weak_ptr<ZIVMeasurementURL> weakSelf = shared_from_this();
  engine->scheduler().scheduleOnWorkerQueueBlockID(
      "ZIVMeasurement:549", [weakSelf, url, clickTimestampInMs, eventTimestampInSeconds, extra] {
        if (auto self = weakSelf.lock()) {
          self->handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds, extra);
        }
      });
}

bool ZIVMeasurementURL::isValidCampaignURLParamDictionary(const fnd::Dictionary& parameters) {
  static const char* const kRequired[] = {ZIVMeasurementURLParamCampaign,
                                          ZIVMeasurementURLParamRivadoClickID,
                                          ZIVMeasurementURLParamMedium,
                                          ZIVMeasurementURLParamSource,
                                          ZIVMeasurementURLParamGBRAID,
                                          ZIVMeasurementURLParamCampaignID,
                                          ZIVMeasurementURLParamDoubleClickID,
                                          ZIVMeasurementURLParamStoreResultID,
                                          ZIVMeasurementURLParamSalesforceSubscriberID};
  for (const char* name : kRequired) {
    const fnd::Value* value = parameters.find(fnd::Value(name));
    if (value && value->isString() && !value->asString().empty()) return true;
  }
  for (const auto& entry : parameters) {
    if (entry.first.isString() && HasGadPrefix(entry.first.asString())) return true;
  }
  return false;
}

bool ZIVMeasurementURL::shouldAllowClickID() {
  auto engine = engine_.lock();
  if (!engine) return false;
  if (!engine->iOS14OrAbove()) return true;
  std::optional<std::string> deviceID = engine->resettableDeviceID();
  if (deviceID && !deviceID->empty()) return true;
  return engine->appleConsentStatus() == 3;
}

void ZIVMeasurementURL::handleOpenURLOnWorkerQueue(
    const std::string& url, const std::optional<fnd::Value>& clickTimestampInMs,
    double eventTimestampInSeconds, const std::optional<fnd::Dictionary>& extraParameters) {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName(
      "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
  auto engine = engine_.lock();
  if (!engine) return;
  ZIVMonitor& monitor = *engine->monitor();

  // 1. Extra parameters by kind; others are dropped.
  fnd::Dictionary strings, numbers;
  if (extraParameters) {
    for (const auto& [key, value] : *extraParameters) {
      if (!key.isString()) continue;
      if (value.isString()) {
        strings.set(key, value);
      } else if (value.isNumber() || value.isBool()) {
        numbers.set(key, value);
      }
    }
  }
  // 2. Query parameters over the extra strings.
  fnd::Dictionary candidates = strings;
  if (std::optional<std::string> query = ZIVURLQuery(url)) {
    for (const auto& [key, value] : ziv_dictionaryWithHttpArgumentsString(*query)) {
      candidates.set(key, value);
    }
  }
  if (candidates.empty()) {
    monitor.logWithLevel(7, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(candidates)) {
    monitor.logWithLevel(3, 23001, "Deep Link does not contain valid required params. URL params",
                         fnd::Value(candidates));
    return;
  }
  // 5. Translate.
  fnd::Dictionary parameters;
  for (const auto& [key, value] : candidates) {
    if (!key.isString() || !value.isString() || value.asString().empty()) continue;
    const std::string& name = key.asString();
    if (auto translated = Translate(name)) {
      parameters.set(fnd::Value(*translated), value);
    } else if (HasGadPrefix(name)) {
      parameters.set(key, value);
    }
  }
  if (!shouldAllowClickID()) {
    for (const char* name : {"gclid", "dclid", "srsltid"}) parameters.erase(fnd::Value(name));
  }
  for (const auto& [key, value] : numbers) parameters.set(key, value);
  if (clickTimestampInMs) parameters.set(fnd::Value("click_timestamp"), *clickTimestampInMs);
  const std::string name = IsNumberOne(parameters.find(fnd::Value("_cc"))) ? "_cmpx" : "_cmp";

  // 10. Origin from the referrer of the extra strings.
  std::string origin = "auto";
  const fnd::Value* referrer = strings.find(fnd::Value("_ref"));
  if (referrer && !referrer->asString().empty()) {
    std::optional<std::string> host = ZIVURLHost(referrer->asString());
    if (host && !host->empty() && IsSearchVendorHost(*host)) origin = "gs";
  }
  // 11. Never before the first open.
  const double firstOpen =
      static_cast<double>(engine->persistedConfig()->firstOpenTimestampMilliseconds()) / 1000.0;
  const double eventTime = std::max(firstOpen, eventTimestampInSeconds);

  // 12. Gad entries.
  fnd::Array gadEntries;
  for (const auto& [key, value] : parameters) {
    if (!key.isString() || !HasGadPrefix(key.asString())) continue;
    std::optional<std::string> text;
    if (value.isString()) {
      text = value.asString();
    } else if (value.isNumber() || value.isBool()) {
      text = value.description();
    }
    if (!text) continue;
    auto entry = APMPBDeepLinkGadParamsEntry::initWithMessageInfo(nullptr);
    NANOSetString(entry.get(), APMPBDeepLinkGadParamsEntry::kKey, key);
    NANOSetString(entry.get(), APMPBDeepLinkGadParamsEntry::kValue, fnd::Value(*text));
    if (NANOHasField(entry.get(), APMPBDeepLinkGadParamsEntry::kValue)) {
      gadEntries.push_back(fnd::Value(std::shared_ptr<fnd::Record>(entry)));
    }
  }
  // 13. Ad campaign information.
  const fnd::Value* gclid = parameters.find(fnd::Value("gclid"));
  const fnd::Value* gbraid = parameters.find(fnd::Value("gbraid"));
  if (gclid || gbraid || !gadEntries.empty()) {
    auto info = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
    NANOSetInt64(info.get(), APMPBAdCampaignInfo::kTimestampMillis,
                 ZIVSaturatingInt64FromDouble(eventTime * 1000));
    if (gclid && gclid->isString()) NANOSetString(info.get(), APMPBAdCampaignInfo::kGclid, *gclid);
    if (gbraid && gbraid->isString()) {
      NANOSetString(info.get(), APMPBAdCampaignInfo::kGbraid, *gbraid);
    }
    const fnd::Value* source = parameters.find(fnd::Value("gad_source"));
    if (source && source->isString()) {
      NANOSetString(info.get(), APMPBAdCampaignInfo::kGadSource, *source);
    }
    if (!gadEntries.empty()) {
      NANOSetArray(info.get(), APMPBAdCampaignInfo::kDeepLinkGadParams, &gadEntries);
    }
    if (std::optional<fnd::Data> buffer = info->protoBuffer()) {
      engine->persistedConfig()->setAdCampaignInfoBuffer(fnd::Value(*buffer));
    }
  }
  // 14. The event.
  auto event = ZIVEvent::initWithOrigin(origin, false, name, eventTime, 0, parameters);
  if (!event) return;
  engine->handleInternalEventOnWorkerQueue(event);
  engine->notifyEventListeners(event);
}

void ZIVMeasurementURL::handleStoredURLAfterAppLaunchWithNotification(
    const fnd::Dictionary& userInfo, ZIVUserDefaults& store, double now) {
  bool stored = false;
  const fnd::Value* activities =
      userInfo.find(fnd::Value(kZIVLaunchOptionsUserActivityDictionaryKey));
  if (activities && activities->isDictionary() && !activities->dictionary()->empty()) {
    const fnd::Value* entry =
        activities->dictionary()->find(fnd::Value(kZIVLaunchOptionsUserActivityKey));
    std::shared_ptr<ZIVUserActivity> activity =
        entry ? entry->recordAs<ZIVUserActivity>() : nullptr;
    if (activity) {
      std::optional<std::string> link = deepLinkFromUserActivity(activity.get());
      if (link && !link->empty()) {
        ZIVSetAttributionCache(store, *link, activity->referrerURL(), now);
        stored = true;
      }
    }
  }
  const fnd::Value* launchURL = userInfo.find(fnd::Value(kZIVLaunchOptionsURLKey));
  if (launchURL && launchURL->isString()) {
    if (!stored) ZIVSetAttributionCache(store, launchURL->asString(), std::nullopt, now);
    handleSGTMDebugModeWithURL(launchURL->asString());
  }
}

void ZIVMeasurementURL::handleSGTMDebugModeWithURL(const std::string& url) {
  std::optional<std::string> query = ZIVURLQuery(url);
  if (!query) return;
  fnd::Dictionary parameters = ziv_dictionaryWithHttpArgumentsString(*query);
  if (parameters.empty()) return;
  const fnd::Value* mode = parameters.find(fnd::Value(ZIVMeasurementSGTMDebugModeKey));
  if (mode == nullptr || !mode->isString()) return;
  if (mode->asString() == "1") {
    ZIVMeasurement::monitor()->setSGTMDebugModeEnabled(true);
    const fnd::Value* key = parameters.find(fnd::Value(ZIVMeasurementSGTMPreviewKey));
    if (key && key->isString() && !key->asString().empty()) {
      setSGTMPreviewHeaders(fnd::Dictionary{{ZIVMeasurementSGTMPreviewHTTPHeaderName, *key}});
    } else {
      setSGTMPreviewHeaders(std::nullopt);
    }
  } else if (mode->asString() == "0") {
    ZIVMeasurement::monitor()->setSGTMDebugModeEnabled(false);
    setSGTMPreviewHeaders(std::nullopt);
  }
}

std::optional<fnd::Dictionary> ZIVMeasurementURL::SGTMPreviewHeaders() {
  std::lock_guard<std::mutex> lock(gPreviewHeadersMutex);
  return PreviewHeaders();
}

void ZIVMeasurementURL::setSGTMPreviewHeaders(std::optional<fnd::Dictionary> headers) {
  std::lock_guard<std::mutex> lock(gPreviewHeadersMutex);
  PreviewHeaders() = std::move(headers);
}

// ---- Deferred deep link.

bool ZIVMeasurementURL::shouldAllowRequestDeferredDeepLink() {
  auto engine = engine_.lock();
  if (!engine) return false;
  ZIVMonitor& monitor = *engine->monitor();
  auto settings = engine->remoteConfig();
  if (!settings->isDeferredDeepLinkEnabled()) {
    monitor.logWithLevel(5, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  std::optional<fnd::Value> plist = engine->infoDictionaryValue(ZIVDeferredDeepLinkEnabledPlistKey);
  if (!plist || !(plist->isNumber() || plist->isBool()) || !plist->asBool()) return false;
  auto config = engine->persistedConfig();
  if (config->deferredDeepLinkRetrievalComplete()) {
    monitor.logWithLevel(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (config->deferredDeepLinkRetryCount() >= settings->maxDeferredDeepLinkRetryCount()) {
    monitor.logWithLevel(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    config->setDeferredDeepLinkRetrievalComplete(
        fnd::Value::Int64(ZIVDeferredDeepLinkRetrievalFailed));
    return false;
  }
  if (engine->isAdStorageDenied()) {
    monitor.logWithLevel(3, 23252,
                         "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage "
                         "consent. Skipping");
    return false;
  }
  if (engine->hasLimitedAdTracking() && !engine->limitedAdTracking()) {
    monitor.logWithLevel(7, 23197, "Deferred Deep Link feature enabled");
    return true;
  }
  monitor.logWithLevel(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
  return false;
}

void ZIVMeasurementURL::requestDeferredDeepLink() {
  auto engine = engine_.lock();
  if (!engine) return;
  auto config = engine->persistedConfig();
  auto settings = engine->remoteConfig();
  const std::string deviceID = engine->resettableDeviceID().value_or("");
  const std::string appID = engine->appID().value_or("");
  const int64_t retry = config->deferredDeepLinkRetryCount();
  const int length = std::snprintf(nullptr, 0, ZIVGetDeferredDeepLinkURLFormat,
                                   static_cast<long long>(engine->libraryVersion()),
                                   deviceID.c_str(), appID.c_str(), static_cast<long long>(retry));
  std::string url(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
  std::snprintf(url.data(), url.size(), ZIVGetDeferredDeepLinkURLFormat,
                static_cast<long long>(engine->libraryVersion()), deviceID.c_str(), appID.c_str(),
                static_cast<long long>(retry));
  url.resize(static_cast<size_t>(std::max(length, 0)));
  if (!engine->isFromAppStore()) {
    auto arguments = engine->launchArguments();
    if (std::find(arguments.begin(), arguments.end(),
                  ZIVDebugDeferredDeepLinkApplicationArgument) != arguments.end()) {
      url += ZIVDeferredDeepLinkTestURLParameter;
    }
  }
  url += "&gcs=" + engine->consentSignals();
  url += std::string("&dma=") + (settings->isDMARegion() ? "1" : "0");
  if (engine->isAdUserDataDenied()) {
    url += "&dma_cps=-";
  } else if (settings->isDMARegion()) {
    std::set<std::string> services = settings->corePlatformServices();
    if (!services.empty()) {
      url += "&dma_cps=";
      for (const std::string& service : services) url += service;  // std::set is sorted.
    }
  }
  if (std::optional<int64_t> personalization = engine->adPersonalization()) {
    url += std::string("&npa=") + (*personalization == 1 ? "0" : "1");
  }
  if (!ZIVIsValidURLString(url)) {
    engine->monitor()->logWithLevel(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  engine->setIsNetworkRequestPending(true);
  engine->setNetworkTimeout(settings->networkTimeout());
  std::weak_ptr<ZIVMeasurementURL> weakSelf = shared_from_this();
  engine->network()->getURL(
      url, {}, engine->scheduler().workerQueue(), engine->shouldUseBackgroundSession(),
      [weakSelf](const std::optional<ZUZOzuriviHTTPResponse>& response,
                 const std::optional<fnd::Data>& data, const std::optional<fnd::Error>& error) {
        if (auto self = weakSelf.lock()) {
          self->handleDeferredDeepLinkResponse(response ? response->statusCode : 0, data, error);
        }
      });
}

void ZIVMeasurementURL::handleDeferredDeepLinkResponse(int64_t status,
                                                       const std::optional<fnd::Data>& data,
                                                       const std::optional<fnd::Error>& error) {
  auto engine = engine_.lock();
  if (!engine) return;
  engine->setIsNetworkRequestPending(false);
  auto config = engine->persistedConfig();
  if (!error && IsSuccessStatus(status)) {
    config->setDeferredDeepLinkRetrievalComplete(
        fnd::Value::Int64(ZIVDeferredDeepLinkRetrievalSuccess));
    std::optional<fnd::Dictionary> info = deepLinkInfoFromResponseData(data.value_or(fnd::Data()));
    if (info && !info->empty()) {
      engine->monitor()->logWithLevel(7, 23200, "Successfully retrieved Deferred Deep Link");
      handleDeferredDeepLinkInfo(*info);
    } else {
      engine->updateSchedule();
    }
    return;
  }
  engine->monitor()->logWithLevel(
      1, 23199, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
      fnd::Value::Int64(status), error ? ZIVErrorContext(*error) : fnd::Value());
  config->setDeferredDeepLinkRetryCount(ZIVSaturatingAdd(config->deferredDeepLinkRetryCount(), 1));
  engine->updateSchedule();
}

std::optional<fnd::Dictionary> ZIVMeasurementURL::deepLinkInfoFromResponseData(
    const fnd::Data& data) {
  auto engine = engine_.lock();
  std::shared_ptr<ZIVMonitor> monitor = engine ? engine->monitor() : ZIVMeasurement::monitor();
  if (data.empty()) {
    monitor->logWithLevel(8, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  fnd::Error error;
  std::optional<fnd::Value> object = fnd::JSONObjectWithData(data, &error);
  if (!object) {
    monitor->logWithLevel(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error",
                          ZIVErrorContext(error));
    return std::nullopt;
  }
  if (!object->isDictionary() || object->dictionary()->empty()) return std::nullopt;
  const fnd::Value* link = object->dictionary()->find(fnd::Value(ZIVDeepLinkURLKey));
  if (!link || !link->isString() || !ZIVIsValidURLString(link->asString())) return std::nullopt;
  return *object->dictionary();
}

void ZIVMeasurementURL::handleDeferredDeepLinkInfo(const fnd::Dictionary& info) {
  auto engine = engine_.lock();
  if (!engine) return;
  const fnd::Value* link = info.find(fnd::Value(ZIVDeepLinkURLKey));
  if (!link || !link->isString() || !ZIVIsValidURLString(link->asString())) return;
  const std::string url = link->asString();
  fnd::Dictionary extra{{ZIVMeasurementURLParamCampaignInfoSource, ZIVDeepLinkCampaignInfoSource}};
  for (const char* key : {"gclid", "gbraid"}) {
    if (const fnd::Value* value = info.find(fnd::Value(key))) extra.set(fnd::Value(key), *value);
  }
  std::optional<fnd::Dictionary> extraInfo;
  if (const fnd::Value* timestamp = info.find(fnd::Value(ZIVDeepLinkTimestampKey))) {
    extraInfo = fnd::Dictionary{{ZIVDeepLinkTimestampKey, *timestamp}};
  }
  engine->monitor()->logWithLevel(8, 23203, "Sending Deferred Deep Link to app delegate");
  const double now = engine->now();
  std::weak_ptr<ZIVMeasurementURL> weakSelf = shared_from_this();
  std::weak_ptr<ZIVAttributionEngine> weakEngine = engine_;
  dispatch::Queue::main()->async([weakSelf, weakEngine, url, extraInfo, extra, now] {
    auto engine = weakEngine.lock();
    if (!engine) return;
    if (!engine->sendDeepLinkURLToAppDelegateOnMainThread(url, extraInfo)) {
      engine->monitor()->logWithLevel(
          3, 23204, "App delegate not configured to handle Deferred Deep Link", fnd::Value(url));
      return;
    }
    engine->scheduler().scheduleOnWorkerQueueBlockID(
        "ZIVMeasurement:443", [weakSelf, url, extra, now] {
          if (auto self = weakSelf.lock())
            self->handleOpenURLOnWorkerQueue(url, std::nullopt, now, extra);
        });
  });
}
