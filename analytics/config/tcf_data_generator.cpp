#include "analytics/config/tcf_data_generator.h"

APMTCFData APMTCFDataGenerator::generateData() const {
  return APMTCFData(isTCFDataEnabled_, isAdvertiserConsentModeEnabled_, vendorConsents_,
                    vendorLegitimateInterests_, cmpSDKID_, gdprApplies_, policyVersion_,
                    purposeConsents_, purposeLegitimateInterests_, publisherRestrictions_,
                    isPurposeOneTreatmentEnabled_, publisherCC_);
}
