#include "analytics/config/tcf_data.h"

#include <utility>

#include "analytics/config/tcf_registration.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/text.h"

namespace {

constexpr int64_t kPublisherRestrictionPurposes = 10;

bool IsNumber(const fnd::Value& value) { return value.isBool() || value.isNumber(); }

std::optional<fnd::Value> OnlyNumber(std::optional<fnd::Value> value) {
  if (value && !IsNumber(*value)) return std::nullopt;
  return value;
}

// The one UTF-16 unit of the restriction string that applies to vendor 755, or "" when the string
// is absent or too short for it.
std::string RestrictionForRivado(const std::optional<std::string>& restrictions) {
  if (!restrictions) return "";
  const std::u16string units = fnd::ToUTF16(*restrictions);
  const size_t index = APMTCFDataRivadoConsentVendorID - 1;
  if (units.size() <= index) return "";
  const char16_t unit = units[index];
  // Half of a surrogate pair is no restriction digit; keep the element a valid string.
  if (unit >= 0xD800 && unit <= 0xDFFF) return "\xEF\xBF\xBD";
  return fnd::FromUTF16(std::u16string(1, unit));
}

}  // namespace

bool APMTCFNumberBoolValue(const std::optional<fnd::Value>& number) {
  return number && number->asBool();
}

int64_t APMTCFNumberIntegerValue(const std::optional<fnd::Value>& number) {
  return number ? number->asInt() : 0;
}

APMTCFData::APMTCFData() : userDefaults_(&ZIVUserDefaults::sharedUserDefaults()) {
  values_.isTCFDataEnabled = readTCFDataEnabledStateFromPlist();
}

APMTCFData::APMTCFData(APMTCFValues values)
    : userDefaults_(&ZIVUserDefaults::sharedUserDefaults()), values_(std::move(values)) {
  for (std::optional<fnd::Value>* number :
       {&values_.isAdvertiserConsentModeEnabled, &values_.cmpSDKID, &values_.gdprApplies,
        &values_.policyVersion, &values_.isPurposeOneTreatmentEnabled}) {
    *number = OnlyNumber(std::move(*number));
  }
}

bool APMTCFData::readTCFDataEnabledStateFromPlist() {
  std::optional<fnd::Value> value =
      fnd::Bundle::mainBundle().objectForInfoDictionaryKey(APMTCFDataEnabledPlistKey);
  if (!value) return true;
  if (IsNumber(*value)) return value->asBool();
  return false;
}

void APMTCFData::readFromUserDefaults() {
  ZIVUserDefaults& store = *userDefaults_;
  values_.isAdvertiserConsentModeEnabled =
      store.numberForKey(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey);
  values_.vendorConsents = store.stringForKey(APMTCFDataVendorConsentsUserDefaultsKey);
  values_.vendorLegitimateInterests =
      store.stringForKey(APMTCFDataVendorLegitimateInterestsUserDefaultsKey);
  values_.cmpSDKID = store.numberForKey(APMTCFDataCmpSDKIDUserDefaultsKey);
  values_.gdprApplies = store.numberForKey(APMTCFDataGdprAppliesUserDefaultsKey);
  values_.policyVersion = store.numberForKey(APMTCFDataPolicyVersionUserDefaultsKey);
  values_.purposeConsents = store.stringForKey(APMTCFDataPurposeConsentsUserDefaultsKey);
  values_.purposeLegitimateInterests =
      store.stringForKey(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey);
  std::vector<std::string> restrictions;
  for (int64_t purpose = 1; purpose <= kPublisherRestrictionPurposes; ++purpose) {
    restrictions.push_back(RestrictionForRivado(store.stringForKey(
        APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix + std::to_string(purpose))));
  }
  values_.publisherRestrictions = std::move(restrictions);
  values_.isPurposeOneTreatmentEnabled =
      store.numberForKey(APMTCFDataPurposeOneTreatmentUserDefaultsKey);
  values_.publisherCC = store.stringForKey(APMTCFDataPublisherCCUserDefaultsKey);
}

bool APMTCFData::hasRivadoInVendorConsents() const {
  return values_.vendorConsents &&
         isBitEnabledAtIndex(*values_.vendorConsents, APMTCFDataRivadoConsentVendorID - 1);
}

