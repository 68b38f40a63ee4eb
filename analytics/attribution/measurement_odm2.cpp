#include "analytics/attribution/measurement_odm2.h"

#include "analytics/attribution/attribution_engine.h"
#include "analytics/attribution/measurement_odm1.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/event.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/engine/user_attribute.h"
#include "analytics/storage/database.h"

namespace {

constexpr const char* kODM2ValueProperty = "_psmvalue_gads";
constexpr int64_t kCurrentFrameworkMinimumVersion = 10000;

}  // namespace

ZIVMeasurementODM2::ZIVMeasurementODM2(std::weak_ptr<ZIVAttributionEngine> engine)
    : engine_(std::move(engine)) {}

std::shared_ptr<ZIVMeasurementODM2> ZIVMeasurementODM2::create(
    std::weak_ptr<ZIVAttributionEngine> engine) {
  return std::shared_ptr<ZIVMeasurementODM2>(new ZIVMeasurementODM2(std::move(engine)));
}

std::shared_ptr<ZIVRuntimeClass> ZIVMeasurementODM2::conversionServiceClass() {
  auto engine = engine_.lock();
  return engine ? engine->classRegistry().classNamed(kODCConversionServiceClassName) : nullptr;
}

bool ZIVMeasurementODM2::isAdsOnDeviceConversionLinked() {
  return conversionServiceClass() != nullptr;
}

std::shared_ptr<ODCConversionService> ZIVMeasurementODM2::conversionServiceFromReflection() {
  auto cls = conversionServiceClass();
  if (!cls || !cls->respondsToSelector("sharedInstance")) return nullptr;
  return std::dynamic_pointer_cast<ODCConversionService>(cls->sharedInstance());
}

bool ZIVMeasurementODM2::isRivadoAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto service = conversionService_ ? conversionService_ : conversionServiceFromReflection();
  return service && service->versionNumber() > kCurrentFrameworkMinimumVersion;
}

bool ZIVMeasurementODM2::isZezivAppAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto service = conversionService_ ? conversionService_ : conversionServiceFromReflection();
  return service && service->versionNumber() <= kCurrentFrameworkMinimumVersion;
}

bool ZIVMeasurementODM2::isODM2EnabledInPlist() {
  auto engine = engine_.lock();
  if (!engine) return false;
  std::optional<fnd::Value> value = engine->infoDictionaryValue(APMODM2EnabledPlistKey);
  if (value && (value->isNumber() || value->isBool())) return value->asBool();
  return true;
}

std::optional<double> ZIVMeasurementODM2::firstLaunchDate() {
  auto engine = engine_.lock();
  if (!engine) return std::nullopt;
  const int64_t millis = engine->persistedConfig()->firstOpenTimestampMilliseconds();
  if (millis == 0) return std::nullopt;
  return static_cast<double>(millis) / 1000.0;
}

void ZIVMeasurementODM2::checkODM2DependencyOnWorkerQueue() {
  ZIVScheduler::checkOnBackgroundThreadWithMethodName("checkODM2DependencyOnWorkerQueue");
  auto engine = engine_.lock();
  if (!engine) return;
  ZIVMonitor& monitor = *engine->monitor();
  const bool deprecatedLinked =
      engine->classRegistry().classNamed(kZIVPSMClientClassName) != nullptr;
  if (isAdsOnDeviceConversionLinked()) {
    if (deprecatedLinked && isRivadoAdsOnDeviceConversionLinked()) {
      // Both frameworks: a configuration error for the developer, never the end of the process.
      monitor.logWithLevel(
          0, 23292,
          std::string(APMODM1AndODM2LinkedExceptionName) +
              ": RivadoDuvUdiredururoOnDeviceConversion (deprecated) framework and "
              "RivadoAdsOnDeviceConversion framework are both linked into the app. Remove the "
              "RivadoDuvUdiredururoOnDeviceConversion (deprecated) framework, which is no longer "
              "recommended for new development.");
    }
    monitor.logWithLevel(7, 23278,
                         "Conversion service RivadoAdsOnDeviceConversion framework is linked");
  } else {
    monitor.logWithLevel(
        7, 23279,
        "Conversion service disabled. RivadoAdsOnDeviceConversion framework is not linked.");
    if (deprecatedLinked) {
      monitor.logWithLevel(4, 23292,
                           "RivadoDuvUdiredururoOnDeviceConversion (deprecated) framework is "
                           "linked. Use the RivadoAdsOnDeviceConversion framework instead.");
    }
  }
  if (engine->remoteConfig()->isExpired()) return;
  monitor.logWithLevel(7, 23280, "Conversion service will not attempt a fetch");
}

