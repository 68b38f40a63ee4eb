#include "analytics/config/tcf_data.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/tcf_data_generator.h"
#include "analytics/config/tcf_registration.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Value;

// A vendor bit string of 755 characters whose last bit (vendor 755) is `rivado`.
std::string VendorBits(bool rivado) { return std::string(754, '1') + (rivado ? "1" : "0"); }

// A restriction string long enough to hold vendor 755's restriction, which is `type`.
std::string RestrictionString(const std::string& type) { return std::string(754, '3') + type; }

class TCFDataTest : public ::testing::Test {
 protected:
  ~TCFDataTest() override { fnd::Bundle::setMainBundlePath(""); }

  void WriteInfoPlist(const fnd::Dictionary& info) {
    const std::string bundle = home_.path() + "/Bundle";
    ASSERT_TRUE(fnd::CreateDirectories(bundle));
    ASSERT_TRUE(fnd::PropertyList::WriteFile(Value(info), bundle + "/Info.plist"));
    fnd::Bundle::setMainBundlePath(bundle);
  }

  static ZIVUserDefaults& Shared() { return ZIVUserDefaults::sharedUserDefaults(); }

  fnd::ScopedTestHome home_;
};

// The values every case of a purpose table starts from: the engine's vendor has consent and
// legitimate interest, every purpose is granted both ways, and there is no restriction.
APMTCFDataGenerator AllGranted() {
  APMTCFDataGenerator generator;
  generator.isTCFDataEnabled = true;
  generator.vendorConsents = VendorBits(true);
  generator.vendorLegitimateInterests = VendorBits(true);
  generator.purposeConsents = "1111111111";
  generator.purposeLegitimateInterests = "1111111111";
  generator.policyVersion = Value(4);
  return generator;
}

std::vector<std::string> Restrictions(int64_t purpose, const std::string& type) {
  std::vector<std::string> restrictions(10);
  restrictions[purpose - 1] = type;
  return restrictions;
}

TEST_F(TCFDataTest, ReadsEveryCMPKeyWithItsType) {
  ZIVUserDefaults& store = Shared();
  store.setObject(Value(1), "IABTCF_EnableAdvertiserConsentMode");
  store.setObject(Value(VendorBits(true)), "IABTCF_VendorConsents");
  store.setObject(Value("01"), "IABTCF_VendorLegitimateInterests");
  store.setObject(Value(300), "IABTCF_CmpSdkID");
  store.setObject(Value("1"), "IABTCF_gdprApplies");  // A string where a number belongs.
  store.setObject(Value(4.0), "IABTCF_PolicyVersion");
  store.setObject(Value(1011), "IABTCF_PurposeConsents");  // A number where a string belongs.
  store.setObject(Value("0101"), "IABTCF_PurposeLegitimateInterests");
  store.setObject(Value(RestrictionString("0")), "IABTCF_PublisherRestrictions1");
  store.setObject(Value(std::string(754, '2')), "IABTCF_PublisherRestrictions2");  // Too short.
  store.setObject(Value(RestrictionString("2") + "111"), "IABTCF_PublisherRestrictions10");
  store.setObject(Value(RestrictionString("7")), "IABTCF_PublisherRestrictions11");  // No such.
  store.setObject(Value(true), "IABTCF_PurposeOneTreatment");
  store.setObject(Value("CH"), "IABTCF_PublisherCC");

  APMTCFData data;
  data.readFromUserDefaults();
  EXPECT_EQ(data.isAdvertiserConsentModeEnabled(), Value(1));
  EXPECT_EQ(data.vendorConsents(), VendorBits(true));
  EXPECT_EQ(data.vendorLegitimateInterests(), "01");
  EXPECT_EQ(data.cmpSDKID(), Value(300));
  EXPECT_EQ(data.gdprApplies(), std::nullopt);
  EXPECT_EQ(data.policyVersion(), Value(4.0));
  EXPECT_EQ(data.purposeConsents(), std::nullopt);
  EXPECT_EQ(data.purposeLegitimateInterests(), "0101");
  EXPECT_EQ(data.publisherRestrictions(),
            (std::vector<std::string>{"0", "", "", "", "", "", "", "", "", "2"}));
  EXPECT_EQ(data.isPurposeOneTreatmentEnabled(), Value(true));
  EXPECT_EQ(data.publisherCC(), "CH");
  EXPECT_TRUE(data.hasRivadoInVendorConsents());
  EXPECT_FALSE(data.hasRivadoInVendorLegitimateInterests());
  EXPECT_TRUE(data.canAccessAdUserDataPurpose());

  // A second read replaces every field, absent ones included.
  for (const char* key :
       {"IABTCF_EnableAdvertiserConsentMode", "IABTCF_VendorConsents", "IABTCF_CmpSdkID",
        "IABTCF_PublisherRestrictions1", "IABTCF_PublisherCC"}) {
    store.removeObjectForKey(key);
  }
  data.readFromUserDefaults();
  EXPECT_EQ(data.isAdvertiserConsentModeEnabled(), std::nullopt);
  EXPECT_EQ(data.vendorConsents(), std::nullopt);
  EXPECT_EQ(data.cmpSDKID(), std::nullopt);
  EXPECT_EQ(data.publisherCC(), std::nullopt);
  EXPECT_EQ(data.publisherRestrictions(),
            (std::vector<std::string>{"", "", "", "", "", "", "", "", "", "2"}));
}

