#include "analytics/config/remote_config.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/experiments_test_support.h"
#include "analytics/config/remote_config_event_editing.h"
#include "analytics/config/remote_config_test_support.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/script/host_modules.h"
#include "analytics/script/map_value.h"
#include "analytics/script/runtime.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/text.h"

namespace {

using rc_test::Config;
using rc_test::EventRule;

constexpr const char* kAppID = "1:1234:macos:abcd";

// An event-editing runtime that keeps the module creators it is given and loads as told.
class FakeEditing : public ZIVRemoteConfigEventEditing {
 public:
  explicit FakeEditing(bool succeed) : succeed_(succeed) {}
  void setModuleCreator(APMPModuleCreator creator, const std::string& name) override {
    creators[name] = std::move(creator);
  }
  bool loadProgram(const APMPBProgram& program, fnd::Error* error) override {
    (void)program;
    ++loads;
    if (succeed_) return true;
    if (error) *error = fnd::Error("test.script", 7);
    return false;
  }
  std::map<std::string, APMPModuleCreator> creators;
  int loads = 0;

 private:
  const bool succeed_;
};

class RemoteConfigTest : public ZIVFoundationTest {
 protected:
  RemoteConfigTest() {
    persisted_ = ZIVPersistedConfig::create("com.rivado.measurement.rc", clock_);
  }

  // The analytics database, opened on first use.
  const std::shared_ptr<ZIVDatabase>& database() {
    if (!database_) {
      fnd::Error error;
      database_ = ZIVDatabase::initWithDatabaseName(ZIVDatabaseFileName, persisted_, &error,
                                                    {nullptr, clock_});
      EXPECT_TRUE(database_) << error.description();
    }
    return database_;
  }

  ZIVRemoteConfigEnvironment Environment() {
    ZIVRemoteConfigEnvironment environment;
    environment.clock = clock_;
    environment.services = services_;
    environment.infoDictionaryValue = [this](const std::string& key) -> std::optional<fnd::Value> {
      auto it = info_.find(key);
      if (it == info_.end()) return std::nullopt;
      return it->second;
    };
    environment.bundleIdentifier = [] { return std::string("com.example.app"); };
    return environment;
  }
  // A settings store over the fixture's database, loading what the database holds.
  std::shared_ptr<ZIVRemoteConfig> Make() {
    return ZIVRemoteConfig::initWithAppID(kAppID, database(), persisted_,
                                          std::shared_ptr<APMEManager>(), Environment());
  }
  // A settings store without database that applies `config` at once.
  std::shared_ptr<ZIVRemoteConfig> MakeWith(const std::shared_ptr<APMPBMeasurementConfig>& config) {
    return ZIVRemoteConfig::initWithAppID(kAppID, std::shared_ptr<ZIVDatabase>(), config,
                                          persisted_, std::shared_ptr<APMEManager>(),
                                          Environment());
  }

  std::shared_ptr<ZIVPersistedConfig> persisted_;
  std::shared_ptr<ZIVDatabase> database_;
  std::shared_ptr<rc_test::TestServices> services_ = std::make_shared<rc_test::TestServices>();
  std::map<std::string, fnd::Value> info_;
};

TEST_F(RemoteConfigTest, CheckedConstructionRefusesMissingAppIDOrDatabase) {
  EXPECT_EQ(ZIVRemoteConfig::initWithAppID("", database(), persisted_,
                                           std::shared_ptr<APMEManager>(), Environment()),
            nullptr);
  ExpectLogged(sharedLog_, 1, 29000,
               "Cannot init remote configuration without valid Rivado App ID");
  EXPECT_EQ(ZIVRemoteConfig::initWithAppID(kAppID, std::shared_ptr<ZIVDatabase>(),
                                           std::shared_ptr<APMEManager>(), Environment()),
            nullptr);
  ExpectLogged(sharedLog_, 1, 29001, "Cannot init remote configuration without valid database");

  sharedLog_.clear();
  auto config = Make();
  ASSERT_TRUE(config);
  EXPECT_FALSE(config->isDefaultInstance());
  EXPECT_EQ(config->version(), -1);
  ExpectLogged(sharedLog_, 7, 29017,
               "Configuration was not found in database. The configuration will be fetched from "
               "the network when necessary");
}

TEST_F(RemoteConfigTest, DefaultInstanceOnlyAnswersDefaults) {
  const auto& config = ZIVRemoteConfig::defaultInstance();
  ASSERT_TRUE(config);
  EXPECT_EQ(config, ZIVRemoteConfig::defaultInstance());
  EXPECT_TRUE(config->isDefaultInstance());
  EXPECT_EQ(config->uploadingInterval(), 3600);

  EXPECT_FALSE(config->updateMeasurementConfig(Config("")));
  ExpectLogged(sharedLog_, 2, 29002, "Cannot update the default measurement configuration");
  EXPECT_EQ(config->measurementConfigFromDatabase(), nullptr);
  ExpectLogged(sharedLog_, 2, 29015,
               "Cannot retrieve a measurement configuration from the database for the default "
               "instance");
  EXPECT_FALSE(config->isExpired());
  ExpectLogged(sharedLog_, 2, 29007,
               "Cannot fetch the last update timestamp from the default configuration");
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), 0);
  ExpectLogged(sharedLog_, 2, 29008,
               "Cannot fetch the last configuration update timestamp from the default instance");
  EXPECT_EQ(config->remoteConfigURLWithPlatform("macos", 1, 2), std::nullopt);
  ExpectLogged(sharedLog_, 2, 29021,
               "Cannot create a URL to fetch a configuration with empty app ID");
}

