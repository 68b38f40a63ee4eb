// APMTCFData: one snapshot of the IAB TCF v2 values that a consent-management platform (CMP)
// leaves in the application's standard preferences, with the purpose logic that turns them into
// the engine's consent for "ad_storage", "ad_personalization" and "ad_user_data".
//
// Numbers (advertiser consent mode, CMP SDK id, gdprApplies, policy version, purpose-one
// treatment) are held as number values (bool, integer or double) or nothing; bit strings and
// other texts as strings or nothing. Nothing reads as 0, NO, or a bit string with every bit clear.
// A publisher-restriction array holds one element per purpose 1 to 10: the restriction that
// applies to vendor 755 ("0", "1", "2", "3"), or "" when the CMP gives none.
//
// Thread safety: none. A snapshot belongs to the TCF client, which lives on the engine's worker
// queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

class ZIVUserDefaults;

// The Info.plist switch (and the persisted copy's key) of TCF data: absent means on.
inline constexpr const char* APMTCFDataEnabledPlistKey = "RIVADO_ANALYTICS_TCF_DATA_ENABLED";

// The engine's vendor id in the TCF global vendor list; its bit is at index 754 of a vendor string.
inline constexpr int64_t APMTCFDataRivadoConsentVendorID = 755;
// "ad_user_data" may be derived only from TCF policy version 4 or later.
inline constexpr int64_t APMTCFDataMinPolicyVersionToAccessAdUserDataPurpose = 4;
// The first digit of the "_tcfd" parameter.
inline constexpr int64_t APMTCFDataVersionInSDK = 1;
// The 64 characters of the compact "_tcfd" encoding; index n gives the n-th character.
inline constexpr const char* APMTCFTaggingEncodingCharacters =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
// The change-detection string in the TCF client's own preferences.
inline constexpr const char* APMTCFDataStringRepresentationUserDefaultsKey =
    "tcf_StringRepresentation";

// The CMP's keys in the application's standard preferences.
inline constexpr const char* APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey =
    "IABTCF_EnableAdvertiserConsentMode";
inline constexpr const char* APMTCFDataVendorConsentsUserDefaultsKey = "IABTCF_VendorConsents";
inline constexpr const char* APMTCFDataVendorLegitimateInterestsUserDefaultsKey =
    "IABTCF_VendorLegitimateInterests";
inline constexpr const char* APMTCFDataCmpSDKIDUserDefaultsKey = "IABTCF_CmpSdkID";
inline constexpr const char* APMTCFDataGdprAppliesUserDefaultsKey = "IABTCF_gdprApplies";
inline constexpr const char* APMTCFDataPolicyVersionUserDefaultsKey = "IABTCF_PolicyVersion";
inline constexpr const char* APMTCFDataPurposeConsentsUserDefaultsKey = "IABTCF_PurposeConsents";
inline constexpr const char* APMTCFDataPurposeLegitimateInterestsUserDefaultsKey =
    "IABTCF_PurposeLegitimateInterests";
// Followed by the purpose number 1 to 10 in the CMP's keys; alone in the persisted copy.
inline constexpr const char* APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix =
    "IABTCF_PublisherRestrictions";
inline constexpr const char* APMTCFDataPurposeOneTreatmentUserDefaultsKey =
    "IABTCF_PurposeOneTreatment";
inline constexpr const char* APMTCFDataPublisherCCUserDefaultsKey = "IABTCF_PublisherCC";

// Publisher restriction types.
inline constexpr int64_t APMTCFPublisherRestrictionNotAllowed = 0;
inline constexpr int64_t APMTCFPublisherRestrictionConsentRequired = 1;
inline constexpr int64_t APMTCFPublisherRestrictionLegitimateInterestRequired = 2;
inline constexpr int64_t APMTCFPublisherRestrictionNone = 3;

// Legal bases of a purpose.
inline constexpr int64_t APMTCFLegalBasisNotAllowed = 0;
inline constexpr int64_t APMTCFLegalBasisConflict = 1;
inline constexpr int64_t APMTCFLegalBasisConsent = 2;
inline constexpr int64_t APMTCFLegalBasisLegitimateInterest = 3;

// Consent reasons of a purpose (also the digits of "_tcfd2"); only 1 means granted.
inline constexpr int64_t APMTCFConsentReasonGranted = 1;
inline constexpr int64_t APMTCFConsentReasonNotAllowed = 3;
inline constexpr int64_t APMTCFConsentReasonNoVendorConsent = 4;
inline constexpr int64_t APMTCFConsentReasonNoVendorLegitimateInterest = 5;
inline constexpr int64_t APMTCFConsentReasonNoPurposeConsent = 6;
inline constexpr int64_t APMTCFConsentReasonNoPurposeLegitimateInterest = 7;
inline constexpr int64_t APMTCFConsentReasonConflict = 8;

