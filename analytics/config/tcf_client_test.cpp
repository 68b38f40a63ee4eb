#include "analytics/config/tcf_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Dictionary;
using fnd::Value;

std::string VendorBits(bool rivado) { return std::string(754, '1') + (rivado ? "1" : "0"); }

struct LoggedEvent {
  std::string origin;
  std::string name;
  Dictionary parameters;
};

struct ConsentCall {
  Dictionary settings;
  std::string key;
};

// A CMP state in which TCF applies and every purpose the engine uses is granted.
Dictionary GrantingCMP() {
  return Dictionary{
      {"IABTCF_EnableAdvertiserConsentMode", 1},
      {"IABTCF_VendorConsents", VendorBits(true)},
      {"IABTCF_VendorLegitimateInterests", VendorBits(true)},
      {"IABTCF_CmpSdkID", 300},
      {"IABTCF_gdprApplies", 1},
      {"IABTCF_PolicyVersion", 4},
      {"IABTCF_PurposeConsents", "1111111111"},
      {"IABTCF_PurposeLegitimateInterests", "1111111111"},
  };
}

const Dictionary kAllGranted{
    {"ad_storage", "granted"}, {"ad_personalization", "granted"}, {"ad_user_data", "granted"}};
const Dictionary kAllDenied{
    {"ad_storage", "denied"}, {"ad_personalization", "denied"}, {"ad_user_data", "denied"}};

class TCFClientTest : public ::testing::Test {
 protected:
  TCFClientTest() { SetTCFEnabledInInfoPlist(std::nullopt); }
  ~TCFClientTest() override { fnd::Bundle::setMainBundlePath(""); }

  // A client whose engine calls are recorded in events_ and consents_.
  std::unique_ptr<APMTCFClient> NewClient() {
    APMTCFEngineHooks hooks;
    hooks.logInternalEventWithOrigin = [this](const std::string& origin, const std::string& name,
                                              const Dictionary& parameters) {
      events_.push_back({origin, name, parameters});
    };
    hooks.setConsentForKey = [this](const Dictionary& settings, const std::string& key) {
      consents_.push_back({settings, key});
    };
    return std::make_unique<APMTCFClient>(std::move(hooks));
  }

  // Replaces the CMP's values in the application's standard preferences.
  void SetCMP(const Dictionary& values) {
    ZIVUserDefaults& store = ZIVUserDefaults::sharedUserDefaults();
    store.clearAllData();
    for (const auto& [key, value] : values) store.setObject(value, key.asString());
  }

  void SetTCFEnabledInInfoPlist(std::optional<Value> enabled) {
    const std::string bundle = home_.path() + "/Bundle";
    ASSERT_TRUE(fnd::CreateDirectories(bundle));
    Dictionary info;
    if (enabled) info.set(APMTCFDataEnabledPlistKey, *enabled);
    ASSERT_TRUE(fnd::PropertyList::WriteFile(Value(info), bundle + "/Info.plist"));
    fnd::Bundle::setMainBundlePath(bundle);
  }

  // The client's persisted copy, key by key.
  static Dictionary Persisted() { return fnd::PreferencesCopyDomain(APMTCFUserDefaultSuiteName); }

  // The persisted copy as its file holds it.
  static Dictionary PersistedFile() {
    auto file = fnd::PropertyList::ReadFile(fnd::PreferencesFilePath(APMTCFUserDefaultSuiteName));
    return file && file->isDictionary() ? *file->dictionary() : Dictionary();
  }

  fnd::ScopedTestHome home_;
  std::vector<LoggedEvent> events_;
  std::vector<ConsentCall> consents_;
};

