// The IAB TCF values a consent-management platform leaves in the application's preferences, of any
// kind and content, read by the TCF client: the snapshot, the purpose logic, the consent it gives,
// the bundle parameters, and the change detection against the persisted copy (the cycle runs twice:
// the second time nothing has changed). Nothing may crash; the consent is always granted or
// denied for each of the three types.
//
// Input: for each CMP key in turn (the keys below, then the publisher restrictions of purposes 1
// to 10) one kind byte and its value, until the input ends:
//   0 absent   1 string (16-bit little-endian length, bytes)   2 integer (8 bytes)
//   3 double (8 bytes)   4 bool (1 byte)   5 data (16-bit length, bytes)   6 array of strings
//   (count byte, then strings as for 1)   7 dictionary {"k": string}
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analytics/config/tcf_client.h"
#include "analytics/config/tcf_data.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/test_home.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t word(size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(byte()) << (8 * i);
    return v;
  }
  std::string bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string text() { return bytes(static_cast<size_t>(word(2))); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::vector<std::string> Keys() {
  std::vector<std::string> keys{APMTCFDataAdvertiserConsentModeEnabledUserDefaultsKey,
                                APMTCFDataVendorConsentsUserDefaultsKey,
                                APMTCFDataVendorLegitimateInterestsUserDefaultsKey,
                                APMTCFDataCmpSDKIDUserDefaultsKey,
                                APMTCFDataGdprAppliesUserDefaultsKey,
                                APMTCFDataPolicyVersionUserDefaultsKey,
                                APMTCFDataPurposeConsentsUserDefaultsKey,
                                APMTCFDataPurposeLegitimateInterestsUserDefaultsKey,
                                APMTCFDataPurposeOneTreatmentUserDefaultsKey,
                                APMTCFDataPublisherCCUserDefaultsKey};
  for (int purpose = 1; purpose <= 10; ++purpose) {
    keys.push_back(std::string(APMTCFDataPublisherRestrictionsUserDefaultsKeyPrefix) +
                   std::to_string(purpose));
  }
  return keys;
}

fnd::Value ReadValue(Reader& in, uint8_t kind) {
  switch (kind % 8) {
    case 1:
      return fnd::Value(in.text());
    case 2:
      return fnd::Value(static_cast<int64_t>(in.word(8)));
    case 3: {
      const uint64_t bits = in.word(8);
      double d;
      std::memcpy(&d, &bits, sizeof(d));
      return fnd::Value(d);
    }
    case 4:
      return fnd::Value(in.byte() % 2 == 1);
    case 5: {
      const std::string bytes = in.text();
      return fnd::Value(fnd::Data(bytes.begin(), bytes.end()));
    }
    case 6: {
      fnd::Array items;
      for (int i = in.byte() % 12; i > 0; --i) items.push_back(fnd::Value(in.text()));
      return fnd::Value(items);
    }
    case 7:
      return fnd::Value(fnd::Dictionary{{"k", fnd::Value(in.text())}});
    default:
      return fnd::Value();
  }
}

void CheckConsent(const fnd::Dictionary& consent) {
  for (const char* type : {"ad_storage", "ad_personalization", "ad_user_data"}) {
    const fnd::Value* status = consent.find(type);
    if (status == nullptr) continue;
    if (*status != fnd::Value("granted") && *status != fnd::Value("denied")) {
      std::fprintf(stderr, "consent for %s is neither granted nor denied\n", type);
      std::abort();
    }
  }
}

void Cycle() {
  APMTCFClient client;
  client.setConsentFromTCFData();
  const APMTCFData& data = client.tcfData();
  (void)data.hasRivadoInVendorConsents();
  (void)data.hasRivadoInVendorLegitimateInterests();
  (void)data.canAccessAdUserDataPurpose();
  (void)data.isAdStoragePurposeGranted();
  (void)data.isAdPersonalizationPurposeGranted();
  (void)data.isAdUserDataPurposeGranted();
  (void)data.isPurposeOneGrantedWithSpecialTreatment();
  for (int64_t purpose = -1; purpose <= 12; ++purpose) {
    (void)data.isPurposeGrantedWithRestrictionCheckForPurposeID(purpose);
    (void)data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose);
    (void)data.legalBasisCheckFromPurposeID(purpose);
    (void)data.publisherRestrictionForPurposeID(purpose);
    (void)client.tcfd2ParamValueForPurposeID(purpose);
  }
  (void)client.shouldApplyTCFData();
  (void)client.shouldApplyOneTimeTCFVendorFix();
  (void)client.hasTCFDataToRead();
  (void)client.persistedValuesEqualCurrentData();
  CheckConsent(client.previousConsent());
  CheckConsent(client.currentConsent());
  (void)client.stringRepresentationFromTCFData();
  (void)client.tcfBundleParameterValue();
  (void)client.tcfd2ParamValue();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static fnd::ScopedTestHome* home = new fnd::ScopedTestHome();
  (void)home;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> keys = Keys();
  ZIVUserDefaults& store = ZIVUserDefaults::sharedUserDefaults();
  store.clearAllData();
  Reader in(data, size);
  for (const std::string& key : keys) {
    if (in.empty()) break;
    const uint8_t kind = in.byte();
    if (kind % 8 != 0) store.setObject(ReadValue(in, kind), key);
  }
  Cycle();
  Cycle();
  APMTCFClient().clearPersistedValues();
  store.clearAllData();
  return 0;
}