// The twelve values of a snapshot: the Info.plist switch and the CMP's eleven values. A default
// APMTCFValues has the switch off and every value absent.
struct APMTCFValues {
  bool isTCFDataEnabled = false;
  std::optional<fnd::Value> isAdvertiserConsentModeEnabled;
  std::optional<std::string> vendorConsents;
  std::optional<std::string> vendorLegitimateInterests;
  std::optional<fnd::Value> cmpSDKID;
  std::optional<fnd::Value> gdprApplies;
  std::optional<fnd::Value> policyVersion;
  std::optional<std::string> purposeConsents;
  std::optional<std::string> purposeLegitimateInterests;
  std::optional<std::vector<std::string>> publisherRestrictions;
  std::optional<fnd::Value> isPurposeOneTreatmentEnabled;
  std::optional<std::string> publisherCC;
};

class APMTCFData {
 public:
  // Bound to the shared preference store, with the Info.plist switch read and no CMP value.
  APMTCFData();
  // Bound to the shared preference store, with every value as given (Info.plist is not read). A
  // number value that holds no number is taken as absent.
  explicit APMTCFData(APMTCFValues values);

  // The shared preference store (ZIVUserDefaults::sharedUserDefaults()), where the CMP's keys are.
  ZIVUserDefaults& userDefaults() const { return *userDefaults_; }
  const APMTCFValues& values() const { return values_; }
  bool isTCFDataEnabled() const { return values_.isTCFDataEnabled; }
  const std::optional<fnd::Value>& isAdvertiserConsentModeEnabled() const {
    return values_.isAdvertiserConsentModeEnabled;
  }
  const std::optional<std::string>& vendorConsents() const { return values_.vendorConsents; }
  const std::optional<std::string>& vendorLegitimateInterests() const {
    return values_.vendorLegitimateInterests;
  }
  const std::optional<fnd::Value>& cmpSDKID() const { return values_.cmpSDKID; }
  const std::optional<fnd::Value>& gdprApplies() const { return values_.gdprApplies; }
  const std::optional<fnd::Value>& policyVersion() const { return values_.policyVersion; }
  const std::optional<std::string>& purposeConsents() const { return values_.purposeConsents; }
  const std::optional<std::string>& purposeLegitimateInterests() const {
    return values_.purposeLegitimateInterests;
  }
  const std::optional<std::vector<std::string>>& publisherRestrictions() const {
    return values_.publisherRestrictions;
  }
  const std::optional<fnd::Value>& isPurposeOneTreatmentEnabled() const {
    return values_.isPurposeOneTreatmentEnabled;
  }
  const std::optional<std::string>& publisherCC() const { return values_.publisherCC; }

  // The Info.plist switch: absent gives true, a number its Boolean value, anything else false.
  static bool readTCFDataEnabledStateFromPlist();

  // Replaces every CMP value with what the shared store holds now (a missing key, or one of the
  // wrong type, gives nothing). The restriction array always gets 10 elements.
  void readFromUserDefaults();

  // Vendor 755's bit in the vendor consent / legitimate-interest string.
  bool hasRivadoInVendorConsents() const;
  bool hasRivadoInVendorLegitimateInterests() const;
  // The policy version is present and at least 4.
  bool canAccessAdUserDataPurpose() const;
  // Purpose 1 granted.
  bool isAdStoragePurposeGranted() const;
  // Purposes 3 and 4 granted.
  bool isAdPersonalizationPurposeGranted() const;
  // Policy version 4 or later, and purposes 1 and 7 granted.
  bool isAdUserDataPurposeGranted() const;
  // The consent reason of the purpose is APMTCFConsentReasonGranted.
  bool isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const;
  // Why the purpose is granted (1) or not (3 to 8), from its legal basis, the vendor's bits, the
  // purpose's bits and the purpose-one special treatment.
  int64_t consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const;
  // The legal basis of the purpose under its registration and the publisher restriction.
  int64_t legalBasisCheckFromPurposeID(int64_t purposeID) const;
  // The restriction type for purposes 1 to 10; APMTCFPublisherRestrictionNone for any other
  // purpose or when there is no array.
  int64_t publisherRestrictionForPurposeID(int64_t purposeID) const;
  // "0", "1", "2" give 0, 1, 2; anything else (the empty string included) gives 3.
  static int64_t publisherRestrictionTypeFromString(const std::string& string);
  // Purpose-one treatment is on and the publisher's country is "CH".
  bool isPurposeOneGrantedWithSpecialTreatment() const;

 private:
  // Constant after construction: the process's shared store, which lives as long as the process.
  ZIVUserDefaults* const userDefaults_;

  // The switch is set at construction; the CMP's values are replaced by readFromUserDefaults().
  APMTCFValues values_;
};

// The Boolean and integer readings of an optional number: nothing gives false and 0.
bool APMTCFNumberBoolValue(const std::optional<fnd::Value>& number);
int64_t APMTCFNumberIntegerValue(const std::optional<fnd::Value>& number);
