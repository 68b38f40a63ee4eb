// APMTCFRegistration: how the engine registers each TCF purpose, the same for the whole process:
// purposes 1, 3 and 4 for consent, purposes 2, 7, 9 and 10 for legitimate interest, and purposes
// 2, 7, 9 and 10 as flexible (their legal basis may be switched by a publisher restriction).
//
// Thread safety: immutable; use from any thread.
#pragma once

#include <cstdint>
#include <set>

class APMTCFRegistration {
 public:
  // The process's table, made once.
  static const APMTCFRegistration& sharedInstance();

  APMTCFRegistration();

  const std::set<int64_t>& purposeIDs() const { return purposeIDs_; }
  const std::set<int64_t>& purposeIDsLegitimateInterests() const {
    return purposeIDsLegitimateInterests_;
  }
  const std::set<int64_t>& purposeIDsFlexiblePurposes() const {
    return purposeIDsFlexiblePurposes_;
  }

  // Membership of the purpose in each set.
  bool hasConsentForPurposeID(int64_t purposeID) const;
  bool hasLegitimateInterestForPurposeID(int64_t purposeID) const;
  bool hasFlexibleLegitimateInterestForPurposeID(int64_t purposeID) const;

 private:
  // Constant after construction.
  const std::set<int64_t> purposeIDs_;
  const std::set<int64_t> purposeIDsLegitimateInterests_;
  const std::set<int64_t> purposeIDsFlexiblePurposes_;
};