TEST_F(TCFClientTest, BundleParameterEncodesIdVersionAndFlags) {
  struct Case {
    std::optional<Value> cmpSDKID;
    std::optional<Value> policyVersion;
    bool dmaRegion;
    int gdprApplies;
    bool tcfEnabled;
    int advertiserMode;
    const char* tcfd;
  };
  const Case cases[] = {
      {Value(0), Value(4), true, 1, true, 1, "1004f"},
      {Value(4095), Value(4), true, 1, true, 1, "1__4f"},
      {Value(4096), Value(4), true, 1, true, 1, "1004f"},
      {Value(-1), Value(4), true, 1, true, 1, "1004f"},
      {std::nullopt, Value(4), true, 1, true, 1, "1004f"},
      {Value(64), Value(4), true, 1, true, 1, "1104f"},
      {Value(300), Value(4), true, 1, true, 1, "14I4f"},
      {Value(300.9), Value(2), true, 1, true, 1, "14I2f"},
      {Value(1), Value(63), false, 0, false, 0, "101_0"},
      {Value(1), Value(64), true, 0, false, 0, "10101"},
      {Value(1), Value(-1), false, 1, false, 0, "10102"},
      {Value(1), std::nullopt, false, 0, true, 0, "10104"},
      {Value(1), Value(10), false, 0, false, 1, "101a8"},
      {Value(int64_t{1} << 32), Value(10), false, 0, false, 1, "100a8"},
  };
  for (const Case& c : cases) {
    SetTCFEnabledInInfoPlist(Value(c.tcfEnabled));
    Dictionary cmp{{"IABTCF_gdprApplies", c.gdprApplies},
                   {"IABTCF_EnableAdvertiserConsentMode", c.advertiserMode}};
    if (c.cmpSDKID) cmp.set("IABTCF_CmpSdkID", *c.cmpSDKID);
    if (c.policyVersion) cmp.set("IABTCF_PolicyVersion", *c.policyVersion);
    SetCMP(cmp);
    auto client = NewClient();
    client->setIsDMARegion(c.dmaRegion);
    client->readTCFData();
    EXPECT_EQ(client->tcfBundleParameterValue(), c.tcfd) << c.tcfd;
  }
}

TEST_F(TCFClientTest, PurposeParameterCarriesTheReasonsOfPurposes1347) {
  struct Case {
    const char* name;
    Dictionary changes;
    const char* tcfd2;
  };
  const Case cases[] = {
      {"all granted", {}, "21111"},
      {"no vendor",
       {{"IABTCF_VendorConsents", VendorBits(false)},
        {"IABTCF_VendorLegitimateInterests", VendorBits(false)}},
       "24445"},
      {"no purpose",
       {{"IABTCF_PurposeConsents", "0000000000"},
        {"IABTCF_PurposeLegitimateInterests", "0000000000"}},
       "26667"},
      {"restrictions",
       {{"IABTCF_PublisherRestrictions1", std::string(754, '3') + "0"},
        {"IABTCF_PublisherRestrictions3", std::string(754, '3') + "2"},
        {"IABTCF_PublisherRestrictions7", std::string(754, '3') + "1"}},
       "23811"},
      {"purpose one special treatment",
       {{"IABTCF_PurposeConsents", "0111111111"},
        {"IABTCF_PurposeOneTreatment", 1},
        {"IABTCF_PublisherCC", "CH"}},
       "21111"},
  };
  for (const Case& c : cases) {
    Dictionary cmp = GrantingCMP();
    for (const auto& [key, value] : c.changes) cmp.set(key, value);
    SetCMP(cmp);
    auto client = NewClient();
    client->readTCFData();
    EXPECT_EQ(client->tcfd2ParamValue(), c.tcfd2) << c.name;
  }
}

TEST_F(TCFClientTest, MigrationParameter) {
  struct Case {
    bool migrated;
    bool changed;
    const char* tcfm;
  };
  const Case cases[] = {
      {false, false, "00"}, {false, true, "01"}, {true, false, "10"}, {true, true, "11"}};
  for (const Case& c : cases) {
    EXPECT_EQ(APMTCFClient::tcfdMigrationParamValueForMigrationDidOccur(c.migrated, c.changed),
              c.tcfm);
  }
}

