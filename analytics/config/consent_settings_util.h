// ZIVConsentSettingsUtil: the engine's consent state. It holds the status of each of the four
// consent types, the source the current state came from, the defaults that apply when nothing
// explicit is known (Info.plist, server, regional rules, or delegation to another type), and it
// builds the two short strings every upload bundle carries: the consent signals ("G1..") and the
// consent diagnostics ("1....").
//
// Vocabulary. A settings dictionary maps a type string ("ad_storage", "analytics_storage",
// "ad_user_data", "ad_personalization") to a status string ("granted", "denied" or, for the last
// two types only, "eu_consent_policy": the regional default applies). Statuses compare
// case-insensitively; a status that is not a string is neither granted nor denied. Sources rank by
// number, the lower winning; 5 (TCF) and 10 (third party) rank equal.
//
// The process's state is sharedInstance(). Persisting it, choosing when to call the setters and
// logging the "_tcf" event belong to the measurement engine.
//
// Thread safety: every method may be called from any thread. All state lives on one serial queue
// of utility quality labelled "ZIVConsentSettingsUtilQueue" (serialQueue()). Readers run
// synchronously on it, so they see every write queued before them, and return copies; writers are
// queued asynchronously and return at once. A reader called from a block on the queue itself runs
// inline.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

// Consent types as numbers (ZIVConsentTypeStringFromEnum) and as the strings of a settings
// dictionary.
inline constexpr int64_t ZIVConsentTypeAdStorage = 1;
inline constexpr int64_t ZIVConsentTypeAnalyticsStorage = 2;
inline constexpr int64_t ZIVConsentTypeAdUserData = 3;
inline constexpr int64_t ZIVConsentTypeAdPersonalization = 4;
inline constexpr const char* ZIVAdStorageConsentType = "ad_storage";
inline constexpr const char* ZIVAnalyticsStorageConsentType = "analytics_storage";
inline constexpr const char* ZIVAdUserDataConsentType = "ad_user_data";
inline constexpr const char* ZIVAdPersonalizationConsentType = "ad_personalization";

// Consent statuses as numbers (ZIVConsentStatusStringFromEnum) and as strings.
inline constexpr int64_t ZIVConsentStatusGranted = 1;
inline constexpr int64_t ZIVConsentStatusDenied = 2;
inline constexpr const char* ZIVConsentGranted = "granted";
inline constexpr const char* ZIVConsentDenied = "denied";
inline constexpr const char* ZIVConsentEUConsentPolicy = "eu_consent_policy";

// Consent sources; the lower number has the higher priority.
inline constexpr int64_t ZIVConsentSourceTCF = 5;
inline constexpr int64_t ZIVConsentSourceThirdParty = 10;
inline constexpr int64_t ZIVConsentSourcePlistDefaults = 20;
inline constexpr int64_t ZIVConsentSourceApplication = 30;
inline constexpr int64_t ZIVConsentSourceRestoredAtStart = 40;
inline constexpr int64_t ZIVConsentSourceNone = 100;

// Diagnostic digits, one per consent type in the consent diagnostics.
inline constexpr int64_t ZIVConsentDiagnosticUnknown = 0;
inline constexpr int64_t ZIVConsentDiagnosticDefaultSettings = 1;
inline constexpr int64_t ZIVConsentDiagnosticDelegated = 2;
inline constexpr int64_t ZIVConsentDiagnosticPlistDefaults = 3;
inline constexpr int64_t ZIVConsentDiagnosticRestoredAtStart = 4;
inline constexpr int64_t ZIVConsentDiagnosticApplicationOrThirdParty = 5;
inline constexpr int64_t ZIVConsentDiagnosticTCF = 7;
inline constexpr int64_t ZIVConsentDiagnosticRegionalDefault = 8;
inline constexpr int64_t ZIVConsentDiagnosticNotSet = 9;

