#include "analytics/config/tcf_client.h"

#include <charconv>
#include <utility>
#include <vector>

#include "analytics/config/consent_settings_util.h"
#include "analytics/config/tcf_data_generator.h"

namespace {

constexpr const char* kStringRepresentationVersion = "_v_=2";
constexpr const char* kNothingToRead = "_v_=2,isTCFDataEnabled=1";
constexpr const char* kEventOrigin = "auto";
constexpr const char* kEventName = "_tcf";
constexpr const char* kBundleParameter = "_tcfd";
constexpr const char* kPurposeParameter = "_tcfd2";
constexpr const char* kMigrationParameter = "_tcfm";
// The purposes whose consent reasons "_tcfd2" carries, in order.
constexpr int64_t kTcfd2Purposes[] = {1, 3, 4, 7};
constexpr int64_t kTcfd2Version = 2;
constexpr int64_t kMaxCmpSDKID = 4095;
constexpr int64_t kMaxEncodedPolicyVersion = 63;

char EncodingCharacter(int64_t index) { return APMTCFTaggingEncodingCharacters[index]; }

// A number as "%@" prints it.
std::string NumberText(const fnd::Value& number) {
  if (number.isBool()) return number.asBool() ? "1" : "0";
  if (number.isInt()) return std::to_string(number.asInt());
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), number.asDouble());
  return std::string(buffer, result.ptr);
}

std::optional<fnd::Value> NumberOrNothing(const std::optional<fnd::Value>& value) {
  if (value && (value->isBool() || value->isNumber())) return value;
  return std::nullopt;
}

std::optional<std::string> StringOrNothing(const std::optional<fnd::Value>& value) {
  if (value && value->isString()) return value->asString();
  return std::nullopt;
}

// The persisted restriction array; an element that is not a string means no restriction.
std::optional<std::vector<std::string>> RestrictionsOrNothing(
    const std::optional<fnd::Value>& value) {
  if (!value || !value->isArray()) return std::nullopt;
  std::vector<std::string> restrictions;
  for (const fnd::Value& element : *value->array()) {
    restrictions.push_back(element.isString() ? element.asString() : std::string());
  }
  return restrictions;
}

fnd::Value NumberValue(const std::optional<fnd::Value>& number) {
  return number ? *number : fnd::Value();
}

fnd::Value StringValue(const std::optional<std::string>& string) {
  return string ? fnd::Value(*string) : fnd::Value();
}

fnd::Dictionary ConsentFromData(const APMTCFData& data) {
  return fnd::Dictionary{
      {ZIVAdStorageConsentType,
       APMTCFClient::consentStatusFromEnabled(data.isAdStoragePurposeGranted())},
      {ZIVAdPersonalizationConsentType,
       APMTCFClient::consentStatusFromEnabled(data.isAdPersonalizationPurposeGranted())},
      {ZIVAdUserDataConsentType,
       APMTCFClient::consentStatusFromEnabled(data.isAdUserDataPurposeGranted())},
  };
}

}  // namespace

APMTCFEngineHooks APMTCFUnconnectedEngineHooks() { return APMTCFEngineHooks{}; }

APMTCFClient::APMTCFClient() : APMTCFClient(APMTCFUnconnectedEngineHooks()) {}

APMTCFClient::APMTCFClient(APMTCFEngineHooks engine)
    : engine_(std::move(engine)), userDefaults_(APMTCFUserDefaultSuiteName) {}

void APMTCFClient::readTCFData() { tcfData_.readFromUserDefaults(); }

void APMTCFClient::setConsentFromTCFData() {
  readTCFData();
  if (!hasTCFDataToRead() || persistedValuesEqualCurrentData()) return;
  const fnd::Dictionary consent = currentConsent();
  // Both are taken against the copy persisted before this cycle.
  const bool fix = shouldApplyOneTimeTCFVendorFix();
  const bool same = previousConsent() == consent;
  logTCFChangedEventShouldApplyOneTimeVendorFix(fix, same);
  storeCurrentData();
  if ((fix || shouldApplyTCFData()) && engine_.setConsentForKey) {
    engine_.setConsentForKey(consent, APMTCFConsentSettingsKey);
  }
}

bool APMTCFClient::shouldApplyTCFData() const {
  return tcfData_.isTCFDataEnabled() &&
         APMTCFNumberBoolValue(tcfData_.isAdvertiserConsentModeEnabled()) &&
         APMTCFNumberBoolValue(tcfData_.gdprApplies());
}

bool APMTCFClient::shouldApplyOneTimeTCFVendorFix() const {
  std::optional<std::string> persisted =
      userDefaults_.stringForKey(APMTCFDataStringRepresentationUserDefaultsKey);
  const bool oldFormat =
      !persisted || persisted->find(kStringRepresentationVersion) == std::string::npos;
  return oldFormat && shouldApplyTCFData() && !tcfData_.hasRivadoInVendorConsents();
}