TEST_F(TCFDataTest, RestrictionOfNonASCIIStringsStaysAValidString) {
  // 754 two-byte characters, then a character outside the BMP: index 754 is half of its pair.
  std::string text;
  for (int i = 0; i < 754; ++i) text += "\xC3\xA9";
  Shared().setObject(Value(text + "\xF0\x9F\x98\x80"), "IABTCF_PublisherRestrictions1");
  Shared().setObject(Value(text + "1"), "IABTCF_PublisherRestrictions2");
  APMTCFData data;
  data.readFromUserDefaults();
  ASSERT_TRUE(data.publisherRestrictions());
  EXPECT_EQ((*data.publisherRestrictions())[0], "\xEF\xBF\xBD");
  EXPECT_EQ((*data.publisherRestrictions())[1], "1");
  EXPECT_EQ(data.publisherRestrictionForPurposeID(1), APMTCFPublisherRestrictionNone);
  EXPECT_EQ(data.publisherRestrictionForPurposeID(2), APMTCFPublisherRestrictionConsentRequired);
}

TEST_F(TCFDataTest, InfoPlistSwitch) {
  struct Case {
    std::optional<Value> value;
    bool enabled;
  };
  const Case cases[] = {
      {std::nullopt, true}, {Value(true), true},   {Value(false), false},        {Value(1), true},
      {Value(0), false},    {Value("YES"), false}, {Value(fnd::Array{}), false},
  };
  for (const Case& c : cases) {
    fnd::Dictionary info;
    if (c.value) info.set(APMTCFDataEnabledPlistKey, *c.value);
    WriteInfoPlist(info);
    EXPECT_EQ(APMTCFData::readTCFDataEnabledStateFromPlist(), c.enabled)
        << (c.value ? c.value->description() : "absent");
    EXPECT_EQ(APMTCFData().isTCFDataEnabled(), c.enabled);
  }
  // The full constructor takes the switch as given.
  EXPECT_TRUE(AllGranted().generateData().isTCFDataEnabled());
}