TEST_F(TCFClientTest, StringRepresentationListsWhatIsPresentInOrder) {
  struct Case {
    Dictionary cmp;
    std::string representation;
  };
  const Case cases[] = {
      {{}, "_v_=2,isTCFDataEnabled=1"},
      // Restrictions too short for vendor 755 count as none.
      {{{"IABTCF_PublisherRestrictions1", "000"}}, "_v_=2,isTCFDataEnabled=1"},
      // Wrongly typed values read as absent.
      {{{"IABTCF_gdprApplies", "1"}, {"IABTCF_PurposeConsents", 1}}, "_v_=2,isTCFDataEnabled=1"},
      {{{"IABTCF_PublisherCC", "DE"},
        {"IABTCF_PurposeOneTreatment", 1.5},
        {"IABTCF_PublisherRestrictions10", std::string(754, '3') + "2"},
        {"IABTCF_PublisherRestrictions1", std::string(754, '3') + "0"},
        {"IABTCF_PurposeLegitimateInterests", "01"},
        {"IABTCF_PurposeConsents", "1011"},
        {"IABTCF_PolicyVersion", 4},
        {"IABTCF_gdprApplies", 2},
        {"IABTCF_VendorLegitimateInterests", "1"},
        {"IABTCF_VendorConsents", VendorBits(true)},
        {"IABTCF_CmpSdkID", 300},
        {"IABTCF_EnableAdvertiserConsentMode", false}},
       "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=0,cmpSDKID=300,"
       "hasRivadoInVendorConsents=1,hasRivadoInVendorLegitimateInterests=0,gdprApplies=1,"
       "policyVersion=4,purposeConsents=1011,purposeLegitimateInterests=01,"
       "publisherRestrictions=0|||||||||2,isPurposeOneTreatmentEnabled=1.5,publisherCC=DE"},
      {{{"IABTCF_PurposeOneTreatment", true}},
       "_v_=2,isTCFDataEnabled=1,"
       "isPurposeOneTreatmentEnabled=1"},
  };
  for (const Case& c : cases) {
    SetCMP(c.cmp);
    auto client = NewClient();
    client->readTCFData();
    EXPECT_EQ(client->stringRepresentationFromTCFData(), c.representation);
    EXPECT_EQ(client->hasTCFDataToRead(), c.representation != "_v_=2,isTCFDataEnabled=1");
  }
}

TEST_F(TCFClientTest, NoCMPValuesDoNothing) {
  auto client = NewClient();
  client->setConsentFromTCFData();
  EXPECT_EQ(client->stringRepresentationFromTCFData(), "_v_=2,isTCFDataEnabled=1");
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(consents_.empty());
  EXPECT_TRUE(Persisted().empty());
}

TEST_F(TCFClientTest, AChangeLogsStoresAndAppliesOnce) {
  SetCMP(GrantingCMP());
  auto client = NewClient();
  EXPECT_TRUE(client->isDMARegion());
  client->setConsentFromTCFData();

  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].origin, "auto");
  EXPECT_EQ(events_[0].name, "_tcf");
  EXPECT_EQ(events_[0].parameters,
            (Dictionary{{"_tcfd", "14I4f"}, {"_tcfd2", "21111"}, {"_tcfm", "01"}}));
  ASSERT_EQ(consents_.size(), 1u);
  EXPECT_EQ(consents_[0].settings, kAllGranted);
  EXPECT_EQ(consents_[0].key, "consent_settings_tcf");

  // The copy is on disk, under the CMP's keys, with the marker of the current format.
  Dictionary persisted = PersistedFile();
  EXPECT_EQ(persisted.get("RIVADO_ANALYTICS_TCF_DATA_ENABLED"), Value(true));
  EXPECT_EQ(persisted.get("IABTCF_CmpSdkID"), Value(300));
  EXPECT_EQ(persisted.get("IABTCF_VendorConsents"), Value(VendorBits(true)));
  EXPECT_EQ(persisted.get("IABTCF_PublisherRestrictions"), Value(fnd::Array(10, Value(""))));
  EXPECT_FALSE(persisted.contains("IABTCF_PublisherCC"));
  EXPECT_EQ(persisted.get("tcf_StringRepresentation"),
            Value(client->stringRepresentationFromTCFData()));
  EXPECT_TRUE(client->persistedValuesEqualCurrentData());

  // Nothing changed: no event, no consent, also for a client made at the next start.
  client->setConsentFromTCFData();
  NewClient()->setConsentFromTCFData();
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_EQ(consents_.size(), 1u);

  // A change that leaves the consent as it was.
  Dictionary cmp = GrantingCMP();
  cmp.set("IABTCF_CmpSdkID", 7);
  SetCMP(cmp);
  client->setIsDMARegion(false);
  client->setConsentFromTCFData();
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[1].parameters,
            (Dictionary{{"_tcfd", "1074e"}, {"_tcfd2", "21111"}, {"_tcfm", "00"}}));
  EXPECT_EQ(consents_.size(), 2u);
  EXPECT_EQ(client->previousConsent(), kAllGranted);

  // A change of consent.
  cmp.set("IABTCF_PurposeConsents", "0111111111");
  SetCMP(cmp);
  client->setConsentFromTCFData();
  ASSERT_EQ(events_.size(), 3u);
  EXPECT_EQ(events_[2].parameters.get("_tcfm"), Value("01"));
  ASSERT_EQ(consents_.size(), 3u);
  EXPECT_EQ(consents_[2].settings, (Dictionary{{"ad_storage", "denied"},
                                               {"ad_personalization", "granted"},
                                               {"ad_user_data", "denied"}}));
}

