#include "analytics/config/consent_settings_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Dictionary;
using fnd::Value;
using UtilSetup = std::function<void(ZIVConsentSettingsUtil&)>;

class ConsentSettingsUtilTest : public ::testing::Test {
 protected:
  ~ConsentSettingsUtilTest() override { fnd::Bundle::setMainBundlePath(""); }

  fnd::ScopedTestHome home_;
};

TEST_F(ConsentSettingsUtilTest, NumbersNameTypesAndStatuses) {
  struct Case {
    int64_t number;
    std::string type;
    std::string status;
  };
  const Case cases[] = {
      {0, "", ""},
      {1, "ad_storage", "granted"},
      {2, "analytics_storage", "denied"},
      {3, "ad_user_data", ""},
      {4, "ad_personalization", ""},
      {5, "", ""},
      {-1, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVConsentTypeStringFromEnum(c.number), c.type) << c.number;
    EXPECT_EQ(ZIVConsentStatusStringFromEnum(c.number), c.status) << c.number;
  }
  EXPECT_EQ(ZIVAllConsentTypes(), (std::vector<std::string>{"ad_storage", "analytics_storage",
                                                            "ad_user_data", "ad_personalization"}));
  EXPECT_EQ(&ZIVAllConsentTypes(), &ZIVAllConsentTypes());
}

TEST_F(ConsentSettingsUtilTest, StatusesCompareCaseInsensitivelyAndOnlyAsStrings) {
  struct Case {
    Value value;
    const char* status;
    bool equal;
  };
  const Case cases[] = {
      {Value("denied"), "denied", true},   {Value("DENIED"), "denied", true},
      {Value("Granted"), "GRANTED", true}, {Value("granted"), "denied", false},
      {Value(), "denied", false},          {Value(2), "denied", false},
      {Value(true), "granted", false},     {Value(""), "", true},
      {Value("denied "), "denied", false}, {Value(fnd::Array{"denied"}), "denied", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVIsConsentSettingEqualToValue(c.value, c.status), c.equal)
        << c.value.description() << " vs " << c.status;
  }
}

TEST_F(ConsentSettingsUtilTest, RegionalRuleAppliesOnlyToTheTwoAdTypes) {
  EXPECT_TRUE(ZIVShouldApplyRegionalConsent("ad_user_data", Value("eu_consent_policy")));
  EXPECT_TRUE(ZIVShouldApplyRegionalConsent("ad_personalization", Value("EU_Consent_Policy")));
  EXPECT_FALSE(ZIVShouldApplyRegionalConsent("ad_storage", Value("eu_consent_policy")));
  EXPECT_FALSE(ZIVShouldApplyRegionalConsent("ad_user_data", Value("denied")));
  EXPECT_FALSE(ZIVShouldApplyRegionalConsent("ad_user_data", Value()));

  EXPECT_EQ(ZIVRegionalConsentStatusForType("ad_user_data", std::nullopt), Value("denied"));
  EXPECT_EQ(ZIVRegionalConsentStatusForType("ad_personalization", Dictionary{}), Value("denied"));
  EXPECT_EQ(ZIVRegionalConsentStatusForType("ad_storage", std::nullopt), Value("granted"));
  EXPECT_EQ(
      ZIVRegionalConsentStatusForType("ad_user_data", Dictionary{{"ad_user_data", "granted"}}),
      Value("granted"));
}

TEST_F(ConsentSettingsUtilTest, PlistValuesBecomeStatuses) {
  struct Case {
    const char* type;
    Value value;
    std::optional<std::string> status;
  };
  const Case cases[] = {
      {"ad_storage", Value(true), "granted"},
      {"ad_storage", Value(false), "denied"},
      {"ad_storage", Value(0), "denied"},
      {"ad_storage", Value(2), "granted"},
      {"ad_storage", Value(0.5), "granted"},
      {"ad_storage", Value("YES"), "granted"},
      {"ad_storage", Value("true"), "granted"},
      {"ad_storage", Value("  +001"), "granted"},
      {"ad_storage", Value("NO"), "denied"},
      {"ad_storage", Value("false"), "denied"},
      {"ad_storage", Value("0"), "denied"},
      {"ad_storage", Value(""), "denied"},
      {"ad_storage", Value("eu_consent_policy"), std::nullopt},
      {"analytics_storage", Value("EU_CONSENT_POLICY"), std::nullopt},
      {"ad_user_data", Value("eu_consent_policy"), "eu_consent_policy"},
      {"ad_personalization", Value("Eu_Consent_Policy"), "eu_consent_policy"},
      {"ad_user_data", Value(fnd::Array{}), std::nullopt},
      {"ad_user_data", Value(Dictionary{}), std::nullopt},
      {"ad_user_data", Value(fnd::Data{1}), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVConsentStatusFromPlistValue(c.type, c.value), c.status)
        << c.type << " " << c.value.description();
  }
}