TEST_F(TCFDataTest, PublisherRestrictionTypes) {
  struct Case {
    const char* text;
    int64_t type;
  };
  const Case cases[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"3", 3}, {"", 3}, {"01", 3}, {"x", 3}};
  for (const Case& c : cases) {
    EXPECT_EQ(APMTCFData::publisherRestrictionTypeFromString(c.text), c.type) << c.text;
  }
  APMTCFDataGenerator generator = AllGranted();
  EXPECT_EQ(generator.generateData().publisherRestrictionForPurposeID(1), 3);  // No array.
  generator.publisherRestrictions = Restrictions(10, "1");
  APMTCFData data = generator.generateData();
  for (int64_t purpose : {-1, 0, 11}) EXPECT_EQ(data.publisherRestrictionForPurposeID(purpose), 3);
  EXPECT_EQ(data.publisherRestrictionForPurposeID(10), 1);
}

TEST_F(TCFDataTest, LegalBasisFollowsRegistrationAndRestriction) {
  struct Case {
    int64_t purpose;
    std::string restriction;
    int64_t basis;
  };
  const Case cases[] = {
      // Consent purposes (not flexible).
      {1, "", APMTCFLegalBasisConsent},
      {1, "0", APMTCFLegalBasisNotAllowed},
      {1, "1", APMTCFLegalBasisConsent},
      {1, "2", APMTCFLegalBasisConflict},
      {4, "2", APMTCFLegalBasisConflict},
      // Legitimate-interest purposes (all flexible).
      {7, "", APMTCFLegalBasisLegitimateInterest},
      {7, "1", APMTCFLegalBasisConsent},
      {7, "2", APMTCFLegalBasisLegitimateInterest},
      {2, "0", APMTCFLegalBasisNotAllowed},
      {10, "1", APMTCFLegalBasisConsent},
      // Not registered.
      {5, "", APMTCFLegalBasisNotAllowed},
      {6, "1", APMTCFLegalBasisNotAllowed},
  };
  for (const Case& c : cases) {
    APMTCFDataGenerator generator = AllGranted();
    generator.publisherRestrictions = Restrictions(c.purpose, c.restriction);
    EXPECT_EQ(generator.generateData().legalBasisCheckFromPurposeID(c.purpose), c.basis)
        << "purpose " << c.purpose << " restriction '" << c.restriction << "'";
  }
}

TEST_F(TCFDataTest, ConsentReasons) {
  struct Case {
    const char* name;
    int64_t purpose;
    std::function<void(APMTCFDataGenerator&)> change;
    int64_t reason;
  };
  const Case cases[] = {
      {"consent granted", 1, [](auto&) {}, 1},
      {"no vendor consent", 3, [](auto& g) { g.vendorConsents = VendorBits(false); }, 4},
      {"vendor string absent", 3, [](auto& g) { g.vendorConsents = std::nullopt; }, 4},
      {"vendor string too short", 3, [](auto& g) { g.vendorConsents = "1111"; }, 4},
      {"purpose consent clear", 4, [](auto& g) { g.purposeConsents = "1110"; }, 6},
      {"purpose consents absent", 1, [](auto& g) { g.purposeConsents = std::nullopt; }, 6},
      {"legitimate interest granted", 7, [](auto&) {}, 1},
      {"no vendor legitimate interest", 7,
       [](auto& g) { g.vendorLegitimateInterests = VendorBits(false); }, 5},
      {"purpose legitimate interest clear", 7,
       [](auto& g) { g.purposeLegitimateInterests = "1111110111"; }, 7},
      {"flexible purpose switched to consent", 7,
       [](auto& g) {
         g.publisherRestrictions = Restrictions(7, "1");
         g.purposeConsents = "1111110111";
       },
       6},
      {"conflict", 3, [](auto& g) { g.publisherRestrictions = Restrictions(3, "2"); }, 8},
      {"not allowed", 1, [](auto& g) { g.publisherRestrictions = Restrictions(1, "0"); }, 3},
      {"not registered", 5, [](auto&) {}, 3},
      {"purpose one special treatment", 1,
       [](auto& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = Value(1);
         g.publisherCC = "CH";
       },
       1},
      {"special treatment needs the vendor", 1,
       [](auto& g) {
         g.purposeConsents = "0111111111";
         g.vendorConsents = VendorBits(false);
         g.isPurposeOneTreatmentEnabled = Value(1);
         g.publisherCC = "CH";
       },
       4},
      {"special treatment needs CH", 1,
       [](auto& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = Value(1);
         g.publisherCC = "ch";
       },
       6},
      {"special treatment only for purpose one", 3,
       [](auto& g) {
         g.purposeConsents = "1101111111";
         g.isPurposeOneTreatmentEnabled = Value(true);
         g.publisherCC = "CH";
       },
       6},
  };
  for (const Case& c : cases) {
    APMTCFDataGenerator generator = AllGranted();
    c.change(generator);
    APMTCFData data = generator.generateData();
    EXPECT_EQ(data.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(c.purpose),
              c.reason)
        << c.name;
    EXPECT_EQ(data.isPurposeGrantedWithRestrictionCheckForPurposeID(c.purpose), c.reason == 1)
        << c.name;
  }
}

