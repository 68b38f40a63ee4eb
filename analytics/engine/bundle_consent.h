// Consent and data-control stamping of upload bundles: just before a bundle leaves the device it
// gets the consent state that governs it, and loses what consent or the server's data controls do
// not allow (device identifiers, the app instance ID, user properties, device details). Whether
// two bundles may travel in one request depends on these fields too. Free functions over a
// MeasurementBundle; they keep no state.
//
// Consent signals: "G1" then one character for ad storage (index 2) and one for analytics storage
// (index 3); "0", "d" or "D" denies; a string shorter than 4 characters denies nothing.
//
// Thread safety: none; the caller owns the bundle (the engine's worker queue).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class APMPBMeasurementBundle;
class APMPBUserAttribute;
class ZIVEvent;
class ZIVIdentity;
struct ZIVQueuedBundle;

// Names of the server's data controls.
inline constexpr const char* ZIVDataControlAppInstanceID = "app_instance_id";
inline constexpr const char* ZIVDataControlUserID = "user_id";
inline constexpr const char* ZIVDataControlOSVersion = "os_version";
inline constexpr const char* ZIVDataControlDeviceInfo = "device_info";
inline constexpr const char* ZIVDataControlDeviceModel = "device_model";
inline constexpr const char* ZIVDataControlEnhancedUserID = "enhanced_user_id";

// What the stamping reads of the identity, read once per upload.
struct ZIVBundleIdentityValues {
  bool iOS14OrAbove = true;
  uint64_t appleConsentStatus = 0;
  bool hasLimitedAdTracking = false;
  bool limitedAdTracking = false;
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorDeviceID;
  std::optional<std::string> appInstanceID;
  std::string ephemeralAppInstanceID;

  static ZIVBundleIdentityValues fromIdentity(ZIVIdentity& identity);
};

// What the stamping reads of the server settings.
struct ZIVBundleServerValues {
  bool isDMARegion = false;
  std::set<std::string> corePlatformServices;
};

// Whether a consent signals string denies ad storage (index 2) / analytics storage (index 3).
bool ZIVIsAdStorageDenied(const std::string& consentSignals);
bool ZIVIsAnalyticsStorageDenied(const std::string& consentSignals);

// Consent signals (tag 52), tracking status (53) and the device and app identifiers (19, 27, 21,
// 63, 29, 20) by the consent that applies. With `isFirstOpen` off a bundle that already holds
// consent signals keeps them and they decide.
void ZIVUpdateConsentSignalsAndIdentifiers(APMPBMeasurementBundle& bundle,
                                           const std::string& consentSignals,
                                           bool gateIDFAOnATTMASEnabled,
                                           const ZIVBundleIdentityValues& identity,
                                           bool isFirstOpen);

// Consent diagnostics (71), DMA region (72), core platform services (73) and the "_npa" user
// property. Each of 71 to 73 is written only with `isFirstOpen` on or when absent.
void ZIVUpdateDMAConsentSignals(APMPBMeasurementBundle& bundle,
                                const std::string& consentDiagnostics, bool isAdUserDataDenied,
                                const std::shared_ptr<APMPBUserAttribute>& npaAttribute,
                                const ZIVBundleServerValues& settings, bool isFirstOpen);

// Applies the server's data controls and lists them in tag 64.
void ZIVUpdateDataControls(APMPBMeasurementBundle& bundle,
                           const std::vector<std::string>& dataControls,
                           const ZIVBundleIdentityValues& identity);

// True when any event of the bundle is the first open "_f"; false for null.
bool ZIVIsFirstOpenBundle(const APMPBMeasurementBundle* bundle);
// The same for a bundle read for upload, whose events may be held apart undecoded: their names
// are read from their encodings.
bool ZIVIsFirstOpenBundle(const ZIVQueuedBundle& bundle);

// True when both bundles carry the same consent state: tags 52, 71 and 73 equal as strings (both
// absent is equal, one absent is not), tag 72 equal, and equal "_npa" integers when either has
// one (a missing one reads 0).
bool ZIVBundlesHaveCompatibleConsentState(const APMPBMeasurementBundle* first,
                                          const APMPBMeasurementBundle* second);

// The first user property named "_npa", or null.
std::shared_ptr<APMPBUserAttribute> APMNPAUserPropertyFromBundle(
    const APMPBMeasurementBundle& bundle);

// Whether an event counts against the daily real-time cap: not in debug mode, not "_iap", "_f",
// "_dcu" or "_fx".
bool ZIVIsSubjectToMaxRealtimeCountPerDay(const ZIVEvent& event, bool isDebugMode);
// Whether it counts against the daily DCU real-time cap: "_dcu" outside debug mode.
bool ZIVIsSubjectToMaxDCURealtimeCountPerDay(const ZIVEvent& event, bool isDebugMode);