bool APMTCFClient::hasTCFDataToRead() const {
  return stringRepresentationFromTCFData() != kNothingToRead;
}

bool APMTCFClient::persistedValuesEqualCurrentData() const {
  std::optional<std::string> persisted =
      userDefaults_.stringForKey(APMTCFDataStringRepresentationUserDefaultsKey);
  return persisted && *persisted == stringRepresentationFromTCFData();
}

fnd::Dictionary APMTCFClient::previousConsent() const {
  const ZIVUserDefaults& store = userDefaults_;
  APMTCFDataGenerator generator;
  generator.isTCFDataEnabled = store.boolForKey(APMTCFDataEnabledPlistKey);
  // The copy is our own, but a value of the wrong type (an edited file) reads as nothing.
  generator.isAdvertiserConsentModeEnabled =
      NumberOrNothing(store.objectForKey(APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey));
  generator.vendorConsents =
      StringOrNothing(store.objectForKey(APMTCFDataVendorConsentsUserDefaultsKey));
  generator.vendorLegitimateInterests =
      StringOrNothing(store.objectForKey(APMTCFDataVendorLegitimateInterestsUserDefaultsKey));
  generator.cmpSDKID = NumberOrNothing(store.objectForKey(APMTCFDataCmpSDKIDUserDefaultsKey));
  generator.gdprApplies = NumberOrNothing(store.objectForKey(APMTCFDataGdprAppliesUserDefaultsKey));
  generator.policyVersion =
      NumberOrNothing(store.objectForKey(APMTCFDataPolicyVersionUserDefaultsKey));
  generator.purposeConsents =
      StringOrNothing(store.objectForKey(APMTCFDataPurposeConsentsUserDefaultsKey));
  generator.purposeLegitimateInterests =
      StringOrNothing(store.objectForKey(APMTCFDataPurposeLegitimateInterestsUserDefaultsKey));
  generator.publisherRestrictions = RestrictionsOrNothing(
      store.objectForKey(APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix));
  generator.isPurposeOneTreatmentEnabled =
      NumberOrNothing(store.objectForKey(APMTCFDataPurposeOneTreatmentUserDefaultsKey));
  generator.publisherCC = StringOrNothing(store.objectForKey(APMTCFDataPublisherCCUserDefaultsKey));
  return ConsentFromData(generator.generateData());
}

fnd::Dictionary APMTCFClient::currentConsent() const { return ConsentFromData(tcfData_); }

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  const APMTCFData& data = tcfData_;
  std::vector<std::string> parts;
  parts.push_back(kStringRepresentationVersion);
  parts.push_back("isTCFDataEnabled=" + std::to_string(data.isTCFDataEnabled() ? 1 : 0));
  auto flag = [](const std::optional<fnd::Value>& number) {
    return std::to_string(APMTCFNumberBoolValue(number) ? 1 : 0);
  };
  if (data.isAdvertiserConsentModeEnabled()) {
    parts.push_back("isAdvertiserConsentModeEnabled=" +
                    flag(data.isAdvertiserConsentModeEnabled()));
  }
  if (data.cmpSDKID()) {
    parts.push_back("cmpSDKID=" + std::to_string(APMTCFNumberIntegerValue(data.cmpSDKID())));
  }
  if (data.vendorConsents()) {
    parts.push_back("hasRivadoInVendorConsents=" +
                    std::to_string(data.hasRivadoInVendorConsents() ? 1 : 0));
  }
  if (data.vendorLegitimateInterests()) {
    parts.push_back("hasRivadoInVendorLegitimateInterests=" +
                    std::to_string(data.hasRivadoInVendorLegitimateInterests() ? 1 : 0));
  }
  if (data.gdprApplies()) parts.push_back("gdprApplies=" + flag(data.gdprApplies()));
  if (data.policyVersion()) {
    parts.push_back("policyVersion=" +
                    std::to_string(APMTCFNumberIntegerValue(data.policyVersion())));
  }
  if (data.purposeConsents()) parts.push_back("purposeConsents=" + *data.purposeConsents());
  if (data.purposeLegitimateInterests()) {
    parts.push_back("purposeLegitimateInterests=" + *data.purposeLegitimateInterests());
  }
  if (const auto& restrictions = data.publisherRestrictions()) {
    bool anyRestriction = false;
    std::string joined;
    for (size_t i = 0; i < restrictions->size(); ++i) {
      if (i > 0) joined += "|";
      joined += (*restrictions)[i];
      anyRestriction = anyRestriction || !(*restrictions)[i].empty();
    }
    if (anyRestriction) parts.push_back("publisherRestrictions=" + joined);
  }
  if (data.isPurposeOneTreatmentEnabled()) {
    parts.push_back("isPurposeOneTreatmentEnabled=" +
                    NumberText(*data.isPurposeOneTreatmentEnabled()));
  }
  if (data.publisherCC()) parts.push_back("publisherCC=" + *data.publisherCC());

  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += ",";
    joined += parts[i];
  }
  return joined;
}