bool ZIVMeasurementODM2::isAdsOnDeviceConversionEnabled() {
  auto engine = engine_.lock();
  if (!engine) return false;
  ZIVMonitor& monitor = *engine->monitor();
  if (!isODM2EnabledInPlist()) {
    monitor.logWithLevel(4, 23295, "Conversion service disabled from Info.plist.");
    return false;
  }
  if (!isAdsOnDeviceConversionLinked()) return false;
  if (!engine->remoteConfig()->adsOnDeviceConversionFeatureEnabled()) {
    monitor.logWithLevel(7, 23275,
                         "Conversion service disabled. Remote config disabled. Check ads account "
                         "linked to Rivado Analytics.");
    return false;
  }
  if (engine->isAdStorageDenied()) {
    monitor.logWithLevel(7, 23276, "Conversion service disabled. Ad storage consent is denied.");
    return false;
  }
  monitor.logWithLevel(7, 23277, "Conversion service enabled");
  return true;
}

void ZIVMeasurementODM2::updateAdsOnDeviceConversionMeasurement() {
  auto engine = engine_.lock();
  if (!engine) return;
  if (!isAdsOnDeviceConversionEnabled()) {
    handleAdsOnDeviceConversionValue(std::nullopt, std::nullopt);
    return;
  }
  if (!conversionService_) conversionService_ = conversionServiceFromReflection();
  if (!conversionService_) {
    engine->monitor()->logWithLevel(1, 23268, "Failed to get the compatible conversion service.");
    handleAdsOnDeviceConversionValue(std::nullopt, std::nullopt);
    return;
  }
  conversionService_->setFirstLaunchTime(firstLaunchDate());
  std::weak_ptr<ZIVMeasurementODM2> weakSelf = shared_from_this();
  std::weak_ptr<ZIVAttributionEngine> weakEngine = engine_;
  conversionService_->fetchMeasurementInfoForInteraction(
      0, [weakSelf, weakEngine](const std::optional<std::string>& value,
                                const std::optional<fnd::Error>& error) {
        auto engine = weakEngine.lock();
        if (!engine) return;
        engine->scheduler().scheduleOnWorkerQueueBlockID(
            "ZIVMeasurement:200", [weakSelf, value, error] {
              if (auto self = weakSelf.lock()) {
                self->handleAdsOnDeviceConversionValue(value, error);
              }
            });
      });
}

void ZIVMeasurementODM2::handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                                          const std::optional<fnd::Error>& error) {
  auto engine = engine_.lock();
  if (!engine) return;
  auto database = engine->database();
  if (!database) return;
  ZIVMonitor& monitor = *engine->monitor();
  if (error) {
    monitor.logWithLevel(1, 23269, "Conversion service failed to fetch measurement info.",
                         ZIVErrorContext(*error));
    return;
  }
  auto stored = database->userAttributeWithName(kODM2ValueProperty);
  if (value && !value->empty()) {
    std::optional<std::string> storedText =
        stored && stored->value() ? stored->value()->stringValue() : std::nullopt;
    if (storedText == *value) {
      monitor.logWithLevel(7, 23282, "Conversion service returned the same value",
                           fnd::Value(kODM2ValueProperty), fnd::Value(*value));
      return;
    }
    const double now = engine->now();
    fnd::Error writeError;
    if (!database->updateODMValue(*value, ZIVDatabaseODM2Value, now, &writeError) &&
        !writeError.domain().empty()) {
      monitor.logWithLevel(1, 23290, "Failed to update ODM2 value. Error",
                           ZIVErrorContext(writeError));
    }
    if (auto attribute = ZIVUserAttribute::initWithOrigin("auto", kODM2ValueProperty,
                                                          ZIVValue::initWithString(*value), now)) {
      engine->setUserAttributeOnWorkerQueue(attribute);
    }
    fnd::Dictionary parameters = engine->paramsWithAddedFirstOpenConsentedEventParams(
        fnd::Dictionary{{"_fxs", ZIVParameterFirstOpenConsentedODM2Source}});
    if (auto event = ZIVEvent::initWithOrigin("auto", false, "_fx", now, 0, parameters)) {
      event->setRealtime(true);
      engine->writeEventOnWorkerQueue(event);
    }
    return;
  }
  if (stored) engine->removeUserAttributeOnWorkerQueue(kODM2ValueProperty);
  (void)database->deleteODMValueWithName(ZIVDatabaseODM2Value);  // Errors ignored.
  monitor.logWithLevel(7, 23281, "Conversion service returned empty value");
}
