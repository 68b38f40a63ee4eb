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

APMTCFData::APMTCFData()
    : userDefaults_(&ZIVUserDefaults::sharedUserDefaults()),
      isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()) {}

APMTCFData::APMTCFData(
    bool isTCFDataEnabled, std::optional<fnd::Value> isAdvertiserConsentModeEnabled,
    std::optional<std::string> vendorConsents, std::optional<std::string> vendorLegitimateInterests,
    std::optional<fnd::Value> cmpSDKID, std::optional<fnd::Value> gdprApplies,
    std::optional<fnd::Value> policyVersion, std::optional<std::string> purposeConsents,
    std::optional<std::string> purposeLegitimateInterests,
    std::optional<std::vector<std::string>> publisherRestrictions,
    std::optional<fnd::Value> isPurposeOneTreatmentEnabled, std::optional<std::string> publisherCC)
    : userDefaults_(&ZIVUserDefaults::sharedUserDefaults()),
      isTCFDataEnabled_(isTCFDataEnabled),
      isAdvertiserConsentModeEnabled_(OnlyNumber(std::move(isAdvertiserConsentModeEnabled))),
      vendorConsents_(std::move(vendorConsents)),
      vendorLegitimateInterests_(std::move(vendorLegitimateInterests)),
      cmpSDKID_(OnlyNumber(std::move(cmpSDKID))),
      gdprApplies_(OnlyNumber(std::move(gdprApplies))),
      policyVersion_(OnlyNumber(std::move(policyVersion))),
      purposeConsents_(std::move(purposeConsents)),
      purposeLegitimateInterests_(std::move(purposeLegitimateInterests)),
      publisherRestrictions_(std::move(publisherRestrictions)),
      isPurposeOneTreatmentEnabled_(OnlyNumber(std::move(isPurposeOneTreatmentEnabled))),
      publisherCC_(std::move(publisherCC)) {}

bool APMTCFData::readTCFDataEnabledStateFromPlist() {
  std::optional<fnd::Value> value =
      fnd::Bundle::mainBundle().objectForInfoDictionaryKey(APMTCFDataEnabledPlistKey);
  if (!value) return true;
  if (IsNumber(*value)) return value->asBool();
  return false;
}

void APMTCFData::readFromUserDefaults() {
  ZIVUserDefaults& store = *userDefaults_;
  isAdvertiserConsentModeEnabled_ =
      store.numberForKey(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey);
  vendorConsents_ = store.stringForKey(APMTCFDataVendorConsentsUserDefaultsKey);
  vendorLegitimateInterests_ =
      store.stringForKey(APMTCFDataVendorLegitimateInterestsUserDefaultsKey);
  cmpSDKID_ = store.numberForKey(APMTCFDataCmpSDKIDUserDefaultsKey);
  gdprApplies_ = store.numberForKey(APMTCFDataGdprAppliesUserDefaultsKey);
  policyVersion_ = store.numberForKey(APMTCFDataPolicyVersionUserDefaultsKey);
  purposeConsents_ = store.stringForKey(APMTCFDataPurposeConsentsUserDefaultsKey);
  purposeLegitimateInterests_ =
      store.stringForKey(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey);
  std::vector<std::string> restrictions;
  for (int64_t purpose = 1; purpose <= kPublisherRestrictionPurposes; ++purpose) {
    restrictions.push_back(RestrictionForRivado(store.stringForKey(
        APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix + std::to_string(purpose))));
  }
  publisherRestrictions_ = std::move(restrictions);
  isPurposeOneTreatmentEnabled_ = store.numberForKey(APMTCFDataPurposeOneTreatmentUserDefaultsKey);
  publisherCC_ = store.stringForKey(APMTCFDataPublisherCCUserDefaultsKey);
}

bool APMTCFData::hasRivadoInVendorConsents() const {
  return vendorConsents_ &&
         isBitEnabledAtIndex(*vendorConsents_, APMTCFDataRivadoConsentVendorID - 1);
}

bool APMTCFData::hasRivadoInVendorLegitimateInterests() const {
  return vendorLegitimateInterests_ &&
         isBitEnabledAtIndex(*vendorLegitimateInterests_, APMTCFDataRivadoConsentVendorID - 1);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
  return policyVersion_ &&
         policyVersion_->asInt() >= APMTCFDataMinPolicyVersionToAccessAdUserDataPurpose;
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
      return purposeBit(purposeLegitimateInterests_)
                 ? APMTCFConsentReasonGranted
                 : APMTCFConsentReasonNoPurposeLegitimateInterest;
    case APMTCFLegalBasisConsent:
      if (purposeID == 1 && isPurposeOneGrantedWithSpecialTreatment() &&
          hasRivadoInVendorConsents()) {
        return APMTCFConsentReasonGranted;
      }
      if (!hasRivadoInVendorConsents()) return APMTCFConsentReasonNoVendorConsent;
      return purposeBit(purposeConsents_) ? APMTCFConsentReasonGranted
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
  if (!publisherRestrictions_ || purposeID < 1 ||
      purposeID > static_cast<int64_t>(publisherRestrictions_->size())) {
    return APMTCFPublisherRestrictionNone;
  }
  return publisherRestrictionTypeFromString((*publisherRestrictions_)[purposeID - 1]);
}

int64_t APMTCFData::publisherRestrictionTypeFromString(const std::string& string) {
  if (string == "0") return APMTCFPublisherRestrictionNotAllowed;
  if (string == "1") return APMTCFPublisherRestrictionConsentRequired;
  if (string == "2") return APMTCFPublisherRestrictionLegitimateInterestRequired;
  return APMTCFPublisherRestrictionNone;
}

bool APMTCFData::isPurposeOneGrantedWithSpecialTreatment() const {
  return APMTCFNumberBoolValue(isPurposeOneTreatmentEnabled_) && publisherCC_ == "CH";
}
