// ZIVMeasurementURL: campaign attribution from links. A URL through which the application was
// opened (a custom-scheme URL, a universal link carried by a browsing-web user activity, a
// deferred deep link, or a link remembered from launch) becomes one internal campaign event,
// "_cmp" or "_cmpx", whose parameters are the link's campaign parameters and click identifiers.
// It keeps the deep-link attribution cache (the link seen at launch, waiting for the engine), the
// latest ad campaign information for later bundles, the server-side tag-manager preview switch a
// link can carry, and asks the ad vendor once per installation for a deferred deep link.
//
// Log codes 23000 to 23252 through the engine's monitor.
//
// Thread safety: handleOpenURLOnWorkerQueue() and the deferred-deep-link methods run on the
// engine's worker queue; the public entries may be called from any thread other than the worker
// queue and hop there ("ZIVMeasurement:549"). The preview headers are read and written under
// their own lock from any thread. Blocks hold the engine weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/attribution/user_activity.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class ZIVAttributionEngine;
class ZIVRemoteConfig;
class ZIVUserDefaults;

// The deep-link attribution cache in the shared preference store.
inline constexpr const char* ZIVUserDefaultsDeepLinkKey = "/rivado/measurement/deep_link";
inline constexpr const char* ZIVUserDefaultsDeepLinkOpenTimestampInSecondsKey =
    "/rivado/measurement/deep_link_timestamp_seconds";
inline constexpr const char* ZIVUserDefaultsDeepLinkReferrerKey =
    "/rivado/measurement/deep_link_referrer";

// URL parameters.
inline constexpr const char* ZIVMeasurementURLParamAdNetworkClickID = "aclid";
inline constexpr const char* ZIVMeasurementURLParamAdNetworkID = "anid";
inline constexpr const char* ZIVMeasurementURLParamCampaign = "utm_campaign";
inline constexpr const char* ZIVMeasurementURLParamCampaignInfoSource = "cis";
inline constexpr const char* ZIVMeasurementURLParamContent = "utm_content";
inline constexpr const char* ZIVMeasurementURLParamCP1 = "cp1";
inline constexpr const char* ZIVMeasurementURLParamDoubleClickID = "dclid";
inline constexpr const char* ZIVMeasurementURLParamGADSource = "gad_source";
inline constexpr const char* ZIVMeasurementURLParamRivadoClickID = "gclid";
inline constexpr const char* ZIVMeasurementURLParamGBRAID = "gbraid";
inline constexpr const char* ZIVMeasurementURLParamMedium = "utm_medium";
inline constexpr const char* ZIVMeasurementURLParamSource = "utm_source";
inline constexpr const char* ZIVMeasurementURLParamStoreResultID = "srsltid";
inline constexpr const char* ZIVMeasurementURLParamTerm = "utm_term";
inline constexpr const char* ZIVMeasurementURLParamCampaignID = "utm_id";
inline constexpr const char* ZIVMeasurementURLParamCreativeFormat = "utm_creative_format";
inline constexpr const char* ZIVMeasurementURLParamMarketingTactic = "utm_marketing_tactic";
inline constexpr const char* ZIVMeasurementURLParamSourcePlatform = "utm_source_platform";
inline constexpr const char* ZIVMeasurementURLParamSalesforceSubscriberID = "sfmc_id";
inline constexpr const char* APMGADPrefix = "gad_";

// The server-side tag-manager preview switch.
inline constexpr const char* ZIVMeasurementSGTMDebugModeKey = "sgtm_debug_enable";
inline constexpr const char* ZIVMeasurementSGTMPreviewKey = "sgtm_preview_key";
inline constexpr const char* ZIVMeasurementSGTMPreviewHTTPHeaderName = "X-Gtm-Server-Preview";

// Deferred deep links.
inline constexpr int64_t ZIVDeferredDeepLinkRetrievalSuccess = 0;
inline constexpr int64_t ZIVDeferredDeepLinkRetrievalFailed = 1;
inline constexpr const char* ZIVDeferredDeepLinkEnabledPlistKey =
    "RIVADO_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
inline constexpr const char* ZIVDebugDeferredDeepLinkApplicationArgument = "-DebugDeferredDeepLink";
inline constexpr const char* ZIVDeferredDeepLinkTestURLParameter = "&ddl_test=1";
// sdk_version, rdid, bundleid, retry.
inline constexpr const char* ZIVGetDeferredDeepLinkURLFormat =
    "https://adservice.rivado.example/pagead/conversion/app/deeplink"
    "?sdk_version=%lld&rdid=%s&id_type=idfa&bundleid=%s&retry=%lld";