TEST_F(RemoteConfigTest, UpdatesAreStoredAndReloadedFromTheDatabase) {
  auto config = Make();
  sharedLog_.clear();
  EXPECT_FALSE(config->updateMeasurementConfig(nullptr));
  ExpectLogged(sharedLog_, 5, 29003, "Cannot set empty measurement config to database");
  EXPECT_FALSE(config->updateMeasurementConfig(Config("another app")));
  ExpectLogged(sharedLog_, 2, 29004,
               "Cannot set measurement config when Rivado App ID does not match");
  EXPECT_FALSE(config->updateMeasurementConfig(Config(std::nullopt)));

  auto message = Config(kAppID, {{"measurement.upload.interval", "60000"}});
  NANOSetInt64(message.get(), APMPBMeasurementConfig::kVersion, 42);
  ASSERT_TRUE(config->updateMeasurementConfig(message));
  EXPECT_EQ(config->version(), 42);
  EXPECT_EQ(config->uploadingInterval(), 60);
  ExpectLogged(sharedLog_, 7, 29014, "Successfully parsed a configuration. Version");
  EXPECT_EQ(sharedLog_.withCode(29014)[0].contexts, fnd::Array{fnd::Value(42)});
  // The caller's message stays the caller's.
  NANOSetInt64(message.get(), APMPBMeasurementConfig::kVersion, 43);
  EXPECT_EQ(config->version(), 42);

  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), clock_->wallTime());
  EXPECT_FALSE(config->isExpired());
  clock_->advance(3599);
  EXPECT_FALSE(config->isExpired());
  clock_->advance(1);
  EXPECT_TRUE(config->isExpired());
  // The server sets the cache time (in milliseconds).
  config->cacheValue(fnd::Value("86400000"), "measurement.config.cache_time");
  EXPECT_FALSE(config->isExpired());

  // A new store loads what was saved.
  auto reloaded = Make();
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(reloaded->version(), 42);
  EXPECT_EQ(reloaded->uploadingInterval(), 60);
}

TEST_F(RemoteConfigTest, AStoreFailureWithAnErrorIsReportedAndNothingChanges) {
  // An empty app ID matches a message without one, which the database refuses to store.
  auto config =
      ZIVRemoteConfig::initWithAppID("", database(), std::shared_ptr<APMPBMeasurementConfig>(),
                                     persisted_, std::shared_ptr<APMEManager>(), Environment());
  ASSERT_TRUE(config);
  EXPECT_FALSE(config->isDefaultInstance());
  sharedLog_.clear();
  EXPECT_FALSE(config->updateMeasurementConfig(
      Config(std::nullopt, {{"measurement.upload.interval", "60000"}})));
  ExpectLogged(sharedLog_, 1, 29005, "Cannot store config into the database");
  EXPECT_EQ(config->uploadingInterval(), 3600);
  EXPECT_EQ(config->measurementConfig(), nullptr);
}

TEST_F(RemoteConfigTest, ACorruptStoredConfigurationIsLoggedAndDefaultsRemain) {
  ASSERT_TRUE(database()->sqliteStore());
  auto config = Make();
  ASSERT_TRUE(
      config->updateMeasurementConfig(Config(kAppID, {{"measurement.upload.interval", "60000"}})));
  ASSERT_TRUE(database()->sqliteStore()->executeSQL(
      "UPDATE app_metadata SET remote_config_data = X'FFFF'"));
  sharedLog_.clear();
  auto reloaded = Make();
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(sharedLog_.withCode(29016).size(), 1u);
  EXPECT_EQ(reloaded->uploadingInterval(), 3600);
  EXPECT_EQ(reloaded->version(), -1);
}