bool APMTCFData::hasRivadoInVendorLegitimateInterests() const {
  return values_.vendorLegitimateInterests &&
         isBitEnabledAtIndex(*values_.vendorLegitimateInterests,
                             APMTCFDataRivadoConsentVendorID - 1);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
  return values_.policyVersion &&
         values_.policyVersion->asInt() >= APMTCFDataMinPolicyVersionToAccessAdUserDataPurpose;
}

bool APMTCFData::isAdStoragePurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(1);
}

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(3) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(4);
}

bool APMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGrantedWithRestrictionCheckForPurposeID(1) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(7);
}

bool APMTCFData::isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const {
  return consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID) ==
         APMTCFConsentReasonGranted;
}

int64_t APMTCFData::consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
    int64_t purposeID) const {
  // Purpose n is the bit at index n - 1; a purpose below 1 has no bit.
  auto purposeBit = [purposeID](const std::optional<std::string>& bits) {
    return bits && purposeID >= 1 && isBitEnabledAtIndex(*bits, purposeID - 1);
  };
  switch (legalBasisCheckFromPurposeID(purposeID)) {
    case APMTCFLegalBasisLegitimateInterest:
      if (!hasRivadoInVendorLegitimateInterests()) {
        return APMTCFConsentReasonNoVendorLegitimateInterest;
      }
      return purposeBit(values_.purposeLegitimateInterests)
                 ? APMTCFConsentReasonGranted
                 : APMTCFConsentReasonNoPurposeLegitimateInterest;
    case APMTCFLegalBasisConsent:
      if (purposeID == 1 && isPurposeOneGrantedWithSpecialTreatment() &&
          hasRivadoInVendorConsents()) {
        return APMTCFConsentReasonGranted;
      }
      if (!hasRivadoInVendorConsents()) return APMTCFConsentReasonNoVendorConsent;
      return purposeBit(values_.purposeConsents) ? APMTCFConsentReasonGranted
                                                 : APMTCFConsentReasonNoPurposeConsent;
    case APMTCFLegalBasisConflict:
      return APMTCFConsentReasonConflict;
    default:
      return APMTCFConsentReasonNotAllowed;
  }
}

int64_t APMTCFData::legalBasisCheckFromPurposeID(int64_t purposeID) const {
  const APMTCFRegistration& registration = APMTCFRegistration::sharedInstance();
  const int64_t restriction = publisherRestrictionForPurposeID(purposeID);
  if (restriction == APMTCFPublisherRestrictionNotAllowed) return APMTCFLegalBasisNotAllowed;
  const bool flexible = registration.hasFlexibleLegitimateInterestForPurposeID(purposeID);
  if (registration.hasConsentForPurposeID(purposeID)) {
    if (restriction == APMTCFPublisherRestrictionLegitimateInterestRequired) {
      return flexible ? APMTCFLegalBasisLegitimateInterest : APMTCFLegalBasisConflict;
    }
    return APMTCFLegalBasisConsent;
  }
  if (registration.hasLegitimateInterestForPurposeID(purposeID)) {
    if (restriction == APMTCFPublisherRestrictionConsentRequired) {
      return flexible ? APMTCFLegalBasisConsent : APMTCFLegalBasisConflict;
    }
    return APMTCFLegalBasisLegitimateInterest;
  }
  return APMTCFLegalBasisNotAllowed;
}

int64_t APMTCFData::publisherRestrictionForPurposeID(int64_t purposeID) const {
  if (!values_.publisherRestrictions || purposeID < 1 ||
      purposeID > static_cast<int64_t>(values_.publisherRestrictions->size())) {
    return APMTCFPublisherRestrictionNone;
  }
  return publisherRestrictionTypeFromString((*values_.publisherRestrictions)[purposeID - 1]);
}

int64_t APMTCFData::publisherRestrictionTypeFromString(const std::string& string) {
  if (string == "0") return APMTCFPublisherRestrictionNotAllowed;
  if (string == "1") return APMTCFPublisherRestrictionConsentRequired;
  if (string == "2") return APMTCFPublisherRestrictionLegitimateInterestRequired;
  return APMTCFPublisherRestrictionNone;
}

bool APMTCFData::isPurposeOneGrantedWithSpecialTreatment() const {
  return APMTCFNumberBoolValue(values_.isPurposeOneTreatmentEnabled) && values_.publisherCC == "CH";
}