inline constexpr const char* ZIVDeepLinkURLKey = "deeplink";
inline constexpr const char* ZIVDeepLinkTimestampKey = "timestamp";
inline constexpr const char* ZIVDeepLinkCampaignInfoSource = "ddp";

// Launch option keys of the launch notification's user information.
inline constexpr const char* kZIVLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* kZIVLaunchOptionsUserActivityKey =
    "UIApplicationLaunchOptionsUserActivityKey";
inline constexpr const char* kZIVLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";

// ---- The attribution cache. `now` is seconds since 1970.
void ZIVSetAttributionCache(ZIVUserDefaults& store, const std::string& link,
                            const std::optional<std::string>& referrer, double now);
void ZIVClearAttributionCache(ZIVUserDefaults& store);
// True when a timestamp is stored and |now - it| > ttl.
bool ZIVIsAttributionCacheExpired(ZIVUserDefaults& store, double timeToLive, double now);
// Clears the cache of `store` when it has outlived the server's attributionCacheTTLInterval.
bool ZIVClearAttributionCacheIfExpired(const ZIVRemoteConfig& remoteConfig, ZIVUserDefaults& store,
                                       double now);
// The start of the hour before the one that holds `ms`; held at the int64 bounds.
int64_t ZIVAttributionTimestampMillisRoundedToPreviousHour(int64_t ms);

// Parts of a URL text: the query (between "?" and "#"), the host (of "scheme://host..."), and
// whether the text makes a URL at all (a scheme, then no spaces or control characters).
std::optional<std::string> ZIVURLQuery(const std::string& url);
std::optional<std::string> ZIVURLHost(const std::string& url);
bool ZIVIsValidURLString(const std::string& url);

class ZIVMeasurementURL : public std::enable_shared_from_this<ZIVMeasurementURL> {
 public:
  static std::shared_ptr<ZIVMeasurementURL> create(std::weak_ptr<ZIVAttributionEngine> engine);

  // The activity's web page URL when it is a browsing-web activity with a non-empty one.
  static std::optional<std::string> deepLinkFromUserActivity(const ZIVUserActivity* activity);

  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds,
                                  const std::optional<std::string>& referrerURL);
  void handleOpenURL(const std::string& url, const std::optional<fnd::Value>& clickTimestampInMs,
                     double eventTimestampInSeconds, const std::optional<std::string>& referrerURL);
  void handleDeepLink(const std::string& url, const std::optional<fnd::Value>& clickTimestampInMs,
                      double eventTimestampInSeconds,
                      const std::optional<std::string>& referrerURL = std::nullopt);
  // The campaign event itself. Worker queue.
  void handleOpenURLOnWorkerQueue(const std::string& url,
                                  const std::optional<fnd::Value>& clickTimestampInMs,
                                  double eventTimestampInSeconds,
                                  const std::optional<fnd::Dictionary>& extraParameters);

  static bool isValidCampaignURLParamDictionary(const fnd::Dictionary& parameters);
  bool shouldAllowClickID();

  // Launch: fills the cache of `store` from the notification's user information.
  static void handleStoredURLAfterAppLaunchWithNotification(const fnd::Dictionary& userInfo,
                                                            ZIVUserDefaults& store, double now);
  static void handleSGTMDebugModeWithURL(const std::string& url);
  // A copy of the preview headers, or nullopt.
  static std::optional<fnd::Dictionary> SGTMPreviewHeaders();
  // Replaces the preview headers as a whole (nullopt clears them).
  static void setSGTMPreviewHeaders(std::optional<fnd::Dictionary> headers);

  // ---- Deferred deep link. Worker queue.
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  std::optional<fnd::Dictionary> deepLinkInfoFromResponseData(const fnd::Data& data);
  void handleDeferredDeepLinkInfo(const fnd::Dictionary& info);

 private:
  explicit ZIVMeasurementURL(std::weak_ptr<ZIVAttributionEngine> engine);
  void handleDeferredDeepLinkResponse(int64_t status, const std::optional<fnd::Data>& data,
                                      const std::optional<fnd::Error>& error);

  const std::weak_ptr<ZIVAttributionEngine> engine_;
};

// Keeps the category linked; does nothing.
void ZIVIncludeMeasurementURLCategory();