TEST_F(TCFClientTest, EventButNoConsentWhenTCFDoesNotApply) {
  struct Case {
    const char* name;
    std::optional<Value> plistSwitch;
    Dictionary changes;
    const char* tcfd;
  };
  const Case cases[] = {
      {"switched off in Info.plist", Value(false), {}, "14I4b"},
      {"gdpr does not apply", std::nullopt, {{"IABTCF_gdprApplies", 0}}, "14I4d"},
      {"advertiser consent mode off",
       std::nullopt,
       {{"IABTCF_EnableAdvertiserConsentMode", 0}},
       "14I47"},
      {"advertiser consent mode absent",
       std::nullopt,
       {{"IABTCF_EnableAdvertiserConsentMode", Value()}},
       "14I47"},
  };
  for (const Case& c : cases) {
    SetTCFEnabledInInfoPlist(c.plistSwitch);
    Dictionary cmp = GrantingCMP();
    for (const auto& [key, value] : c.changes) {
      if (value.isNull()) {
        cmp.erase(key);
      } else {
        cmp.set(key, value);
      }
    }
    SetCMP(cmp);
    APMTCFClient(APMTCFUnconnectedEngineHooks()).clearPersistedValues();
    events_.clear();
    consents_.clear();

    auto client = NewClient();
    client->setConsentFromTCFData();
    ASSERT_EQ(events_.size(), 1u) << c.name;
    EXPECT_EQ(events_[0].parameters.get("_tcfd"), Value(c.tcfd)) << c.name;
    EXPECT_TRUE(consents_.empty()) << c.name;
    EXPECT_TRUE(client->persistedValuesEqualCurrentData()) << c.name;
  }
}

TEST_F(TCFClientTest, DisabledTCFWithoutCMPValuesStillRunsOnce) {
  SetTCFEnabledInInfoPlist(Value(0));
  auto client = NewClient();
  client->setConsentFromTCFData();
  EXPECT_EQ(client->stringRepresentationFromTCFData(), "_v_=2,isTCFDataEnabled=0");
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].parameters,
            (Dictionary{{"_tcfd", "10001"}, {"_tcfd2", "24445"}, {"_tcfm", "00"}}));
  EXPECT_TRUE(consents_.empty());
  client->setConsentFromTCFData();
  EXPECT_EQ(events_.size(), 1u);
}