TEST_F(TCFDataTest, ConsentOutcomes) {
  struct Case {
    const char* name;
    std::function<void(APMTCFDataGenerator&)> change;
    bool adStorage;
    bool adPersonalization;
    bool adUserData;
  };
  const Case cases[] = {
      {"all granted", [](auto&) {}, true, true, true},
      {"policy version 3", [](auto& g) { g.policyVersion = Value(3); }, true, true, false},
      {"no policy version", [](auto& g) { g.policyVersion = std::nullopt; }, true, true, false},
      {"purpose 1 not allowed", [](auto& g) { g.publisherRestrictions = Restrictions(1, "0"); },
       false, true, false},
      {"purpose 4 clear", [](auto& g) { g.purposeConsents = "1110111111"; }, true, false, true},
      {"purpose 7 legitimate interest clear",
       [](auto& g) { g.purposeLegitimateInterests = "1111110111"; }, true, true, false},
      {"nothing", [](auto& g) { g = APMTCFDataGenerator(); }, false, false, false},
  };
  for (const Case& c : cases) {
    APMTCFDataGenerator generator = AllGranted();
    c.change(generator);
    APMTCFData data = generator.generateData();
    EXPECT_EQ(data.isAdStoragePurposeGranted(), c.adStorage) << c.name;
    EXPECT_EQ(data.isAdPersonalizationPurposeGranted(), c.adPersonalization) << c.name;
    EXPECT_EQ(data.isAdUserDataPurposeGranted(), c.adUserData) << c.name;
  }
}

TEST_F(TCFDataTest, GeneratorKeepsOnlyNumbersInNumberFields) {
  APMTCFDataGenerator generator;
  generator.gdprApplies = Value("1");
  generator.cmpSDKID = Value(fnd::Array{});
  generator.policyVersion = Value(true);
  APMTCFData data = generator.generateData();
  EXPECT_EQ(data.gdprApplies(), std::nullopt);
  EXPECT_EQ(data.cmpSDKID(), std::nullopt);
  EXPECT_EQ(data.policyVersion(), Value(true));
  EXPECT_FALSE(data.isTCFDataEnabled());
}

TEST_F(TCFDataTest, RegistrationOfPurposes) {
  const APMTCFRegistration& registration = APMTCFRegistration::sharedInstance();
  EXPECT_EQ(&registration, &APMTCFRegistration::sharedInstance());
  for (int64_t purpose = 0; purpose <= 11; ++purpose) {
    const bool consent = purpose == 1 || purpose == 3 || purpose == 4;
    const bool interest = purpose == 2 || purpose == 7 || purpose == 9 || purpose == 10;
    EXPECT_EQ(registration.hasConsentForPurposeID(purpose), consent) << purpose;
    EXPECT_EQ(registration.hasLegitimateInterestForPurposeID(purpose), interest) << purpose;
    EXPECT_EQ(registration.hasFlexibleLegitimateInterestForPurposeID(purpose), interest) << purpose;
  }
}

}  // namespace