TEST_F(ConsentSettingsUtilTest, SettingsFromPlistTakeOnlyWhatTheKeysGive) {
  const std::string bundle = home_.path() + "/Bundle";
  ASSERT_TRUE(fnd::CreateDirectories(bundle));
  struct Case {
    Dictionary info;
    Dictionary expected;
  };
  const Case cases[] = {
      {Dictionary{}, Dictionary{}},
      {Dictionary{{ZIVAdStoragePlistKey, "eu_consent_policy"},
                  {ZIVAnalyticsStoragePlistKey, false},
                  {ZIVAdUserDataPlistKey, "eu_consent_policy"},
                  {ZIVAllowAdPersonalizationSignalsPlistKey, true}},
       Dictionary{{"analytics_storage", "denied"}, {"ad_user_data", "eu_consent_policy"}}},
      {Dictionary{{ZIVAdStoragePlistKey, 1},
                  {ZIVAdUserDataPlistKey, fnd::Array{}},
                  {ZIVAllowAdPersonalizationSignalsPlistKey, "NO"}},
       Dictionary{{"ad_storage", "granted"}, {"ad_personalization", "denied"}}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(fnd::PropertyList::WriteFile(Value(c.info), bundle + "/Info.plist"));
    fnd::Bundle::setMainBundlePath(bundle);
    EXPECT_EQ(ZIVConsentSettingsUtil::consentSettingsFromPlist(), c.expected)
        << Value(c.info).description();
  }
}

TEST_F(ConsentSettingsUtilTest, SettingsFromDictionaryKeepOnlyKnownTypes) {
  Dictionary given{
      {"other", "granted"}, {"ad_personalization", "denied"}, {"ad_storage", 1}, {7, "granted"}};
  EXPECT_EQ(ZIVConsentSettingsUtil::consentSettingsFromDictionary(given),
            (Dictionary{{"ad_storage", 1}, {"ad_personalization", "denied"}}));
  EXPECT_EQ(ZIVConsentSettingsUtil::consentSettingsFromDictionary(Dictionary{}), Dictionary{});
}

TEST_F(ConsentSettingsUtilTest, SignalsCarryTheExplicitStorageStatuses) {
  struct Case {
    Value adStorage;
    Value analyticsStorage;
    const char* signals;
  };
  const Case cases[] = {
      {Value(), Value(), "G1--"},
      {Value("granted"), Value("granted"), "G111"},
      {Value("denied"), Value("denied"), "G100"},
      {Value("granted"), Value("eu_consent_policy"), "G11-"},
      {Value("DENIED"), Value("Granted"), "G101"},
      {Value(1), Value("denied"), "G1-0"},
  };
  for (const Case& c : cases) {
    ZIVConsentSettingsUtil util;
    Dictionary settings;
    if (!c.adStorage.isNull()) settings.set("ad_storage", c.adStorage);
    if (!c.analyticsStorage.isNull()) settings.set("analytics_storage", c.analyticsStorage);
    util.setConsentSettings(settings);
    // Defaults never reach the signals.
    util.setDefaultSettings(Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}});
    EXPECT_EQ(util.consentSignals(), c.signals) << c.signals;
  }
}

