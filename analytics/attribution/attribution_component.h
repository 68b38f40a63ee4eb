// ZIVAttributionComponent: attribution and purchase measurement as the measurement engine calls
// it (ZIVMeasurementAttribution of measurement_components.h): lifetime value inside the
// pipeline's transaction, the attribution cache and opened URLs, deferred deep links, the store
// receipt's first-installed test, search-ad attribution and on-device conversion measurement. It
// owns one ZIVMeasurementURL, ZIVMeasurementODM1 and ZIVMeasurementODM2 over an engine and the
// search-ad reporter once started.
//
// Thread safety: the engine calls it on its worker queue (see measurement_components.h).
#pragma once

#include <memory>
#include <mutex>

#include "analytics/engine/measurement_components.h"

class ZIVAttributionEngine;
class ZIVMeasurementODM1;
class ZIVMeasurementODM2;
class ZIVMeasurementURL;
class ZIVSearchAdReporter;

// Linked-client bits of raw events.
inline constexpr int32_t kZIVLinkedClientPSM = 2;
inline constexpr int32_t kZIVLinkedClientDeprecatedConversion = 4;
inline constexpr int32_t kZIVLinkedClientConversion = 8;

class ZIVAttributionComponent : public ZIVMeasurementAttribution {
 public:
  explicit ZIVAttributionComponent(std::shared_ptr<ZIVAttributionEngine> engine);
  ~ZIVAttributionComponent() override;

  const std::shared_ptr<ZIVAttributionEngine>& engine() const { return engine_; }
  const std::shared_ptr<ZIVMeasurementURL>& url() const { return url_; }
  const std::shared_ptr<ZIVMeasurementODM1>& odm1() const { return odm1_; }
  const std::shared_ptr<ZIVMeasurementODM2>& odm2() const { return odm2_; }
  std::shared_ptr<ZIVSearchAdReporter> searchAdReporter() const;

  // ZIVMeasurementAttribution.
  bool isPurchaseEvent(const ZIVEvent& event) override;
  bool recordLifetimeValue(ZIVDatabase& database, const ZIVEvent& event) override;
  bool isAttributionCacheExpired(double ttl) override;
  void clearAttributionCache() override;
  void clearAttributionCacheIfExpired() override;
  void handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampInMs,
                     double eventTimestampInSeconds,
                     const fnd::Dictionary& extraParameters) override;
  void handleStoredURLAfterAppLaunch(const fnd::Dictionary& userInfo) override;
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds,
                                  const std::optional<std::string>& referrerURL) override;
  bool shouldRequestDeferredDeepLink() override;
  void requestDeferredDeepLink() override;
  bool isFirstInstalledVersion() override;
  void startSearchAdReporter(ZIVMeasurement& measurement) override;
  void setSearchAdReportingEnabled(bool enabled) override;
  void setUserDataOnWorkerQueue(const fnd::Dictionary& userData) override;
  void checkOnDeviceConversionDependencies() override;
  void deleteExpiredOnDeviceConversionValue() override;
  void startGroupIDProtocolIfEnabled() override;
  void initiateODMSessionStartProtocolWithTimestamp(double timestamp) override;
  void resetOnDeviceConversionContexts() override;
  int32_t linkedClientBits() override;
  std::shared_ptr<NANOMessageBase> ODMValueFromDictionary(const fnd::Dictionary& row) override;

  // After the configuration fetch: asks the conversion service again.
  void updateAdsOnDeviceConversionMeasurement();
  // After an upload: sends a matching request that waited for the network.
  void retryPostponedPSMRequest();

 private:
  const std::shared_ptr<ZIVAttributionEngine> engine_;
  const std::shared_ptr<ZIVMeasurementURL> url_;
  const std::shared_ptr<ZIVMeasurementODM1> odm1_;
  const std::shared_ptr<ZIVMeasurementODM2> odm2_;
  mutable std::mutex mu_;
  std::shared_ptr<ZIVSearchAdReporter> searchAdReporter_;  // Guarded by mu_.
};
