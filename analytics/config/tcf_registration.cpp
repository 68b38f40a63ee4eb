#include "analytics/config/tcf_registration.h"

const APMTCFRegistration& APMTCFRegistration::sharedInstance() {
  static const APMTCFRegistration* shared = new APMTCFRegistration();
  return *shared;
}

APMTCFRegistration::APMTCFRegistration()
    : purposeIDs_{1, 3, 4},
      purposeIDsLegitimateInterests_{2, 7, 9, 10},
      purposeIDsFlexiblePurposes_{2, 7, 9, 10} {}

bool APMTCFRegistration::hasConsentForPurposeID(int64_t purposeID) const {
  return purposeIDs_.count(purposeID) != 0;
}

bool APMTCFRegistration::hasLegitimateInterestForPurposeID(int64_t purposeID) const {
  return purposeIDsLegitimateInterests_.count(purposeID) != 0;
}

bool APMTCFRegistration::hasFlexibleLegitimateInterestForPurposeID(int64_t purposeID) const {
  return purposeIDsFlexiblePurposes_.count(purposeID) != 0;
}