TEST_F(ConsentSettingsUtilTest, DiagnosticsShowWhereEachStatusCameFrom) {
  const Dictionary allGranted{{"ad_storage", "granted"},
                              {"analytics_storage", "granted"},
                              {"ad_user_data", "granted"},
                              {"ad_personalization", "granted"}};
  const Dictionary adStorage{{"ad_storage", "granted"}};
  struct Case {
    const char* name;
    UtilSetup setup;
    const char* diagnostics;
  };
  const Case cases[] = {
      {"nothing known", [](auto&) {}, "19999"},
      {"application call", [&](auto& u) { u.updateSettings(allGranted, 30); }, "15555"},
      {"third party", [&](auto& u) { u.updateSettings(allGranted, 10); }, "15555"},
      {"tcf", [&](auto& u) { u.updateSettings(allGranted, 5); }, "17777"},
      {"plist defaults", [&](auto& u) { u.updateSettings(allGranted, 20); }, "13333"},
      {"restored at start", [&](auto& u) { u.updateSettings(allGranted, 40); }, "14444"},
      {"unknown source", [&](auto& u) { u.updateSettings(allGranted, 100); }, "10000"},
      {"regional user data",
       [](auto& u) {
         u.updateSettings(
             Dictionary{{"ad_user_data", "eu_consent_policy"}, {"ad_storage", "eu_consent_policy"}},
             30);
       },
       "15989"},
      {"delegated user data",
       [](auto& u) {
         u.setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
       },
       "19929"},
      {"defaults skip the storage types", [&](auto& u) { u.setDefaultSettings(allGranted); },
       "19911"},
      {"digits of earlier sources stay",
       [&](auto& u) {
         u.updateSettings(adStorage, 30);
         u.updateSettings(Dictionary{{"analytics_storage", "denied"}}, 5);
       },
       "15799"},
      {"a new source rewrites every explicit digit",
       [&](auto& u) {
         u.updateSettings(adStorage, 30);
         u.updateSettings(Dictionary{{"analytics_storage", "denied"}}, 5);
         u.setConsentSource(20);
       },
       "13399"},
      {"update without source keeps the digit",
       [&](auto& u) {
         u.updateSettings(adStorage, 30);
         u.updateSettings(Dictionary{{"analytics_storage", "denied"}});
       },
       "15099"},
      {"settings then source",
       [&](auto& u) {
         u.setConsentSettings(adStorage);
         u.setConsentSource(40);
       },
       "14999"},
      {"settings cleared by nil",
       [&](auto& u) {
         u.updateSettings(allGranted, 30);
         u.setConsentSettings(std::nullopt);
       },
       "19999"},
      {"one digit set",
       [&](auto& u) {
         u.updateSettings(adStorage);
         u.setDiagnosticSource(4, "ad_storage");
       },
       "14999"},
      {"a digit out of range is ignored",
       [&](auto& u) {
         u.updateSettings(adStorage);
         u.setDiagnosticSource(42, "ad_storage");
         u.setDiagnosticSource(-1, "ad_storage");
       },
       "10999"},
      {"unset personalization falls back to its default",
       [&](auto& u) {
         u.updateSettings(allGranted, 30);
         u.setDefaultSettings(Dictionary{{"ad_personalization", "denied"}});
         u.unsetAdPersonalization();
       },
       "15551"},
      {"clear all",
       [&](auto& u) {
         u.updateSettings(allGranted, 30);
         u.setDefaultSettings(allGranted);
         u.clearAllSettings();
       },
       "19999"},
  };
  for (const Case& c : cases) {
    ZIVConsentSettingsUtil util;
    c.setup(util);
    EXPECT_EQ(util.consentDiagnostics(), c.diagnostics) << c.name;
  }
}

TEST_F(ConsentSettingsUtilTest, AdUserDataDeniedFollowsExplicitRegionalDelegatedAndDefault) {
  struct Case {
    const char* name;
    std::optional<Dictionary> explicitSettings;
    std::optional<Dictionary> regional;
    std::optional<Dictionary> delegated;
    std::optional<Dictionary> defaults;
    bool denied;
  };
  const Dictionary delegateToAdStorage{{"ad_user_data", "ad_storage"}};
  const Dictionary defaultDenied{{"ad_user_data", "denied"}};
  const Case cases[] = {
      {"nothing", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false},
      {"denied", Dictionary{{"ad_user_data", "Denied"}}, std::nullopt, std::nullopt, defaultDenied,
       true},
      {"granted wins over default", Dictionary{{"ad_user_data", "granted"}}, std::nullopt,
       std::nullopt, defaultDenied, false},
      {"a number is no status", Dictionary{{"ad_user_data", 2}}, std::nullopt, std::nullopt,
       std::nullopt, false},
      {"regional without default", Dictionary{{"ad_user_data", "eu_consent_policy"}}, std::nullopt,
       std::nullopt, std::nullopt, true},
      {"regional granted", Dictionary{{"ad_user_data", "eu_consent_policy"}},
       Dictionary{{"ad_user_data", "granted"}}, std::nullopt, std::nullopt, false},
      {"delegate denied", Dictionary{{"ad_storage", "denied"}}, std::nullopt, delegateToAdStorage,
       std::nullopt, true},
      {"delegate granted beats default", Dictionary{{"ad_storage", "granted"}}, std::nullopt,
       delegateToAdStorage, defaultDenied, false},
      {"delegate unset, default decides", std::nullopt, std::nullopt, delegateToAdStorage,
       defaultDenied, true},
      {"default only", std::nullopt, std::nullopt, std::nullopt, defaultDenied, true},
  };
  for (const Case& c : cases) {
    ZIVConsentSettingsUtil util;
    util.setConsentSettings(c.explicitSettings);
    util.setRegionalDefaults(c.regional);
    util.setDelegatedSettings(c.delegated);
    util.setDefaultSettings(c.defaults);
    EXPECT_EQ(util.isAdUserDataDenied(), c.denied) << c.name;
    EXPECT_EQ(util.didAdUserDataConsentChange(!c.denied), true) << c.name;
    EXPECT_EQ(util.didAdUserDataConsentChange(c.denied), false) << c.name;
  }
}

