// APMTCFDataGenerator: a settable bag of the twelve values of an APMTCFData, used to rebuild a
// snapshot from the TCF client's persisted copy. Every property starts absent (and the switch
// off); generateData() makes a snapshot from the current values.
//
// Thread safety: none; used where its snapshot is used.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/config/tcf_data.h"
#include "platform/foundation/value.h"

class APMTCFDataGenerator {
 public:
  bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
  void setIsTCFDataEnabled(bool value) { isTCFDataEnabled_ = value; }
  const std::optional<fnd::Value>& isAdvertiserConsentModeEnabled() const {
    return isAdvertiserConsentModeEnabled_;
  }
  void setIsAdvertiserConsentModeEnabled(std::optional<fnd::Value> value) {
    isAdvertiserConsentModeEnabled_ = std::move(value);
  }
  const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
  void setVendorConsents(std::optional<std::string> value) { vendorConsents_ = std::move(value); }
  const std::optional<std::string>& vendorLegitimateInterests() const {
    return vendorLegitimateInterests_;
  }
  void setVendorLegitimateInterests(std::optional<std::string> value) {
    vendorLegitimateInterests_ = std::move(value);
  }
  const std::optional<fnd::Value>& cmpSDKID() const { return cmpSDKID_; }
  void setCmpSDKID(std::optional<fnd::Value> value) { cmpSDKID_ = std::move(value); }
  const std::optional<fnd::Value>& gdprApplies() const { return gdprApplies_; }
  void setGdprApplies(std::optional<fnd::Value> value) { gdprApplies_ = std::move(value); }
  const std::optional<fnd::Value>& policyVersion() const { return policyVersion_; }
  void setPolicyVersion(std::optional<fnd::Value> value) { policyVersion_ = std::move(value); }
  const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }
  void setPurposeConsents(std::optional<std::string> value) { purposeConsents_ = std::move(value); }
  const std::optional<std::string>& purposeLegitimateInterests() const {
    return purposeLegitimateInterests_;
  }
  void setPurposeLegitimateInterests(std::optional<std::string> value) {
    purposeLegitimateInterests_ = std::move(value);
  }
  const std::optional<std::vector<std::string>>& publisherRestrictions() const {
    return publisherRestrictions_;
  }
  void setPublisherRestrictions(std::optional<std::vector<std::string>> value) {
    publisherRestrictions_ = std::move(value);
  }
  const std::optional<fnd::Value>& isPurposeOneTreatmentEnabled() const {
    return isPurposeOneTreatmentEnabled_;
  }
  void setIsPurposeOneTreatmentEnabled(std::optional<fnd::Value> value) {
    isPurposeOneTreatmentEnabled_ = std::move(value);
  }
  const std::optional<std::string>& publisherCC() const { return publisherCC_; }
  void setPublisherCC(std::optional<std::string> value) { publisherCC_ = std::move(value); }

  // A new snapshot of the current values, through APMTCFData's full constructor.
  APMTCFData generateData() const;

 private:
  bool isTCFDataEnabled_ = false;
  std::optional<fnd::Value> isAdvertiserConsentModeEnabled_;
  std::optional<std::string> vendorConsents_;
  std::optional<std::string> vendorLegitimateInterests_;
  std::optional<fnd::Value> cmpSDKID_;
  std::optional<fnd::Value> gdprApplies_;
  std::optional<fnd::Value> policyVersion_;
  std::optional<std::string> purposeConsents_;
  std::optional<std::string> purposeLegitimateInterests_;
  std::optional<std::vector<std::string>> publisherRestrictions_;
  std::optional<fnd::Value> isPurposeOneTreatmentEnabled_;
  std::optional<std::string> publisherCC_;
};
