// ZIVMeasurementODM2: the conversion service form of on-device conversion measurement. An optional
// service object ("ODCConversionService", found by name) computes a value on the device; the
// engine tells it the first launch time, asks it after each configuration fetch and keeps the
// answer as the ODM row "odm2_value", the user property "_psmvalue_gads" and an "_fx" event.
//
// Log codes 23268 to 23295 through the engine's monitor.
//
// Thread safety: worker queue only; the service's completion may arrive on any thread and is
// moved to the worker queue ("ZIVMeasurement:200") before anything is touched.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "analytics/attribution/on_device_conversion_clients.h"

class ZIVAttributionEngine;

inline constexpr const char* APMODM2EnabledPlistKey =
    "RIVADO_ADS_ON_DEVICE_CONVERSION_EVENT_DATA_ENABLED";
inline constexpr const char* APMODM1AndODM2LinkedExceptionName =
    "MeasurementDeprecatedOnDeviceConversionException";

class ZIVMeasurementODM2 : public std::enable_shared_from_this<ZIVMeasurementODM2> {
 public:
  static std::shared_ptr<ZIVMeasurementODM2> create(std::weak_ptr<ZIVAttributionEngine> engine);

  void checkODM2DependencyOnWorkerQueue();
  void updateAdsOnDeviceConversionMeasurement();
  void handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                        const std::optional<fnd::Error>& error);

  bool isAdsOnDeviceConversionEnabled();
  bool isODM2EnabledInPlist();
  bool isAdsOnDeviceConversionLinked();
  bool isRivadoAdsOnDeviceConversionLinked();
  bool isZezivAppAdsOnDeviceConversionLinked();
  std::shared_ptr<ZIVRuntimeClass> conversionServiceClass();
  std::shared_ptr<ODCConversionService> conversionServiceFromReflection();
  // Seconds since 1970 of the first open, nullopt when unknown.
  std::optional<double> firstLaunchDate();

 private:
  explicit ZIVMeasurementODM2(std::weak_ptr<ZIVAttributionEngine> engine);

  const std::weak_ptr<ZIVAttributionEngine> engine_;
  // Worker queue only: found once, kept for the process.
  std::shared_ptr<ODCConversionService> conversionService_;
};