TEST_F(RemoteConfigTest, ParsingFillsSettingsRulesControlsConsentAndPSMLimits) {
  services_->internalNames = {{"in_app_purchase", "_iap"}};
  auto message = Config(kAppID, {{"measurement.upload.max_bundles", "7"},
                                 {"", "skipped"},
                                 {"measurement.no_value", ""},
                                 {"measurement.psm_prefix_email", "12"}});
  rc_test::SetEventRules(message.get(), {{"in_app_purchase", true, std::nullopt, std::nullopt},
                                         {"", true, std::nullopt, std::nullopt},
                                         {"custom", std::nullopt, true, 10}});
  rc_test::SetDataControls(message.get(), {"limit_ads", "no_share"});

  auto consent = APMPBConsentConfig::initWithBuffer(nullptr);
  auto defaultEntry = [](int32_t type, int32_t status) {
    auto entry = APMPBConsentDefaultEntry::initWithBuffer(nullptr);
    NANOSetInt32(entry.get(), APMPBConsentDefaultEntry::kConsentType, type);
    NANOSetInt32(entry.get(), APMPBConsentDefaultEntry::kConsentStatus, status);
    return rc_test::Record(entry);
  };
  auto delegation = [](int32_t type, int32_t delegated) {
    auto entry = APMPBConsentDelegationEntry::initWithBuffer(nullptr);
    NANOSetInt32(entry.get(), APMPBConsentDelegationEntry::kConsentType, type);
    NANOSetInt32(entry.get(), APMPBConsentDelegationEntry::kDelegatedType, delegated);
    return rc_test::Record(entry);
  };
  fnd::Array defaults{defaultEntry(1, 1), defaultEntry(3, 2), defaultEntry(9, 1),
                      defaultEntry(2, 3)};
  fnd::Array delegations{delegation(3, 1), delegation(4, 0)};
  fnd::Array regional{defaultEntry(4, 2)};
  auto service = APMPBCorePlatformServiceEntry::initWithBuffer(nullptr);
  NANOSetString(service.get(), APMPBCorePlatformServiceEntry::kService, fnd::Value("search"));
  auto emptyService = APMPBCorePlatformServiceEntry::initWithBuffer(nullptr);
  fnd::Array services{rc_test::Record(service), rc_test::Record(emptyService)};
  NANOSetArray(consent.get(), APMPBConsentConfig::kConsentDefaults, &defaults);
  NANOSetArray(consent.get(), APMPBConsentConfig::kConsentDelegations, &delegations);
  NANOSetArray(consent.get(), APMPBConsentConfig::kCorePlatformServices, &services);
  NANOSetArray(consent.get(), APMPBConsentConfig::kRegionalDefaults, &regional);
  NANOSetBool(consent.get(), APMPBConsentConfig::kDmaRegion, false);
  NANOSetMessage(message.get(), APMPBMeasurementConfig::kConsentConfig, consent.get());

  auto psm = APMPBPsmSetting::initWithBuffer(nullptr);
  NANOSetInt32(psm.get(), APMPBPsmSetting::kLPhoneFirstOpen, 99);
  NANOSetInt32(psm.get(), APMPBPsmSetting::kMaxSignInDelayDays, 1);
  NANOSetMessage(message.get(), APMPBMeasurementConfig::kPsmSetting, psm.get());

  auto config = MakeWith(message);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 7);
  EXPECT_EQ(sharedLog_.withCode(29019).size(), 2u);
  EXPECT_EQ(sharedLog_.withCode(29019)[0].message, "Cannot cache empty configuration value");
  ExpectLogged(sharedLog_, 5, 29013,
               "Cannot cache event configuration with an empty configuration name");

  // Rules are kept under the internal name of a public name.
  EXPECT_TRUE(config->eventConfigWithName("_iap"));
  EXPECT_FALSE(config->eventConfigWithName("in_app_purchase"));
  EXPECT_TRUE(config->isEventBlocklisted("_iap"));
  EXPECT_TRUE(config->isEventCustomConversion("custom"));
  EXPECT_EQ(config->samplingRateForEvent("custom"), 10);

  EXPECT_EQ(config->dataControls(), (std::vector<std::string>{"limit_ads", "no_share"}));
  EXPECT_FALSE(config->isDMARegion());
  EXPECT_EQ(config->consentDefaults(),
            (fnd::Dictionary{{"ad_storage", "granted"}, {"ad_user_data", "denied"}}));
  EXPECT_EQ(config->consentDelegations(), (fnd::Dictionary{{"ad_user_data", "ad_storage"}}));
  EXPECT_EQ(config->regionalDefaults(), (fnd::Dictionary{{"ad_personalization", "denied"}}));
  EXPECT_EQ(config->corePlatformServices(), (std::set<std::string>{"search"}));

  // PSM limits from the configuration win over settings and are not bounded.
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 12);
  EXPECT_EQ(config->hashPrefixBitLengthPhone(), 99);
  EXPECT_EQ(config->maxSignInDelayInDays(), 1);

  // A configuration for another app changes nothing, silently.
  sharedLog_.clear();
  config->parseRemoteConfigFromMeasurementConfig(Config("other", {}));
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 7);
  EXPECT_TRUE(sharedLog_.entries().empty());
  // None at all is refused.
  config->parseRemoteConfigFromMeasurementConfig(nullptr);
  ExpectLogged(sharedLog_, 2, 29012, "Cannot parse empty measurement config. Using default values");
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 7);

  // An empty settings list for this app clears everything it refills.
  config->parseRemoteConfigFromMeasurementConfig(Config(kAppID, {}));
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 100);
  EXPECT_FALSE(config->eventConfigWithName("_iap"));
  EXPECT_TRUE(config->dataControls().empty());
  EXPECT_TRUE(config->consentDefaults().empty());
  EXPECT_TRUE(config->corePlatformServices().empty());
  EXPECT_FALSE(config->isDMARegion()) << "kept without a consent configuration";
  EXPECT_EQ(config->hashPrefixBitLengthPhone(), 11);

  config->reset();
  EXPECT_TRUE(config->isDMARegion());
  EXPECT_EQ(config->measurementConfig(), nullptr);
  EXPECT_EQ(config->version(), -1);
}