TEST_F(ConsentSettingsUtilTest, StorageDeniedAndAdPersonalization) {
  struct Case {
    const char* name;
    std::optional<Dictionary> explicitSettings;
    std::optional<Dictionary> regional;
    std::optional<Dictionary> defaults;
    std::optional<int64_t> personalization;
  };
  const Case cases[] = {
      {"nothing", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"granted", Dictionary{{"ad_personalization", "granted"}}, std::nullopt,
       Dictionary{{"ad_personalization", "denied"}}, 1},
      {"denied", Dictionary{{"ad_personalization", "DENIED"}}, std::nullopt, std::nullopt, 0},
      {"regional", Dictionary{{"ad_personalization", "eu_consent_policy"}}, std::nullopt,
       std::nullopt, 0},
      {"regional granted", Dictionary{{"ad_personalization", "eu_consent_policy"}},
       Dictionary{{"ad_personalization", "granted"}}, std::nullopt, 1},
      {"default", std::nullopt, std::nullopt, Dictionary{{"ad_personalization", "denied"}}, 0},
      {"not a status", Dictionary{{"ad_personalization", true}}, std::nullopt, std::nullopt,
       std::nullopt},
  };
  for (const Case& c : cases) {
    ZIVConsentSettingsUtil util;
    util.setConsentSettings(c.explicitSettings);
    util.setRegionalDefaults(c.regional);
    util.setDefaultSettings(c.defaults);
    EXPECT_EQ(util.adPersonalization(), c.personalization) << c.name;
  }

  ZIVConsentSettingsUtil util;
  util.setDefaultSettings(Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}});
  EXPECT_FALSE(util.isAdStorageDenied());  // Defaults do not count.
  EXPECT_FALSE(util.isAnalyticsStorageDenied());
  util.updateSettings(Dictionary{{"ad_storage", "Denied"}, {"analytics_storage", "granted"}});
  EXPECT_TRUE(util.isAdStorageDenied());
  EXPECT_FALSE(util.isAnalyticsStorageDenied());
}

TEST_F(ConsentSettingsUtilTest, SourcePriority) {
  struct Case {
    int64_t current;
    int64_t given;
    bool equal;
    bool higher;
  };
  const Case cases[] = {
      {5, 10, true, true},    {10, 5, true, true},    {10, 20, false, false},
      {100, 5, false, true},  {100, 40, false, true}, {30, 30, true, true},
      {20, 30, false, false}, {30, 20, false, true},  {5, 20, false, false},
  };
  for (const Case& c : cases) {
    ZIVConsentSettingsUtil util;
    util.setConsentSource(c.current);
    EXPECT_EQ(util.isConsentSourceEqualPriority(c.given), c.equal) << c.current << "/" << c.given;
    EXPECT_EQ(util.isConsentSourceHigherPriority(c.given), c.higher) << c.current << "/" << c.given;
  }
}