void APMTCFClient::storeCurrentData() {
  const APMTCFData& data = tcfData_;
  ZIVUserDefaults& store = userDefaults_;
  store.setBool(data.isTCFDataEnabled(), APMTCFDataEnabledPlistKey);
  store.setObject(NumberValue(data.isAdvertiserConsentModeEnabled()),
                  APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey);
  store.setObject(StringValue(data.vendorConsents()), APMTCFDataVendorConsentsUserDefaultsKey);
  store.setObject(StringValue(data.vendorLegitimateInterests()),
                  APMTCFDataVendorLegitimateInterestsUserDefaultsKey);
  store.setObject(NumberValue(data.cmpSDKID()), APMTCFDataCmpSDKIDUserDefaultsKey);
  store.setObject(NumberValue(data.gdprApplies()), APMTCFDataGdprAppliesUserDefaultsKey);
  store.setObject(NumberValue(data.policyVersion()), APMTCFDataPolicyVersionUserDefaultsKey);
  store.setObject(StringValue(data.purposeConsents()), APMTCFDataPurposeConsentsUserDefaultsKey);
  store.setObject(StringValue(data.purposeLegitimateInterests()),
                  APMTCFDataPurposeLegitimateInterestsUserDefaultsKey);
  fnd::Value restrictions;
  if (data.publisherRestrictions()) {
    restrictions = fnd::Value(
        fnd::Array(data.publisherRestrictions()->begin(), data.publisherRestrictions()->end()));
  }
  store.setObject(restrictions, APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix);
  store.setObject(NumberValue(data.isPurposeOneTreatmentEnabled()),
                  APMTCFDataPurposeOneTreatmentUserDefaultsKey);
  store.setObject(StringValue(data.publisherCC()), APMTCFDataPublisherCCUserDefaultsKey);
  store.setObject(fnd::Value(stringRepresentationFromTCFData()),
                  APMTCFDataStringRepresentationUserDefaultsKey);
  // The copy decides whether the next start acts again; it must not wait for a normal exit.
  store.synchronize();
}

void APMTCFClient::clearPersistedValues() { userDefaults_.clearAllData(); }

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? ZIVConsentGranted : ZIVConsentDenied;
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  const APMTCFData& data = tcfData_;
  std::string value = std::to_string(APMTCFDataVersionInSDK);
  const int64_t cmpSDKID = APMTCFNumberIntegerValue(data.cmpSDKID());
  if (cmpSDKID < 0 || cmpSDKID > kMaxCmpSDKID) {
    value += "00";
  } else {
    value += EncodingCharacter((cmpSDKID >> 6) & 63);
    value += EncodingCharacter(cmpSDKID & 63);
  }
  const int64_t policyVersion = APMTCFNumberIntegerValue(data.policyVersion());
  value += policyVersion >= 0 && policyVersion <= kMaxEncodedPolicyVersion
               ? EncodingCharacter(policyVersion)
               : '0';
  int64_t flags = 0;
  if (isDMARegion_) flags += 1;
  if (APMTCFNumberBoolValue(data.gdprApplies())) flags += 2;
  if (data.isTCFDataEnabled()) flags += 4;
  if (APMTCFNumberBoolValue(data.isAdvertiserConsentModeEnabled())) flags += 8;
  value += EncodingCharacter(flags);
  return value;
}

std::string APMTCFClient::tcfd2ParamValue() const {
  std::string value = std::to_string(kTcfd2Version);
  for (int64_t purpose : kTcfd2Purposes) {
    value += std::to_string(tcfd2ParamValueForPurposeID(purpose));
  }
  return value;
}

int64_t APMTCFClient::tcfd2ParamValueForPurposeID(int64_t purposeID) const {
  return tcfData_.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID);
}

std::string APMTCFClient::tcfdMigrationParamValueForMigrationDidOccur(
    bool migrationDidOccur, bool didMigrationChangeConsent) {
  return std::to_string(migrationDidOccur ? 1 : 0) +
         std::to_string(didMigrationChangeConsent ? 1 : 0);
}

void APMTCFClient::logTCFChangedEventShouldApplyOneTimeVendorFix(
    bool shouldApplyOneTimeVendorFix, bool isCurrentSameAsPreviousTCFConsent) {
  fnd::Dictionary parameters{
      {kBundleParameter, tcfBundleParameterValue()},
      {kPurposeParameter, tcfd2ParamValue()},
      {kMigrationParameter, tcfdMigrationParamValueForMigrationDidOccur(
                                shouldApplyOneTimeVendorFix, !isCurrentSameAsPreviousTCFConsent)},
  };
  if (engine_.logInternalEventWithOrigin) {
    engine_.logInternalEventWithOrigin(kEventOrigin, kEventName, parameters);
  }
}