TEST_F(RemoteConfigTest, EventRulesAndSamplingRates) {
  auto message = Config(kAppID, {{"measurement.upload.blacklist_public", "1"}});
  struct Rate {
    int32_t sent;
    int32_t answered;
  } rates[] = {{0, 1}, {1, 1}, {2, 2}, {100, 100}, {65535, 65535}, {65536, 1}, {-5, 1}};
  std::vector<EventRule> rules;
  for (const Rate& r : rates) {
    rules.push_back({"rate_" + std::to_string(r.sent), std::nullopt, std::nullopt, r.sent});
  }
  rules.push_back({"_internal", false, false, std::nullopt});
  rules.push_back({"public_allowed", false, std::nullopt, std::nullopt});
  rc_test::SetEventRules(message.get(), rules);
  auto config = MakeWith(message);

  for (const Rate& r : rates) {
    std::string name = "rate_" + std::to_string(r.sent);
    EXPECT_TRUE(config->eventHasSamplingRate(name)) << name;
    EXPECT_EQ(config->samplingRateForEvent(name), r.answered) << name;
  }
  EXPECT_EQ(config->samplingRateForEvent("no_rule"), 1);
  EXPECT_FALSE(config->eventHasSamplingRate("_internal"));
  EXPECT_FALSE(config->isEventCustomConversion("_internal"));

  // Without a rule that blocks it, the public or internal switch decides.
  EXPECT_TRUE(config->isEventBlocklisted("public_allowed"));
  EXPECT_TRUE(config->isEventBlocklisted("no_rule"));
  EXPECT_FALSE(config->isEventBlocklisted("_internal"));
  config->cacheValue(fnd::Value("1"), "measurement.upload.blacklist_internal");
  EXPECT_TRUE(config->isEventBlocklisted("_internal"));

  sharedLog_.clear();
  EXPECT_FALSE(config->eventConfigWithName(""));
  ExpectLogged(sharedLog_, 5, 29006, "Cannot find event config with empty event name");
}

TEST_F(RemoteConfigTest, ProgramsStartEventEditingWithTheHostModules) {
  std::shared_ptr<FakeEditing> editing;
  services_->editingFactory = [&editing] {
    editing = std::make_shared<FakeEditing>(true);
    return editing;
  };
  services_->appVersion = "2.1";
  auto message = Config(kAppID, {{"measurement.upload.retry_count", "9"}});
  fnd::Array programs{rc_test::Record(APMPBProgram::initWithBuffer(nullptr)),
                      rc_test::Record(APMPBProgram::initWithBuffer(nullptr))};
  NANOSetArray(message.get(), APMPBMeasurementConfig::kPrograms, &programs);
  auto config = MakeWith(message);
  ASSERT_TRUE(editing);
  EXPECT_EQ(config->eventEditing(), editing);
  EXPECT_EQ(editing->loads, 1);
  ExpectLogged(sharedLog_, 7, 29027, "Loading Event Modification and Creation programs");
  EXPECT_EQ(sharedLog_.withCode(29027)[0].contexts, fnd::Array{fnd::Value(2)});

  ASSERT_EQ(editing->creators.size(), 3u);
  APMPRuntime runtime;
  APMPScopeRef scope = runtime.getRunScope();
  APMPError error;

  // internal.remoteConfig reads the settings cache: strings as sent, numbers as text.
  auto store =
      std::dynamic_pointer_cast<APMPFunctionValue>(editing->creators.at("internal.remoteConfig")());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->functionName(), u"internal.remoteConfig");
  auto getValue =
      std::dynamic_pointer_cast<APMPFunctionValue>(store->valueForProperty(u"getValue"));
  ASSERT_TRUE(getValue);
  auto lookup = [&](const std::string& key) {
    APMPValueRef answer = getValue->invokeWithArguments(
        {APMPStringValue::stringWithUTF8(key), APMPStringValue::stringWithUTF8("fallback")}, scope,
        &error);
    EXPECT_FALSE(error);
    return fnd::FromUTF16(answer->stringValueOrError(&error));
  };
  EXPECT_EQ(lookup("measurement.upload.retry_count"), "9");
  EXPECT_EQ(config->uploadingRetryCount(), 9);  // Now cached as a number.
  EXPECT_EQ(lookup("measurement.upload.retry_count"), "9");
  EXPECT_EQ(config->uploadingInterval(), 3600);
  EXPECT_EQ(lookup("measurement.upload.interval"), "3600");
  EXPECT_EQ(lookup("measurement.unknown"), "fallback");

  // internal.appMetadata describes the application.
  auto provider =
      std::dynamic_pointer_cast<APMPFunctionValue>(editing->creators.at("internal.appMetadata")());
  ASSERT_TRUE(provider);
  auto metadata =
      std::dynamic_pointer_cast<APMPMapValue>(provider->invokeWithArguments({}, scope, &error));
  ASSERT_TRUE(metadata);
  auto text = [&](const char16_t* name) {
    return fnd::FromUTF16(metadata->valueForProperty(name)->stringValueOrError(&error));
  };
  EXPECT_EQ(text(u"platform"), "macos");
  EXPECT_EQ(text(u"package_name"), "com.example.app");
  EXPECT_EQ(text(u"zuz_version"), "120500");
  EXPECT_EQ(text(u"app_version"), "2.1");

  auto logger =
      std::dynamic_pointer_cast<APMPFunctionValue>(editing->creators.at("internal.logger")());
  ASSERT_TRUE(logger);
  EXPECT_TRUE(logger->hasProperty(u"log"));

  // A configuration without programs keeps the runtime.
  config->parseRemoteConfigFromMeasurementConfig(Config(kAppID, {}));
  EXPECT_EQ(config->eventEditing(), editing);
}