// Info.plist keys of the consent defaults.
inline constexpr const char* ZIVAdStoragePlistKey = "RIVADO_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
inline constexpr const char* ZIVAnalyticsStoragePlistKey =
    "RIVADO_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
inline constexpr const char* ZIVAdUserDataPlistKey = "RIVADO_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
inline constexpr const char* ZIVAllowAdPersonalizationSignalsPlistKey =
    "RIVADO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";

// The type string of a type number 1 to 4; "" for any other number.
std::string ZIVConsentTypeStringFromEnum(int64_t type);
// "granted" for 1, "denied" for 2; "" for any other number.
std::string ZIVConsentStatusStringFromEnum(int64_t status);
// The four type strings in the fixed order ad_storage, analytics_storage, ad_user_data,
// ad_personalization. Built once; every per-type loop of the engine uses this order.
const std::vector<std::string>& ZIVAllConsentTypes();

// True when `value` is a string whose lower-case form equals the lower-case form of `status`.
// A missing (null) value or one of another kind is never equal.
bool ZIVIsConsentSettingEqualToValue(const fnd::Value& value, std::string_view status);
// True when `value` is "eu_consent_policy" (any case) and `type` is "ad_user_data" or
// "ad_personalization".
bool ZIVShouldApplyRegionalConsent(std::string_view type, const fnd::Value& value);
// The status that "eu_consent_policy" stands for: the regional default stored for the type in
// `regionalDefaults`, else "denied" for "ad_user_data" and "ad_personalization" and "granted" for
// every other type.
fnd::Value ZIVRegionalConsentStatusForType(std::string_view type,
                                           const std::optional<fnd::Dictionary>& regionalDefaults);
// The status an Info.plist value gives a type: "eu_consent_policy" (any case) gives
// "eu_consent_policy" for "ad_user_data" and "ad_personalization" and nothing for the others;
// otherwise a number or a string read as a Boolean gives "granted" (true) or "denied" (false);
// any other value gives nothing.
std::optional<std::string> ZIVConsentStatusFromPlistValue(std::string_view type,
                                                          const fnd::Value& value);
// A readable status of a type: its explicit status in `consentSettings`, or, when the regional
// rule applies to it, "<regional status> (eu_consent_policy)". Nothing when the type has no
// explicit status.
std::optional<std::string> ZIVConsentStatusDescription(
    std::string_view type, const std::optional<fnd::Dictionary>& consentSettings,
    const std::optional<fnd::Dictionary>& regionalDefaults);
// One character of the consent signals: "0" for denied, "1" for granted, "-" for anything else
// (missing, "eu_consent_policy", not a string).
std::string ZIVConsentBitV1(const fnd::Value& value);

class ZIVConsentSettingsUtil {
 public:
  // The process's consent state, made on first use and alive for the whole process.
  static ZIVConsentSettingsUtil& sharedInstance();

  // A state of its own (source 100, version 1, nothing set) on a new queue labelled
  // "ZIVConsentSettingsUtilQueue". Writes still queued when it is destroyed are dropped.
  ZIVConsentSettingsUtil();
  ~ZIVConsentSettingsUtil();
  ZIVConsentSettingsUtil(const ZIVConsentSettingsUtil&) = delete;
  ZIVConsentSettingsUtil& operator=(const ZIVConsentSettingsUtil&) = delete;

  // The consent queue.
  const std::shared_ptr<dispatch::Queue>& serialQueue() const { return queue_; }

  // Readers.

