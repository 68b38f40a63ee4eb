// APMTCFClient: turns the IAB TCF v2 values that a consent-management platform (CMP) leaves in
// the application's standard preferences into the engine's consent for "ad_storage",
// "ad_personalization" and "ad_user_data", applied as consent source 5 under the key
// "consent_settings_tcf".
//
// The client keeps a copy of the last values it acted on in a preference suite of its own
// (APMTCFUserDefaultSuiteName), so that it acts only when the CMP's values change: each change
// logs one internal "_tcf" event that describes the TCF state in three short parameters, stores
// the new copy and, when TCF applies, hands the consent to the engine. An unchanged CMP state makes
// every later cycle a no-op.
//
// The engine is reached only through APMTCFEngineHooks: logging an internal event and setting
// consent for a persistence key. A client made without hooks is unconnected: it still reads,
// compares and stores, but its event and its consent go nowhere.
//
// Thread safety: none. The engine makes one client at start and uses it only on its worker queue.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "analytics/config/tcf_data.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/value.h"

// The client's own preference suite, apart from the application's standard preferences.
inline constexpr const char* APMTCFUserDefaultSuiteName = "com.rivado.measurement.tcf";
// The engine's persistence key of consent that comes from TCF data (consent source 5).
inline constexpr const char* APMTCFConsentSettingsKey = "consent_settings_tcf";

// What the client needs of the engine's facade (ZIVAnalytics).
struct APMTCFEngineHooks {
  // Logs an internal event: origin "auto", name "_tcf", three string parameters.
  std::function<void(const std::string& origin, const std::string& name,
                     const fnd::Dictionary& parameters)>
      logInternalEventWithOrigin;
  // Persists a consent settings dictionary under the persistence key of its source and applies
  // it to the consent state.
  std::function<void(const fnd::Dictionary& consentSettings, const std::string& key)>
      setConsentForKey;
};

// Hooks that reach no engine: empty functions, so the event and the consent are dropped. Used
// until the engine's facade is connected by whoever creates the client.
APMTCFEngineHooks APMTCFUnconnectedEngineHooks();

class APMTCFClient {
 public:
  // An unconnected client (APMTCFUnconnectedEngineHooks()).
  APMTCFClient();
  // A fresh snapshot (Info.plist switch read, no CMP value yet), isDMARegion() true, and the own
  // preference suite opened.
  explicit APMTCFClient(APMTCFEngineHooks engine);
  APMTCFClient(const APMTCFClient&) = delete;
  APMTCFClient& operator=(const APMTCFClient&) = delete;

  // The current snapshot.
  const APMTCFData& tcfData() const { return tcfData_; }
  // The client's own preference suite, holding the persisted copy.
  ZIVUserDefaults& userDefaults() { return userDefaults_; }
  bool isDMARegion() const { return isDMARegion_; }
  void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }

  // Reads the CMP's values into the snapshot.
  void readTCFData();

  // The whole cycle: read; stop when there is nothing to read or nothing changed since the
  // persisted copy; else log "_tcf", store the copy, and apply the consent under
  // "consent_settings_tcf" when TCF applies or the one-time vendor fix holds.
  void setConsentFromTCFData();

  // TCF data is on and both advertiser consent mode and gdprApplies are true.
  bool shouldApplyTCFData() const;
  // The persisted copy predates the current format (no "_v_=2"), TCF applies, and vendor 755 has
  // no consent: such a copy once recorded consent that must be corrected one time.
  bool shouldApplyOneTimeTCFVendorFix() const;
  // The change-detection string says more than "_v_=2,isTCFDataEnabled=1".
  bool hasTCFDataToRead() const;
  // The persisted change-detection string exists and equals the current one.
  bool persistedValuesEqualCurrentData() const;

  // The consent the persisted copy gave, and the consent the current snapshot gives:
  // {"ad_storage", "ad_personalization", "ad_user_data"} to "granted" or "denied".
  fnd::Dictionary previousConsent() const;
  fnd::Dictionary currentConsent() const;

  // The snapshot as one comparable string, "_v_=2,isTCFDataEnabled=..,..".
  std::string stringRepresentationFromTCFData() const;
  // Replaces the persisted copy with the current snapshot and its string, and writes the suite.
  void storeCurrentData();
  // Removes every value of the own suite.
  void clearPersistedValues();
  // "granted" for true, "denied" for false.
  static std::string consentStatusFromEnabled(bool enabled);

  // The "_tcfd" parameter: the SDK's TCF version, two characters of the CMP SDK id, one of the
  // policy version and one of flags (DMA region 1, gdprApplies 2, TCF enabled 4, advertiser
  // consent mode 8), in APMTCFTaggingEncodingCharacters.
  std::string tcfBundleParameterValue() const;
  // The "_tcfd2" parameter: "2" and the consent reasons of purposes 1, 3, 4 and 7.
  std::string tcfd2ParamValue() const;
  int64_t tcfd2ParamValueForPurposeID(int64_t purposeID) const;
  // The "_tcfm" parameter: the two flags as "0"/"1" digits.
  static std::string tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                 bool didMigrationChangeConsent);
  // Logs the "_tcf" event of the current snapshot through the engine hooks.
  void logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                     bool isCurrentSameAsPreviousTCFConsent);

 private:
  // Constant after construction.
  const APMTCFEngineHooks engine_;

  // Used only on the engine's worker queue.
  APMTCFData tcfData_;
  ZIVUserDefaults userDefaults_;
  bool isDMARegion_ = true;
};
