// A measurement configuration from the server, decoded and then interpreted: the settings table
// with every typed getter, the per-event rules, the upload endpoints, the data controls, the
// consent configuration and the event-editing programs (loaded into the real scripting runtime).
// Nothing may crash; settings that cannot be read give their defaults.
//
// Input: the encoded configuration. The app ID is set to the one the settings belong to, so that
// the configuration is applied rather than refused.
//
// Run with -max_len=1048576: a configuration with its programs can be that large.
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "analytics/config/remote_config.h"
#include "analytics/proto/messages.h"
#include "analytics/proto/nano_log.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/queue.h"

namespace {

constexpr const char* kAppID = "1:1234567890:macos:fuzz";

ZIVRemoteConfigEnvironment Environment() {
  static const auto clock = std::make_shared<dispatch::ManualClock>();
  ZIVRemoteConfigEnvironment environment;
  environment.clock = clock;
  environment.infoDictionaryValue = [](const std::string&) -> std::optional<fnd::Value> {
    return std::nullopt;
  };
  environment.bundleIdentifier = [] { return std::string("com.example.fuzz"); };
  return environment;
}

template <typename T>
void Use(const T& value) {
  volatile bool sink = sizeof(value) > 0;
  (void)sink;
}

void ReadSettings(const ZIVRemoteConfig& c) {
  Use(c.uploadingBackoffInterval());
  Use(c.maxAudienceCount());
  Use(c.maxFiltersPerAudience());
  Use(c.maxFilterResultCount());
  Use(c.maxParametersPerFilter());
  Use(c.databaseDeleteStaleBundlesInterval());
  Use(c.maxQueueTime());
  Use(c.adIDCacheTime());
  Use(c.gateIDFAOnATTMASEnabled());
  Use(c.monitoringSamplePeriod());
  Use(c.isNetworkBackgroundSessionEnabled());
  Use(c.networkTimeout());
  Use(c.sessionDefaultTimeoutInterval());
  Use(c.sessionEventUserEngagementInterval());
  Use(c.efficientEngagementReportingEnabled());
  Use(c.redundantEngagementRemovalEnabled());
  Use(c.maxConversionsPerDay());
  Use(c.maxEventsPerDay());
  Use(c.maxPublicEventsPerDay());
  Use(c.maxErrorEventsPerDay());
  Use(c.maxTrackedCurrencies());
  Use(c.maxPublicUserProperties());
  Use(c.maxEventNameCardinality());
  Use(c.maxPublicEventParams());
  Use(c.maxEventsStored());
  Use(c.uploadingInterval());
  Use(c.uploadingInitialDelayInterval());
  Use(c.uploadMaxBundlesLimit());
  Use(c.uploadMaxEventsPerBundle());
  Use(c.uploadMaxSizeLimitBytes());
  Use(c.uploadingRetryCount());
  Use(c.uploadingRetryInterval());
  Use(c.maxBundlesCreatedPerIteration());
  Use(c.maxRealtimeEventCountPerDay());
  Use(c.uploadingDebugModeInterval());
  Use(c.uploadingRealTimeInterval());
  Use(c.blocklistInternal());
  Use(c.blocklistPublic());
  Use(c.isEventSamplingEnabled());
  Use(c.analyticsAccountTimeZoneOffsetMinutes());
  Use(c.checksumEnabled());
  Use(c.appInBackgroundParameterEnabled());
  Use(c.maxItemScopedCustomParameters());
  Use(c.maxPublicEventParameterValueLength());
  Use(c.maxInternalEventParameterValueLength());
  Use(c.maxRealtimeDCUEventCountPerDay());
  Use(c.maxPSMStartCount());
  Use(c.maxPSMRetryCount());
  Use(c.PSMRetryInterval());
  Use(c.hashPrefixBitLengthEmail());
  Use(c.hashPrefixBitLengthPhone());
  Use(c.maxSignInDelayInDays());
  Use(c.PSMSessionStartEnabled());
  Use(c.PSMSessionStartHashPrefixBitLengthEmail());
  Use(c.PSMSessionStartHashPrefixBitLengthPhone());
  Use(c.PSMGroupIDEnabled());
  Use(c.PSMGroupIDHashPrefixBitLengthEmail());
  Use(c.adsOnDeviceConversionFeatureEnabled());
  Use(c.isDeferredDeepLinkEnabled());
  Use(c.maxDeferredDeepLinkRetryCount());
  Use(c.attributionCacheTTLInterval());
  Use(c.remoteConfigCacheTimeInterval());
  Use(c.sessionStitchingTokenFeatureEnabled());
  Use(c.SKANUpdateConversionValueEnabled());
  Use(c.SKANInitialCVFetchDelay());
  Use(c.SKANCVFetchRetryInterval());
  Use(c.SKANCVFetchRetryLimit());
  Use(c.SKANFirstWindowCVFetchDelay());
  Use(c.SKANFirstWindowCVFetchRetryInterval());
  Use(c.SKANFirstWindowCVFetchRetryLimit());
  Use(c.SKANFirstWindowUploadInterval());
  Use(c.customerTypeEnabled());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetNanoLogSink([](const std::string&) {});
  return 0;
}

namespace {

void Interpret(const uint8_t* data, size_t size) {
  std::shared_ptr<APMPBMeasurementConfig> message =
      APMPBMeasurementConfig::initWithBuffer(fnd::Data(data, data + size));
  if (!message) return;
  NANOSetString(message.get(), APMPBMeasurementConfig::kAppId, fnd::Value(kAppID));

  // Applying the configuration parses it and loads the first program into event editing.
  std::shared_ptr<ZIVRemoteConfig> config =
      ZIVRemoteConfig::initWithAppID(kAppID, std::shared_ptr<ZIVDatabase>(), message,
                                     std::shared_ptr<APMEManager>(), Environment());
  if (!config) return;
  ReadSettings(*config);

  // The rules of every event the configuration names, and of names it does not.
  std::optional<fnd::Array> rules = NANOGetArray(
      message.get(), APMPBMeasurementConfig::kEventConfigs, &APMPBEventConfig::messageClass());
  std::vector<std::string> names{"", "_e", "purchase"};
  if (rules) {
    for (const fnd::Value& rule : *rules) {
      auto event = rule.recordAs<APMPBEventConfig>();
      if (!event) continue;
      if (auto name = NANOGetString(event.get(), APMPBEventConfig::kName)) names.push_back(*name);
    }
  }
  for (const std::string& name : names) {
    Use(config->eventConfigWithName(name));
    Use(config->isEventBlocklisted(name));
    Use(config->isEventCustomConversion(name));
    Use(config->eventHasSamplingRate(name));
    Use(config->samplingRateForEvent(name));
  }

  Use(config->uploadSubdomain());
  Use(config->uploadURL());
  Use(config->SGTMUploadEnabled());
  Use(config->SGTMUploadURL());
  Use(config->SGTMUploadHTTPHeaders());
  Use(config->dataControls());
  Use(config->consentDefaults());
  Use(config->consentDelegations());
  Use(config->regionalDefaults());
  Use(config->corePlatformServices());
  Use(config->isDMARegion());
  Use(config->eventEditing());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The settings are applied on the engine's worker queue, never on the main thread (a sync call
  // would run the block on the calling thread).
  static const std::shared_ptr<dispatch::Queue> worker =
      dispatch::Queue::create("fuzz.settings.worker", dispatch::Qos::kUtility);
  std::promise<void> done;
  worker->async([&] {
    Interpret(data, size);
    done.set_value();
  });
  done.get_future().wait();
  return 0;
}