TEST_F(RemoteConfigTest, AProgramThatFailsToLoadLeavesControlsAndConsentAsTheyWere) {
  auto first = Config(kAppID, {});
  rc_test::SetDataControls(first.get(), {"kept"});
  auto consent = APMPBConsentConfig::initWithBuffer(nullptr);
  auto entry = APMPBConsentDefaultEntry::initWithBuffer(nullptr);
  NANOSetInt32(entry.get(), APMPBConsentDefaultEntry::kConsentType, 2);
  NANOSetInt32(entry.get(), APMPBConsentDefaultEntry::kConsentStatus, 2);
  fnd::Array defaults{rc_test::Record(entry)};
  NANOSetArray(consent.get(), APMPBConsentConfig::kConsentDefaults, &defaults);
  NANOSetMessage(first.get(), APMPBMeasurementConfig::kConsentConfig, consent.get());
  auto config = MakeWith(first);
  ASSERT_EQ(config->dataControls(), std::vector<std::string>{"kept"});

  struct Case {
    const char* name;
    bool haveRuntime;
    bool loads;
  } cases[] = {{"no runtime can be made", false, false}, {"the program fails", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    services_->editingFactory = [&c]() -> std::shared_ptr<ZIVRemoteConfigEventEditing> {
      if (!c.haveRuntime) return nullptr;
      return std::make_shared<FakeEditing>(c.loads);
    };
    auto second = Config(kAppID, {{"measurement.upload.retry_count", "9"}});
    rc_test::SetDataControls(second.get(), {"new"});
    fnd::Array programs{rc_test::Record(APMPBProgram::initWithBuffer(nullptr))};
    NANOSetArray(second.get(), APMPBMeasurementConfig::kPrograms, &programs);
    sharedLog_.clear();
    config->parseRemoteConfigFromMeasurementConfig(second);
    ExpectLogged(sharedLog_, 1, 29026, "Failed to initiate event editing instance");
    EXPECT_EQ(config->eventEditing(), nullptr);
    // Settings before the programs are applied; what follows them is not.
    EXPECT_EQ(config->uploadingRetryCount(), 9);
    EXPECT_EQ(config->dataControls(), std::vector<std::string>{"kept"});
    EXPECT_EQ(config->consentDefaults(), (fnd::Dictionary{{"analytics_storage", "denied"}}));
  }
}

TEST_F(RemoteConfigTest, TheScriptingRuntimeLoadsProgramsOrRefusesThem) {
  auto entity = [](int32_t type) {
    auto node = APMPBRuntimeEntity::initWithBuffer(nullptr);
    NANOSetInt32(node.get(), APMPBRuntimeEntity::kType, type);
    NANOSetString(node.get(), APMPBRuntimeEntity::kStringValue, fnd::Value("text"));
    return rc_test::Record(node);
  };
  auto withProgram = [](int32_t type, const fnd::Value& node) {
    auto message = Config(kAppID, {});
    rc_test::SetDataControls(message.get(), {std::to_string(type)});
    auto program = APMPBProgram::initWithBuffer(nullptr);
    fnd::Array entities{node};
    NANOSetArray(program.get(), APMPBProgram::kEntities, &entities);
    fnd::Array programs{rc_test::Record(program)};
    NANOSetArray(message.get(), APMPBMeasurementConfig::kPrograms, &programs);
    return message;
  };
  // A string literal is a valid program.
  auto config = MakeWith(withProgram(1, entity(1)));
  auto editing = std::dynamic_pointer_cast<ZIVScriptEventEditing>(config->eventEditing());
  ASSERT_TRUE(editing);
  EXPECT_EQ(sharedLog_.withCode(29027).size(), 1u);
  EXPECT_EQ(config->dataControls(), std::vector<std::string>{"1"});

  // An entity of no known type cannot run.
  config->parseRemoteConfigFromMeasurementConfig(withProgram(99, entity(99)));
  ASSERT_EQ(sharedLog_.withCode(29026).size(), 1u);
  EXPECT_EQ(sharedLog_.withCode(29026)[0].level, 1);
  ASSERT_EQ(sharedLog_.withCode(29026)[0].contexts.size(), 1u);
  EXPECT_TRUE(ZIVErrorFromContext(sharedLog_.withCode(29026)[0].contexts[0]));
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_EQ(config->dataControls(), std::vector<std::string>{"1"});
}

TEST_F(RemoteConfigTest, UploadURLFollowsSubdomainAndConsentStatus) {
  struct Case {
    const char* subdomain;
    int64_t consentStatus;
    std::string expected;
  } cases[] = {
      {nullptr, 0, "https://measurement.quellmark.example/a"},
      {"eu", 0, "https://eu.measurement.quellmark.example/a"},
      {"a.b-c", 0, "https://a.b-c.measurement.quellmark.example/a"},
      {nullptr, 3, "https://analytics.quellmark.example/a"},
      {"eu", 3, "https://eu.analytics.quellmark.example/a"},
      // Texts that would move the upload to another host are not used.
      {"evil.com/x?", 0, "https://measurement.quellmark.example/a"},
      {"user@host", 0, "https://measurement.quellmark.example/a"},
      {".", 0, "https://measurement.quellmark.example/a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subdomain ? c.subdomain : "none");
    auto message = Config(kAppID, {});
    if (c.subdomain) {
      NANOSetString(message.get(), APMPBMeasurementConfig::kUploadSubdomain,
                    fnd::Value(c.subdomain));
    }
    services_->consentStatus = c.consentStatus;
    auto config = MakeWith(message);
    EXPECT_EQ(config->uploadSubdomain(),
              c.subdomain ? std::optional<std::string>(c.subdomain) : std::nullopt);
    EXPECT_EQ(config->uploadURL(), c.expected);
  }
}

TEST_F(RemoteConfigTest, ConfigurationURLCarriesTheEncodedAppIDAndVersions) {
  auto config = MakeWith(Config(kAppID));
  EXPECT_EQ(config->remoteConfigURLWithPlatform("macos", 120500, 0),
            "https://measurement.quellmark.example/config/app/1:1234:macos:abcd?platform=macos&"
            "runtime_version=0&zuz_version=120500");
  EXPECT_EQ(config->remoteConfigURLWithPlatform(std::nullopt, 1, 2), std::nullopt);
  ExpectLogged(sharedLog_, 2, 29010,
               "Cannot create a URL to fetch a configuration with empty platform");

  auto odd = ZIVRemoteConfig::initWithAppID("a b/c?d#é", std::shared_ptr<ZIVDatabase>(),
                                            Config("a b/c?d#é"), persisted_,
                                            std::shared_ptr<APMEManager>(), Environment());
  EXPECT_EQ(odd->remoteConfigURLWithPlatform("mac os", 1, 2),
            "https://measurement.quellmark.example/config/app/a%20b%2Fc%3Fd%23%C3%A9?"
            "platform=mac%20os&runtime_version=2&zuz_version=1");
}

TEST_F(RemoteConfigTest, ServerSideTaggingNeedsSettingPlistURLAndRollout) {
  persisted_->setAppInstanceID(std::string("instance-1"));
  struct Case {
    const char* name;
    bool setting;
    std::optional<fnd::Value> plist;
    const char* url;
    std::optional<int32_t> percentage;
    bool preview;
    bool enabled;
  } cases[] = {
      {"all there", true, fnd::Value(true), "https://tag.example/x", 100, false, true},
      {"setting off", false, fnd::Value(true), "https://tag.example/x", 100, false, false},
      {"plist missing", true, std::nullopt, "https://tag.example/x", 100, false, false},
      {"plist false", true, fnd::Value(false), "https://tag.example/x", 100, false, false},
      {"plist a string", true, fnd::Value("YES"), "https://tag.example/x", 100, false, false},
      {"plist a number", true, fnd::Value(1), "https://tag.example/x", 100, false, true},
      {"no url", true, fnd::Value(true), "", 100, false, false},
      {"nobody rolled out", true, fnd::Value(true), "https://tag.example/x", 0, false, false},
      {"no rollout sent", true, fnd::Value(true), "https://tag.example/x", std::nullopt, false,
       false},
      {"negative rollout", true, fnd::Value(true), "https://tag.example/x", -1, false, false},
      {"preview headers", true, fnd::Value(true), "https://tag.example/x", 0, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    info_.clear();
    if (c.plist) info_["RIVADO_ANALYTICS_SGTM_UPLOAD_ENABLED"] = *c.plist;
    services_->previewHeaders =
        c.preview ? std::optional<fnd::Dictionary>(fnd::Dictionary{{"X-Preview", "1"}})
                  : std::nullopt;
    auto message = Config(kAppID, {{"measurement.sgtm_upload_enabled", c.setting ? "1" : "0"}});
    rc_test::SetSGTM(message.get(), c.url, "", "", c.percentage);
    EXPECT_EQ(MakeWith(message)->SGTMUploadEnabled(), c.enabled);
  }

  // A partial rollout keeps an installation on one side, and splits installations.
  info_["RIVADO_ANALYTICS_SGTM_UPLOAD_ENABLED"] = fnd::Value(true);
  services_->previewHeaders.reset();
  auto message = Config(kAppID, {});
  rc_test::SetSGTM(message.get(), "https://tag.example/x", "", "", 50);
  auto config = MakeWith(message);
  int enabled = 0;
  for (int i = 0; i < 200; ++i) {
    persisted_->setAppInstanceID("instance-" + std::to_string(i));
    bool first = config->SGTMUploadEnabled();
    EXPECT_EQ(config->SGTMUploadEnabled(), first);
    enabled += first ? 1 : 0;
  }
  EXPECT_GT(enabled, 0);
  EXPECT_LT(enabled, 200);
  // Without an app instance ID only a full rollout passes.
  persisted_->setAppInstanceID(std::nullopt);
  EXPECT_FALSE(config->SGTMUploadEnabled());
}

TEST_F(RemoteConfigTest, ServerSideTaggingRolloutBoundaries) {
  // An installation falls in one of 100 buckets and is in a rollout of p percent when its bucket
  // is below p: 0 reaches nobody, 100 everybody, 1 only bucket 0, 99 everybody but bucket 99.
  info_["RIVADO_ANALYTICS_SGTM_UPLOAD_ENABLED"] = fnd::Value(true);
  const int32_t percentages[] = {0, 1, 50, 99, 100};
  std::vector<std::shared_ptr<ZIVRemoteConfig>> configs;
  for (int32_t p : percentages) {
    auto message = Config(kAppID, {});
    rc_test::SetSGTM(message.get(), "https://tag.example/x", "", "", p);
    configs.push_back(MakeWith(message));
  }
  int atOne = 0, belowHundredAtNinetyNine = 0;
  for (int i = 0; i < 1000; ++i) {
    persisted_->setAppInstanceID("installation-" + std::to_string(i));
    bool previous = false;
    for (size_t k = 0; k < configs.size(); ++k) {
      const bool enabled = configs[k]->SGTMUploadEnabled();
      EXPECT_TRUE(enabled || !previous) << i << " leaves the rollout as it grows";
      previous = enabled;
      if (percentages[k] == 0) {
        EXPECT_FALSE(enabled) << i;
      }
      if (percentages[k] == 100) {
        EXPECT_TRUE(enabled) << i;
      }
      if (percentages[k] == 1 && enabled) ++atOne;
      if (percentages[k] == 99 && !enabled) ++belowHundredAtNinetyNine;
    }
  }
  // Both edge buckets are populated, so the edges above were really tried.
  EXPECT_GT(atOne, 0);
  EXPECT_GT(belowHundredAtNinetyNine, 0);
}

TEST_F(RemoteConfigTest, ServerSideTaggingURLAndHeaders) {
  struct Case {
    const char* name;
    bool hasSetting;
    const char* url;
    const char* part;
    const char* info;
    int64_t consentStatus;
    std::optional<std::string> expectedURL;
    std::optional<std::string> expectedInfo;
  } cases[] = {
      {"none", false, "", "", "", 0, std::nullopt, std::nullopt},
      {"url", true, "https://tag.example/a", "", "srv", 0, "https://tag.example/a", "srv"},
      {"part ignored", true, "https://tag.example/a", "https://eu.tag.example/a", "", 0,
       "https://tag.example/a", std::nullopt},
      {"part with status 3", true, "https://tag.example/a", "https://eu.tag.example/a", "", 3,
       "https://eu.tag.example/a", std::nullopt},
      {"part not a URL", true, "https://tag.example/a", "eu/a", "", 3, "https://tag.example/a",
       std::nullopt},
      {"url not a URL", true, "not a url", "", "", 0, std::nullopt, std::nullopt},
      {"header injection", true, "https://tag.example/a", "", "a\r\nX-Evil: 1", 0,
       "https://tag.example/a", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    services_->consentStatus = c.consentStatus;
    auto message = Config(kAppID, {});
    if (c.hasSetting) rc_test::SetSGTM(message.get(), c.url, c.info, c.part);
    auto config = MakeWith(message);
    EXPECT_EQ(config->SGTMUploadURL(), c.expectedURL);
    auto headers = config->SGTMUploadHTTPHeaders();
    if (c.expectedInfo) {
      EXPECT_EQ(headers, (fnd::Dictionary{{"x-sgtm-server-info", *c.expectedInfo}}));
    } else {
      EXPECT_EQ(headers, std::nullopt);
    }
  }
}

TEST_F(RemoteConfigTest, NumbersFromStrings) {
  struct Case {
    const char* text;
    std::optional<fnd::Value> number;
  } cases[] = {
      {"0", fnd::Value::Int64(0)},
      {"-12", fnd::Value::Int64(-12)},
      {"+7", fnd::Value::Int64(7)},
      {"1.5", fnd::Value(1.5)},
      {".5", fnd::Value(0.5)},
      {"5.", fnd::Value(5.0)},
      {"99999999999999999999", fnd::Value(1e20)},
      {"", std::nullopt},
      {"-", std::nullopt},
      {".", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1,000", std::nullopt},
      {"12a", std::nullopt},
      {"nan", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVRemoteConfig::numberFromString(c.text), c.number) << c.text;
  }
  auto config = MakeWith(Config(kAppID));
  sharedLog_.clear();
  EXPECT_EQ(config->numberFromCacheWithKey("", fnd::Value(1), std::nullopt, std::nullopt),
            std::nullopt);
  EXPECT_EQ(config->intValueFromCacheWithKey("", 5, 10, 0), 0);
  EXPECT_EQ(sharedLog_.withCode(29020).size(), 2u);
  EXPECT_EQ(sharedLog_.withCode(29020)[0].level, 7);
  EXPECT_EQ(sharedLog_.withCode(29020)[0].message, "Cannot get setting with empty key from cache");
  config->cacheValue(fnd::Value(), "key");
  EXPECT_EQ(sharedLog_.withCode(29019).size(), 1u);
  // Huge values without bounds stay safe to convert.
  config->cacheValue(fnd::Value("99999999999999999999"), "huge");
  EXPECT_EQ(config->int64ValueFromCacheWithKey("huge", 3), INT64_MAX);
}

// ---- Experiments.

class RemoteConfigExperimentsTest : public apme_test::APMEWorkerTest {
 protected:
  void SetUp() override {
    taskManager_ = MakeTaskManager();
    manager_ = APMEManager::initWithTaskManager(taskManager_, clock_, builder_);
    taskManager_->startTaskManager();
    Settle();
    ZIVRemoteConfigEnvironment environment;
    environment.clock = clock_;
    environment.services = services_;
    config_ = ZIVRemoteConfig::initWithAppID("app", std::shared_ptr<ZIVDatabase>(), Config("app"),
                                             std::shared_ptr<ZIVPersistedConfig>(), manager_,
                                             environment);
    Settle();
  }
  void TearDown() override {
    Settle();
    apme_test::APMEWorkerTest::TearDown();
  }
  void Settle() { Drain(manager_->serialQueue()); }
  void Deliver(const APMESnapshots& snapshots, const APMESDKErrors& errors = {}) {
    manager_->taskManagerDidFinishFetchingExperimentSnapshots(*taskManager_, snapshots, errors);
    Settle();
  }

  std::shared_ptr<rc_test::TestServices> services_ = std::make_shared<rc_test::TestServices>();
  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<APMEManager> manager_;
  std::shared_ptr<ZIVRemoteConfig> config_;
};

TEST_F(RemoteConfigExperimentsTest, RegistersAsAnSDKAndObservesItsClient) {
  ASSERT_TRUE(config_);
  const auto& client = config_->experimentClient();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->SDKName(), "duv_udiredururo");
  EXPECT_EQ(client->SDKProperty()->version(), 120500);
  EXPECT_EQ(client->delegate(), config_);
  EXPECT_EQ(client->SDKProperty()->delegate(), config_);
  EXPECT_EQ(manager_->clientForSDKName(fnd::Value("duv_udiredururo")), client);
  EXPECT_TRUE(config_->experimentIDs().empty());

  // Whether to fetch follows the engine.
  EXPECT_EQ(config_->shouldFetchExperimentsForClient(*client), false);
  services_->hasShared = true;
  EXPECT_EQ(config_->shouldFetchExperimentsForClient(*client), false);
  services_->enabled = true;
  EXPECT_EQ(config_->shouldFetchExperimentsForClient(*client), true);

  log_.clear();
  config_->clientDidReceiveFetchError(client, fnd::Error("server", 3));
  ExpectLogged(log_, 2, 29025, "Cannot fetch experiment. Error");
}

TEST_F(RemoteConfigExperimentsTest, NewSnapshotsActivateOnlyWhenAnnounced) {
  using apme_test::Experiment;
  using apme_test::Flag;
  using apme_test::Snapshot;
  const auto& client = config_->experimentClient();
  ASSERT_TRUE(client);
  EXPECT_TRUE(config_->customerTypeEnabled());
  EXPECT_TRUE(config_->PSMSessionStartEnabled());
  EXPECT_FALSE(config_->sessionStitchingTokenFeatureEnabled());

  EXPECT_FALSE(config_->activateNewSnapshot());
  Deliver({Snapshot(
      "duv_udiredururo",
      {Experiment(5, {Flag("customer_type_enabled", 0), Flag("psm_group_id_enabled", "false"),
                      Flag("session_stitching_token_feature_enabled", 1)})})});
  // The stitching flag is read from the client as soon as it is in force; the others are copies.
  EXPECT_FALSE(config_->sessionStitchingTokenFeatureEnabled());
  config_->clientDidReceiveNewSnapshot(client);
  EXPECT_TRUE(config_->hasNewSnapshot());
  ASSERT_TRUE(config_->activateNewSnapshot());
  EXPECT_FALSE(config_->hasNewSnapshot());
  EXPECT_FALSE(config_->customerTypeEnabled());
  EXPECT_FALSE(config_->PSMGroupIDEnabled());
  EXPECT_TRUE(config_->PSMSessionStartEnabled()) << "no flag: the setting";
  EXPECT_TRUE(config_->sessionStitchingTokenFeatureEnabled());
  EXPECT_EQ(config_->experimentIDs(), std::vector<int64_t>{5});
  // A flag wins over the setting.
  config_->cacheValue(fnd::Value("1"), "measurement.customer_type_enabled");
  EXPECT_FALSE(config_->customerTypeEnabled());

  // An announcement without a pending snapshot fails and stays.
  config_->clientDidReceiveNewSnapshot(client);
  log_.clear();
  EXPECT_FALSE(config_->activateNewSnapshot());
  EXPECT_EQ(log_.withCode(29024).size(), 1u);
  EXPECT_TRUE(config_->hasNewSnapshot());

  // Reset forgets the copied flags and the manager's snapshots.
  config_->reset();
  Settle();
  EXPECT_TRUE(config_->customerTypeEnabled());
  EXPECT_TRUE(config_->experimentIDs().empty());
}

TEST_F(RemoteConfigExperimentsTest, ANewSnapshotIsAnnouncedThroughTheManagerOnTheMainQueue) {
  using apme_test::Experiment;
  using apme_test::Flag;
  using apme_test::Snapshot;
  // The settings object names no queue of its own: it hears of new snapshots on the main queue.
  Deliver({Snapshot("duv_udiredururo", {Experiment(7, {Flag("customer_type_enabled", 0)})})});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(config_->hasNewSnapshot());
  ASSERT_TRUE(config_->activateNewSnapshot());
  EXPECT_EQ(config_->experimentIDs(), std::vector<int64_t>{7});
  EXPECT_FALSE(config_->customerTypeEnabled());
}

TEST_F(RemoteConfigExperimentsTest, AnActivatedSnapshotIsReadAtConstruction) {
  using apme_test::Experiment;
  using apme_test::Flag;
  using apme_test::Snapshot;
  Deliver({Snapshot("duv_udiredururo", {Experiment(8, {Flag("psm_session_start_enabled", 0)})})});
  ASSERT_TRUE(config_->experimentClient()->activateLatestSnapshot());
  ZIVRemoteConfigEnvironment environment;
  environment.services = services_;
  auto second =
      ZIVRemoteConfig::initWithAppID("app", std::shared_ptr<ZIVDatabase>(), Config("app"),
                                     std::shared_ptr<ZIVPersistedConfig>(), manager_, environment);
  Settle();
  EXPECT_FALSE(second->PSMSessionStartEnabled());
}

}  // namespace