TEST_F(ConsentSettingsUtilTest, WritersReplaceMergeAndClear) {
  ZIVConsentSettingsUtil util;
  EXPECT_EQ(util.consentSource(), 100);
  EXPECT_EQ(util.version(), 1);
  EXPECT_EQ(util.consentSettings(), std::nullopt);

  util.setVersion(2);
  util.setVersion(3);
  util.setVersion(0);
  EXPECT_EQ(util.version(), 2);

  util.updateSettings(Dictionary{{"ad_storage", "granted"}, {"ad_user_data", "granted"}}, 30);
  util.updateSettings(Dictionary{{"ad_user_data", "denied"}, {"analytics_storage", "granted"}});
  EXPECT_EQ(util.consentSource(), 30);  // Merging without a source keeps it.
  EXPECT_EQ(util.consentSettings(), (Dictionary{{"ad_storage", "granted"},
                                                {"ad_user_data", "denied"},
                                                {"analytics_storage", "granted"}}));

  util.unsetAdPersonalization();  // None there: nothing changes.
  EXPECT_EQ(util.consentSettings()->size(), 3u);
  util.updateSettings(Dictionary{{"ad_personalization", "granted"}});
  util.unsetAdPersonalization();
  EXPECT_FALSE(util.consentSettings()->contains("ad_personalization"));

  util.setConsentSettings(Dictionary{{"ad_storage", "denied"}});
  EXPECT_EQ(util.consentSettings(), (Dictionary{{"ad_storage", "denied"}}));
  EXPECT_EQ(util.consentSource(), 30);  // Replacing with a dictionary keeps the source.
  util.setConsentSettings(std::nullopt);
  EXPECT_EQ(util.consentSettings(), std::nullopt);
  EXPECT_EQ(util.consentSource(), 100);

  util.updateSettings(Dictionary{{"ad_storage", "granted"}}, 5);
  util.setDefaultSettings(Dictionary{{"ad_user_data", "granted"}});
  util.setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
  util.setRegionalDefaults(Dictionary{{"ad_user_data", "granted"}});
  EXPECT_EQ(util.defaultSettings(), (Dictionary{{"ad_user_data", "granted"}}));
  EXPECT_EQ(util.delegatedSettings(), (Dictionary{{"ad_user_data", "ad_storage"}}));
  EXPECT_EQ(util.regionalDefaults(), (Dictionary{{"ad_user_data", "granted"}}));
  util.clearAllSettings();
  EXPECT_EQ(util.consentSource(), 100);
  EXPECT_EQ(util.version(), 2);  // The version survives a clear.
  EXPECT_EQ(util.consentSettings(), std::nullopt);
  EXPECT_EQ(util.defaultSettings(), std::nullopt);
  EXPECT_EQ(util.delegatedSettings(), std::nullopt);
  EXPECT_EQ(util.regionalDefaults(), std::nullopt);
}

TEST_F(ConsentSettingsUtilTest, DescriptionNamesEachSetStatus) {
  struct Case {
    std::optional<Dictionary> explicitSettings;
    std::optional<Dictionary> regional;
    const char* description;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "ad_storage is granted. analytics_storage is granted."},
      {Dictionary{{"ad_storage", "denied"}, {"ad_user_data", "eu_consent_policy"}}, std::nullopt,
       "ad_storage is denied. analytics_storage is granted. ad_user_data is denied "
       "(eu_consent_policy)."},
      {Dictionary{{"ad_personalization", "eu_consent_policy"},
                  {"analytics_storage", "DENIED"},
                  {"ad_user_data", "granted"}},
       Dictionary{{"ad_personalization", "granted"}},
       "ad_storage is granted. analytics_storage is DENIED. ad_user_data is granted. "
       "ad_personalization is granted (eu_consent_policy)."},
  };
  for (const Case& c : cases) {
    ZIVConsentSettingsUtil util;
    util.setConsentSettings(c.explicitSettings);
    util.setRegionalDefaults(c.regional);
    EXPECT_EQ(util.description(), c.description);
  }
}

TEST_F(ConsentSettingsUtilTest, WritesFromManyThreadsAreAllKept) {
  ZIVConsentSettingsUtil util;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&util, t] {
      for (int i = 0; i < 50; ++i) {
        util.updateSettings(Dictionary{{"k" + std::to_string(t) + "_" + std::to_string(i), i}});
        // A reader sees the writes its own thread queued before it.
        ASSERT_TRUE(
            util.consentSettings()->contains("k" + std::to_string(t) + "_" + std::to_string(i)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(util.consentSettings()->size(), 200u);
}

TEST_F(ConsentSettingsUtilTest, ReadersWorkFromTheQueueItself) {
  ZIVConsentSettingsUtil util;
  util.updateSettings(Dictionary{{"ad_storage", "denied"}}, 30);
  std::string diagnostics;
  util.serialQueue()->sync([&] { diagnostics = util.consentDiagnostics(); });
  EXPECT_EQ(diagnostics, "15999");
}

TEST_F(ConsentSettingsUtilTest, SharedInstanceHasItsOwnUtilityQueue) {
  ZIVConsentSettingsUtil& shared = ZIVConsentSettingsUtil::sharedInstance();
  EXPECT_EQ(&shared, &ZIVConsentSettingsUtil::sharedInstance());
  EXPECT_EQ(shared.serialQueue()->label(), "ZIVConsentSettingsUtilQueue");
  EXPECT_EQ(shared.serialQueue()->qos(), dispatch::Qos::kUtility);
  EXPECT_EQ(shared.serialQueue(), ZIVConsentSettingsUtil::sharedInstance().serialQueue());
}

}  // namespace