TEST_F(TCFClientTest, OneTimeVendorFixAppliesToAnOldCopyOnce) {
  // A copy from before the current format recorded the vendor as consented.
  ZIVUserDefaults own(APMTCFUserDefaultSuiteName);
  own.setObject(Value("isTCFDataEnabled=1,hasRivadoInVendorConsents=1"),
                "tcf_StringRepresentation");
  Dictionary cmp = GrantingCMP();
  cmp.set("IABTCF_VendorConsents", VendorBits(false));
  SetCMP(cmp);

  auto client = NewClient();
  client->readTCFData();
  EXPECT_TRUE(client->shouldApplyOneTimeTCFVendorFix());
  client->setConsentFromTCFData();
  ASSERT_EQ(events_.size(), 1u);
  // Without the vendor nothing is granted, as the old copy (which holds no values) also says.
  EXPECT_EQ(events_[0].parameters.get("_tcfm"), Value("10"));
  ASSERT_EQ(consents_.size(), 1u);
  EXPECT_EQ(consents_[0].settings, kAllDenied);
  EXPECT_FALSE(client->shouldApplyOneTimeTCFVendorFix());

  // After the store the marker is there: the next change is an ordinary one.
  cmp.set("IABTCF_CmpSdkID", 8);
  SetCMP(cmp);
  client->setConsentFromTCFData();
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[1].parameters.get("_tcfm"), Value("00"));
}

TEST_F(TCFClientTest, VendorFixNeedsTCFToApply) {
  Dictionary cmp = GrantingCMP();
  cmp.set("IABTCF_VendorConsents", VendorBits(false));
  cmp.set("IABTCF_gdprApplies", 0);
  SetCMP(cmp);
  auto client = NewClient();
  client->readTCFData();
  EXPECT_FALSE(client->shouldApplyOneTimeTCFVendorFix());
  client->setConsentFromTCFData();
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].parameters.get("_tcfm"), Value("00"));
  EXPECT_TRUE(consents_.empty());
}

TEST_F(TCFClientTest, PreviousConsentComesFromThePersistedCopy) {
  auto client = NewClient();
  EXPECT_EQ(client->previousConsent(), kAllDenied);  // Nothing persisted.

  SetCMP(GrantingCMP());
  client->readTCFData();
  client->storeCurrentData();
  EXPECT_EQ(NewClient()->previousConsent(), kAllGranted);

  // The persisted restrictions (one array under the prefix key) count: "0" for purpose 1 takes
  // storage and user data away from the previous consent.
  {
    ZIVUserDefaults own(APMTCFUserDefaultSuiteName);
    fnd::Array restrictions(10, Value(""));
    restrictions[0] = Value("0");
    own.setObject(Value(restrictions), "IABTCF_PublisherRestrictions");
    EXPECT_EQ(NewClient()->previousConsent(), (Dictionary{{"ad_storage", "denied"},
                                                          {"ad_personalization", "granted"},
                                                          {"ad_user_data", "denied"}}));
    own.setObject(Value(fnd::Array(10, Value(""))), "IABTCF_PublisherRestrictions");
    EXPECT_EQ(NewClient()->previousConsent(), kAllGranted);
  }

  // An edited copy with values of the wrong types reads them as absent.
  ZIVUserDefaults own(APMTCFUserDefaultSuiteName);
  own.setObject(Value(fnd::Array{1, 2}), "IABTCF_PurposeConsents");
  own.setObject(Value("4"), "IABTCF_PolicyVersion");
  own.setObject(Value(fnd::Array{Value(0), Value(Dictionary{})}), "IABTCF_PublisherRestrictions");
  EXPECT_EQ(NewClient()->previousConsent(), (Dictionary{{"ad_storage", "denied"},
                                                        {"ad_personalization", "denied"},
                                                        {"ad_user_data", "denied"}}));
  own.setObject(Value("1111111111"), "IABTCF_PurposeConsents");
  EXPECT_EQ(NewClient()->previousConsent(), (Dictionary{{"ad_storage", "granted"},
                                                        {"ad_personalization", "granted"},
                                                        {"ad_user_data", "denied"}}));

  // Clearing the copy makes the next cycle act again.
  client->clearPersistedValues();
  EXPECT_TRUE(Persisted().empty());
  client->setConsentFromTCFData();
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_EQ(consents_.size(), 1u);
}

TEST_F(TCFClientTest, UnconnectedClientStillKeepsItsCopy) {
  SetCMP(GrantingCMP());
  APMTCFClient client;
  client.setConsentFromTCFData();
  EXPECT_TRUE(client.persistedValuesEqualCurrentData());
  EXPECT_EQ(APMTCFClient::consentStatusFromEnabled(true), "granted");
  EXPECT_EQ(APMTCFClient::consentStatusFromEnabled(false), "denied");
}

}  // namespace