  // Copies of the dictionaries; nullopt when unset.
  std::optional<fnd::Dictionary> consentSettings() const;
  std::optional<fnd::Dictionary> defaultSettings() const;
  std::optional<fnd::Dictionary> delegatedSettings() const;
  std::optional<fnd::Dictionary> regionalDefaults() const;
  // The current source (100 when none) and consent-mode version (1 or 2).
  int64_t consentSource() const;
  int64_t version() const;
  // True only when the explicit status of the type is "denied".
  bool isAdStorageDenied() const;
  bool isAnalyticsStorageDenied() const;
  // Whether "ad_user_data" counts as denied: its explicit status (the regional status when that
  // is "eu_consent_policy"); without one, the explicit status of the type it is delegated to;
  // without that, its default. Nothing at all counts as not denied.
  bool isAdUserDataDenied() const;
  // 0 (denied), 1 (granted) or nullopt for "ad_personalization": its explicit status (the regional
  // status when that is "eu_consent_policy"), else its default.
  std::optional<int64_t> adPersonalization() const;
  // "G1" followed by ZIVConsentBitV1 of the explicit "ad_storage" and "analytics_storage".
  std::string consentSignals() const;
  // Recomputes the diagnostic digits (keeping each explicit type's digit) and gives "1" followed
  // by the digit of each type in the fixed order: always five characters.
  std::string consentDiagnostics() const;
  // "ad_storage is S. analytics_storage is S." ("granted" when not set), followed by
  // " ad_user_data is S." and " ad_personalization is S." for those explicitly set.
  std::string description() const;
  // True when `wasAdUserDataDenied` differs from isAdUserDataDenied() now.
  bool didAdUserDataConsentChange(bool wasAdUserDataDenied) const;
  // True when `source` equals the current source, or the two are 5 and 10 in either order.
  bool isConsentSourceEqualPriority(int64_t source) const;
  // True when `source` ranks at least as high as the current source (ties pass).
  bool isConsentSourceHigherPriority(int64_t source) const;

  // Writers: queued, they return at once.

  // Stores the source and recomputes every diagnostic digit from it.
  void setConsentSource(int64_t source);
  // Stores 1 or 2; any other value is ignored.
  void setVersion(int64_t version);
  // Replaces the explicit settings. nullopt also resets the source to 100 and recomputes the
  // diagnostic digits.
  void setConsentSettings(std::optional<fnd::Dictionary> settings);
  // Replace that dictionary (nullopt clears it).
  void setDefaultSettings(std::optional<fnd::Dictionary> settings);
  void setDelegatedSettings(std::optional<fnd::Dictionary> settings);
  void setRegionalDefaults(std::optional<fnd::Dictionary> settings);
  // Adds the entries to the explicit settings, the given ones winning. Source and digits stay.
  void updateSettings(const fnd::Dictionary& settings);
  // As above, then sets the source, and the diagnostic digit of every key of `settings` from it
  // (5 gives 7; 10 and 30 give 5; 20 gives 3; 40 gives 4; any other source 0).
  void updateSettings(const fnd::Dictionary& settings, int64_t consentSource);
  // Sets one diagnostic digit. A digit outside 0 to 9 is ignored, so the diagnostics stay five
  // characters long.
  void setDiagnosticSource(int64_t digit, const std::string& consentType);
  // Removes an explicit "ad_personalization" and sets its digit to 0; nothing when there is none.
  void unsetAdPersonalization();
  // Back to source 100 with every dictionary cleared and every digit 0. The version stays.
  void clearAllSettings();

  // Pure helpers.

  // Only the entries of the four known types, in the fixed order.
  static fnd::Dictionary consentSettingsFromDictionary(const fnd::Dictionary& dictionary);
  // The defaults of the main bundle's Info.plist (see the plist key constants): each value through
  // ZIVConsentStatusFromPlistValue; "ad_personalization" only when its value is a string.
  static fnd::Dictionary consentSettingsFromPlist();

 private:
  struct State;

  // Queues a write on the consent queue.
  void write(std::function<void(State&)> block);
  // Runs a read on the consent queue and waits for it.
  template <typename Result, typename Reader>
  Result read(Reader&& reader) const;

  // Constant after construction. The state is shared with the blocks queued on the queue, so a
  // block never outlives what it touches.
  const std::shared_ptr<State> state_;
  const std::shared_ptr<dispatch::Queue> queue_;
};
