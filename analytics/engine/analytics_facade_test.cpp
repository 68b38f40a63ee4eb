#include "analytics/engine/analytics_facade.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "analytics/engine/facade_test_support.h"
#include "analytics/foundation/user_defaults.h"
#include "analytics/foundation/value.h"

namespace {

using ZIVAnalyticsTest = FacadeTest;

fnd::Dictionary Dict(std::initializer_list<fnd::Dictionary::Entry> entries) {
  return fnd::Dictionary(entries);
}

TEST_F(ZIVAnalyticsTest, CallsBeforeTheStartRunAfterItInCallOrder) {
  analytics().setUserPropertyString(fnd::Value("pizza"), "favourite_food");
  analytics().logEventWithName("level_up", Dict({{"level", 3}}));
  analytics().logEventWithName("tutorial_done", std::nullopt);
  drain();
  EXPECT_TRUE(engine_->calls().empty());

  start();
  drain();
  EXPECT_EQ(engine_->calls(),
            (std::vector<std::string>{"init", "setUserAttribute:favourite_food",
                                      "logEvent:level_up", "logEvent:tutorial_done"}));
  ASSERT_EQ(engine_->events().size(), 2u);
  EXPECT_EQ(engine_->events()[0].origin, "app");
  EXPECT_TRUE(engine_->events()[0].isPublic);
  EXPECT_TRUE(engine_->events()[0].enabled);
  EXPECT_EQ(engine_->events()[0].parameters, Dict({{"level", 3}}));
  EXPECT_EQ(engine_->events()[0].timestamp, clock_->wallTime());
  EXPECT_EQ(engine_->init->appID, "1:1234567890:ios:abcdef");
  EXPECT_EQ(identifiers_.origin(), "fa");
}

TEST_F(ZIVAnalyticsTest, TimestampsFollowQueueOrderAcrossThreads) {
  start();
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop.load()) clock_->advance(0.001);
  });
  std::vector<std::thread> loggers;
  for (int t = 0; t < 4; ++t) {
    loggers.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        analytics().logEventWithName("thread_" + std::to_string(t), std::nullopt);
      }
    });
  }
  for (auto& l : loggers) l.join();
  stop.store(true);
  ticker.join();
  drain();
  std::vector<ZIVFacadeEvent> events = engine_->events();
  ASSERT_EQ(events.size(), 200u);
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_LE(events[i - 1].timestamp, events[i].timestamp) << "event " << i;
  }
}

TEST_F(ZIVAnalyticsTest, RefusedStartsNeverRunQueuedCalls) {
  struct Case {
    const char* name;
    bool oldFrameworkPresent;
    const char* origin;
    int64_t code;
    int64_t level;
  };
  const Case cases[] = {
      {"older framework", true, "fa", 25029, 1},
      {"foreign origin", false, "am", 25026, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_ = std::make_shared<FakeAnalyticsEngine>();
    analytics_.reset();
    log_.clear();
    classes_.removeClass("VIVUDatabase");
    if (c.oldFrameworkPresent) {
      classes_.registerClass(std::make_shared<FakeRuntimeClass>("VIVUDatabase"));
    }
    analytics().logEventWithName("before_start", std::nullopt);
    analytics().startWithAppID("1:1:ios:1", c.origin, {});
    EXPECT_FALSE(analytics().isStarted());
    ASSERT_EQ(log_.withCode(c.code).size(), 1u);
    EXPECT_EQ(log_.withCode(c.code)[0].level, c.level);
    analytics().queue()->sync([] {});
    EXPECT_TRUE(engine_->calls().empty());
    analytics_.reset();
  }
}

TEST_F(ZIVAnalyticsTest, SecondStartOnlyChangesTheLogTag) {
  start({{fnd::Value(ZIVMonitorLogTagOptionKey), fnd::Value("first")}});
  analytics().startWithAppID("other", "fa",
                             {{fnd::Value(ZIVMonitorLogTagOptionKey), fnd::Value("second")},
                              {fnd::Value(ZIVIsAnalyticsCollectionEnabled), fnd::Value(false)}});
  drain();
  EXPECT_EQ(ZIVMeasurement::monitor()->logTag(), "second");
  EXPECT_EQ(engine_->calls(), std::vector<std::string>{"init"});
  EXPECT_EQ(engine_->init->appID, "1:1234567890:ios:abcdef");
  EXPECT_TRUE(engine_->init->enabled);
}

TEST_F(ZIVAnalyticsTest, StartOptions) {
  struct Case {
    const char* name;
    fnd::Dictionary options;
    bool proxyEnabled;
    bool enabled;
    bool deactivated;
    std::optional<fnd::Array> safelist;
    std::vector<int64_t> codes;  // Of 25030, 25034, 25035, 25036 logged, in order.
    int proxiesMade;
  };
  const fnd::Value tag(ZIVMonitorLogTagOptionKey);
  const Case cases[] = {
      {"no options", {}, false, true, false, std::nullopt, {25036}, 0},
      {"enabled off",
       {{tag, "t"}, {ZIVIsAnalyticsCollectionEnabled, false}},
       true,
       false,
       false,
       std::nullopt,
       {},
       1},
      {"deactivated with proxy",
       {{tag, "t"}, {ZIVIsAnalyticsCollectionDeactivated, true}},
       true,
       true,
       true,
       std::nullopt,
       {},
       0},
      {"deactivated without proxy",
       {{tag, "t"}, {ZIVIsAnalyticsCollectionDeactivated, true}},
       false,
       true,
       true,
       std::nullopt,
       {25036},
       0},
      {"bad tag", {{tag, 7}}, true, true, false, std::nullopt, {25030}, 1},
      {"safelist not an array",
       {{tag, "t"}, {ZIVSafelistedEventsOptionKey, "purchase"}},
       true,
       true,
       false,
       std::nullopt,
       {25034},
       1},
      {"safelist with a bad name",
       {{tag, "t"}, {ZIVSafelistedEventsOptionKey, fnd::Array{"purchase", "bad name"}}},
       true,
       true,
       false,
       std::nullopt,
       {25035},
       1},
      {"safelist",
       {{tag, "t"}, {ZIVSafelistedEventsOptionKey, fnd::Array{"purchase", "_s"}}},
       true,
       true,
       false,
       fnd::Array{"purchase", "_s"},
       {},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_ = std::make_shared<FakeAnalyticsEngine>();
    log_.clear();
    int proxiesMade = 0;
    env_.isAppDelegateProxyEnabled = [&c] { return c.proxyEnabled; };
    env_.createAppDelegateProxy = [&proxiesMade] { ++proxiesMade; };
    start(c.options);
    drain();
    dispatch::RunLoop::main().runUntilIdle();
    ASSERT_TRUE(engine_->init);
    EXPECT_EQ(engine_->init->enabled, c.enabled);
    EXPECT_EQ(engine_->init->deactivated, c.deactivated);
    EXPECT_EQ(engine_->init->safelist, c.safelist);
    std::vector<int64_t> codes;
    for (int64_t code : log_.codes()) {
      if (code == 25030 || code == 25034 || code == 25035 || code == 25036) codes.push_back(code);
    }
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(proxiesMade, c.proxiesMade);
    EXPECT_EQ(analytics().isAnalyticsEnabled(), c.enabled && !c.deactivated);
    analytics_.reset();
  }
}

TEST_F(ZIVAnalyticsTest, VevOrozudoIsInitialisedWhenPresent) {
  auto present = std::make_shared<FakeRuntimeClass>("VEVOrozudo", "initializeSharedInstance");
  classes_.registerClass(present);
  start();
  drain();
  EXPECT_EQ(present->invocations, 1);
  EXPECT_TRUE(log_.withCode(25016).empty());

  auto claimsOnly =
      std::make_shared<FakeRuntimeClass>("VEVOrozudo", "initializeSharedInstance", false);
  classes_.registerClass(claimsOnly);
  analytics().maybeEnableVevOrozudo();
  ExpectLogged(log_, 2, 25016, "VEVOrozudo class doesn't define initializeSharedInstance");
}

TEST_F(ZIVAnalyticsTest, ConsentFromThePublicCall) {
  analytics().setConsent(
      Dict({{"ad_storage", "granted"}, {"analytics_storage", "maybe"}, {"unknown", "denied"}}),
      ZIVAnalyticsConsentSettings3PKey);
  auto invalid = log_.withCode(25042);
  ASSERT_EQ(invalid.size(), 1u);
  EXPECT_EQ(invalid[0].contexts, fnd::Array{fnd::Value("maybe")});
  EXPECT_EQ(consent_->consentSource(), 10);
  EXPECT_EQ(consent_->consentSettings(), Dict({{"ad_storage", "granted"}}));
  EXPECT_EQ(analytics().consentSettings3P(), Dict({{"ad_storage", "granted"}}));
  EXPECT_EQ(analytics().persistedConsentSource(), 10);
  ASSERT_EQ(log_.withCode(25055).size(), 1u);
  EXPECT_EQ(log_.withCode(25055)[0].level, 8);
  EXPECT_EQ(log_.withCode(25055)[0].message, consent_->description());
}

TEST_F(ZIVAnalyticsTest, ConsentRanks) {
  struct Step {
    const char* key;
    fnd::Dictionary consent;
    std::optional<int64_t> refusal;  // The code logged instead of an update.
    int64_t sourceAfter;
    fnd::Dictionary settingsAfter;
  };
  const Step steps[] = {
      {"consent_settings", {}, 25041, 100, {}},
      {"consent_settings", {{"ad_storage", "GRANTED"}}, 25041, 100, {}},
      {"consent_settings_3p",
       {{"ad_storage", "denied"}},
       std::nullopt,
       10,
       {{"ad_storage", "denied"}}},
      {"consent_settings", {{"ad_storage", "granted"}}, 25043, 10, {{"ad_storage", "denied"}}},
      {"consent_settings_tcf",
       {{"analytics_storage", "granted"}},
       std::nullopt,
       5,
       {{"ad_storage", "denied"}, {"analytics_storage", "granted"}}},
      {"consent_settings_3p",
       {{"ad_storage", "granted"}},
       std::nullopt,
       10,
       {{"ad_storage", "granted"}, {"analytics_storage", "granted"}}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.key) + " " + fnd::Value(s.consent).description());
    log_.clear();
    analytics().setConsent(s.consent, s.key);
    if (s.refusal) {
      EXPECT_EQ(log_.withCode(*s.refusal).size(), 1u);
    }
    EXPECT_EQ(consent_->consentSource(), s.sourceAfter);
    EXPECT_EQ(consent_->consentSettings().value_or(fnd::Dictionary()), s.settingsAfter);
  }
  // Each source wrote its own key only, with the full settings in force at that time.
  EXPECT_EQ(analytics().consentSettingsTCF(),
            Dict({{"ad_storage", "denied"}, {"analytics_storage", "granted"}}));
  EXPECT_EQ(analytics().consentSettings3P(),
            Dict({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}));
  EXPECT_EQ(analytics().consentSettings1P(), std::nullopt);
  EXPECT_EQ(analytics().persistedConsentSource(), 10);
}

TEST_F(ZIVAnalyticsTest, PersistedConsentAtTheNextLaunch) {
  struct Case {
    const char* name;
    std::optional<fnd::Dictionary> tcf;
    std::optional<fnd::Dictionary> thirdParty;
    std::optional<fnd::Dictionary> firstParty;
    std::optional<int64_t> storedSource;
    int64_t source;
    std::optional<fnd::Dictionary> settings;
  };
  const fnd::Dictionary granted{{"ad_storage", "granted"}};
  const fnd::Dictionary denied{{"ad_storage", "denied"}};
  const fnd::Dictionary mixed{{"analytics_storage", "denied"}};
  const Case cases[] = {
      {"nothing stored", std::nullopt, std::nullopt, std::nullopt, std::nullopt, 100, std::nullopt},
      {"tcf wins over 3p", granted, denied, std::nullopt, 10, 5, granted},
      {"3p capped at 20", std::nullopt, denied, mixed, 30, 20, denied},
      {"1p keeps 35", std::nullopt, std::nullopt, mixed, 35, 35, mixed},
      {"1p capped at 40", std::nullopt, std::nullopt, mixed, 50, 40, mixed},
      {"source without settings", std::nullopt, std::nullopt, std::nullopt, 30, 30, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    analytics().clearConsent();
    ZIVUserDefaults suite(suiteName_);
    if (c.tcf) suite.setObject(*c.tcf, ZIVAnalyticsConsentSettingsTCFKey);
    if (c.thirdParty) suite.setObject(*c.thirdParty, ZIVAnalyticsConsentSettings3PKey);
    if (c.firstParty) suite.setObject(*c.firstParty, ZIVAnalyticsConsentSettingsKey);
    if (c.storedSource) suite.setInteger(*c.storedSource, ZIVAnalyticsConsentSourceKey);
    suite.synchronize();
    relaunch();
    start();
    drain();
    EXPECT_EQ(consent_->consentSource(), c.source);
    EXPECT_EQ(consent_->consentSettings(), c.settings);
    relaunch();
  }
}

TEST_F(ZIVAnalyticsTest, ConcurrentConsentCallsLeaveTheStoreEqualToTheStateInForce) {
  analytics();  // Made before the threads share it.
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] {
      const char* types[] = {"ad_storage", "analytics_storage", "ad_user_data",
                             "ad_personalization"};
      for (int i = 0; i < 40; ++i) {
        analytics().setConsent(Dict({{types[(t + i) % 4], (i + t) % 2 ? "granted" : "denied"}}),
                               ZIVAnalyticsConsentSettings3PKey);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(analytics().consentSettings3P(), consent_->consentSettings());
  EXPECT_EQ(analytics().persistedConsentSource(), 10);
}

TEST_F(ZIVAnalyticsTest, ConsentSideEffects) {
  engine_->serverConsentDefaults = Dict({{"ad_user_data", "denied"}});
  start();
  analytics().setConsent(Dict({{"ad_user_data", "denied"}, {"ad_personalization", "denied"}}),
                         ZIVAnalyticsConsentSettings3PKey);
  drain();
  std::vector<ZIVFacadeEvent> events = engine_->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_dcu");
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].parameters, Dict({{"_r", fnd::Value::Int64(1)}}));
  // Ad personalisation denied: "allow_personalized_ads" NO, stored and "_npa" set.
  EXPECT_EQ(persistedConfig_->allowPersonalizedAds(), fnd::Value(false));
  ASSERT_EQ(engine_->setAttributes().size(), 1u);
  EXPECT_EQ(engine_->setAttributes()[0]->name(), "_npa");
  EXPECT_EQ(engine_->setAttributes()[0]->origin(), "auto");
}

TEST_F(ZIVAnalyticsTest, CollectionSwitch) {
  start({{fnd::Value(ZIVMonitorLogTagOptionKey), fnd::Value("t")},
         {fnd::Value(ZIVIsAnalyticsCollectionDeactivated), fnd::Value(true)}});
  analytics().setAnalyticsEnabled(true, /*persistSetting=*/true);
  drain();
  EXPECT_EQ(persistedConfig_->measurementEnabledState(), ZIVMeasurementEnabledStateEnabled);
  EXPECT_FALSE(analytics().isAnalyticsEnabled());
  analytics().setAnalyticsEnabled(false, /*persistSetting=*/true);
  drain();
  EXPECT_EQ(persistedConfig_->measurementEnabledState(), ZIVMeasurementEnabledStateDisabled);
  EXPECT_EQ(engine_->calls(), (std::vector<std::string>{"init", "setEnabled:0"}));
}

struct FakeConfiguration : fnd::Record {
  std::string typeName() const override { return "DEVAzodavevuConfiguration"; }
};

TEST_F(ZIVAnalyticsTest, ConfigurationNotificationSwitchesCollectionWithoutPersisting) {
  auto configuration = std::make_shared<FakeConfiguration>();
  start({{fnd::Value(ZIVMonitorLogTagOptionKey), fnd::Value("t")},
         {fnd::Value(ZIVAnalyticsConfiguration),
          fnd::Value(std::shared_ptr<fnd::Record>(configuration))}});
  drain();
  const std::string name = ZIVAnalyticsConfigurationSetEnabledNotification;
  center_.post(name, configuration.get(), {{fnd::Value(name), fnd::Value(false)}});
  center_.post(name, nullptr, {{fnd::Value(name), fnd::Value(true)}});  // Another sender.
  center_.post(name, configuration.get(), {{fnd::Value(name), fnd::Value("yes")}});
  drain();
  EXPECT_EQ(engine_->calls(), (std::vector<std::string>{"init", "setEnabled:0"}));
  EXPECT_EQ(persistedConfig_->measurementEnabledState(), 0);
  ExpectLogged(log_, 4, 25000, "Received setEnabled notification without NSNumber");
}

TEST_F(ZIVAnalyticsTest, SessionIDBeforeTheEngineIsReady) {
  engine_->componentsReady = false;
  std::promise<std::pair<int64_t, std::optional<fnd::Error>>> answer;
  analytics().sessionIDWithCompletion(
      [&answer](int64_t id, const std::optional<fnd::Error>& error) {
        EXPECT_FALSE(dispatch::Queue::current() &&
                     dispatch::Queue::current()->label() == "ZIVAnalyticsQueue");
        answer.set_value({id, error});
      });
  auto [id, error] = answer.get_future().get();
  EXPECT_EQ(id, 0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 13);
  EXPECT_EQ(error->localizedDescription(), "Analytics uninitialized");

  analytics().sessionIDWithCompletion(nullptr);
  ExpectLogged(log_, 1, 25050, "Analytics sessionID completion cannot be nil");
}

TEST_F(ZIVAnalyticsTest, SessionTimeout) {
  analytics().setSessionTimeoutInterval(-1);
  analytics().setSessionTimeoutInterval(600);
  analytics().queue()->sync([] {});
  ExpectLogged(log_, 4, 25060, "Session timeout interval cannot be set to a negative value");
  EXPECT_EQ(persistedConfig_->sessionTimeoutValue(), fnd::Value(600.0));
  start();
  analytics().setSessionTimeoutInterval(1800);
  drain();
  EXPECT_EQ(engine_->calls().back(), "setSessionTimeoutInterval:1800");
  EXPECT_EQ(log_.withCode(25059).size(), 2u);
}

TEST_F(ZIVAnalyticsTest, AppInstanceID) {
  analytics().setAppInstanceIDAfterReset(std::string("AFTERRESET"));
  EXPECT_EQ(analytics().appInstanceID(), "AFTERRESET");
  consent_->setConsentSettings(Dict({{"analytics_storage", "denied"}}));
  EXPECT_EQ(analytics().appInstanceID(), std::nullopt);
}

TEST_F(ZIVAnalyticsTest, ResetKeys) {
  analytics().setResetRetryCount(3);
  EXPECT_EQ(analytics().resetRetryCount(), 3);
  analytics().setResetRetryCount(0);
  EXPECT_EQ(analytics().resetRetryCount(), 0);
  EXPECT_EQ(ZIVUserDefaults(suiteName_).objectForKey(ZIVAnalyticsResetRetryCountKey), std::nullopt);
}

TEST_F(ZIVAnalyticsTest, ResetAnalyticsData) {
  start();
  analytics().resetAnalyticsData();
  drain();
  ASSERT_EQ(engine_->resetIDs.size(), 1u);
  ASSERT_TRUE(engine_->resetIDs[0]);
  EXPECT_EQ(engine_->resetIDs[0]->size(), 32u);
  EXPECT_EQ(analytics().resetRetryCount(), 0);
  EXPECT_EQ(analytics().appInstanceIDAfterReset(), std::nullopt);
  EXPECT_TRUE(analytics().needFirstOpenAfterReset());

  // Denied analytics storage: no identifier; a failing engine keeps the count.
  consent_->setConsentSettings(Dict({{"analytics_storage", "denied"}}));
  engine_->resetSucceeds = false;
  analytics().resetAnalyticsData();
  drain();
  ASSERT_EQ(engine_->resetIDs.size(), 2u);
  EXPECT_EQ(engine_->resetIDs[1], std::nullopt);
  EXPECT_EQ(analytics().appInstanceIDAfterReset(), std::nullopt);
  EXPECT_EQ(analytics().resetRetryCount(), 1);
  ExpectLogged(log_, 1, 25037, "Failed to reset Analytics data");
}

TEST_F(ZIVAnalyticsTest, RefusedEventNamesBecomeErrorEvents) {
  start();
  analytics().logEventWithName(std::string(41, 'a'), std::nullopt);
  analytics().logEventWithName("zudiroru_event", std::nullopt);
  analytics().logEventWithName("1st", std::nullopt);
  drain();
  EXPECT_EQ(errorEventCodes(), (std::vector<int64_t>{2, 13, 2}));
  for (const auto& e : engine_->events()) EXPECT_EQ(e.name, "_err");
}

TEST_F(ZIVAnalyticsTest, UserPropertyRules) {
  start();
  analytics().setUserPropertyString(fnd::Value(5), "favourite_food");
  analytics().setUserPropertyString(std::nullopt, "favourite_food");
  analytics().setUserPropertyString(std::nullopt, "1bad");
  analytics().setUserPropertyString(fnd::Value(std::string(37, 'x')), "favourite_food");
  analytics().setUserID(std::nullopt);
  analytics().setUserID(fnd::Value(12));
  analytics().setInternalUserProperty(fnd::Value("v"), "_custom", std::string(33, 'o'));
  analytics().setInternalUserProperty(fnd::Value("v"), "_custom", std::string(32, 'o'));
  drain();
  ExpectLogged(log_, 0, 25003, "User property must be NSString. Value");
  ExpectLogged(log_, 0, 25004, "User ID must be NSString. User ID");
  ExpectLogged(log_, 2, 25005, "Unable to set user property. Origin is invalid. Origin, name");
  EXPECT_EQ(errorEventCodes(), std::vector<int64_t>{7});
  std::vector<std::string> removed;
  for (const auto& a : engine_->removedAttributes()) removed.push_back(a->name());
  EXPECT_EQ(removed, (std::vector<std::string>{"favourite_food", "_id", "_lair"}));
  ASSERT_EQ(engine_->setAttributes().size(), 1u);
  EXPECT_EQ(engine_->setAttributes()[0]->origin(), std::string(32, 'o'));
}

TEST_F(ZIVAnalyticsTest, AdEventIDFromTheAdMeasurementOrigin) {
  struct Case {
    const char* origin;
    fnd::Value given;
    fnd::Value expected;
    bool logged;
  };
  const Case cases[] = {
      {"am", fnd::Value("12345"), ZIVValue::initWithInt64(12345)->asObject(), false},
      {"am", fnd::Value("12a45"), fnd::Value("12a45"), true},
      {"fcm", fnd::Value("12345"), fnd::Value("12345"), false},
  };
  start();
  for (const Case& c : cases) {
    log_.clear();
    analytics().logInternalEventConvertingAdEventID(c.origin, "_ae", Dict({{"_aeid", c.given}}));
    drain();
    EXPECT_EQ(engine_->events().back().parameters.get(fnd::Value("_aeid")), c.expected) << c.origin;
    EXPECT_EQ(log_.withCode(25024).size(), c.logged ? 1u : 0u);
  }
}

TEST_F(ZIVAnalyticsTest, Listeners) {
  start();
  drain();
  analytics().removeLogEventListener(7);
  drain();
  ExpectLogged(log_, 2, 25014, "Attempted removal of nil log event listener.");
  EXPECT_EQ(analytics().addLogEventListener(nullptr), 0u);
  ExpectLogged(log_, 2, 25012, "Attempted addition of nil log event listener.");

  std::vector<std::string> heard;
  ZIVLogEventListenerToken token = 0;
  analytics().queue()->sync([&] {
    token = analytics().addLogEventListener(
        [&heard](const ZIVEvent& event) { heard.push_back(event.name()); });
  });
  auto event =
      ZIVEvent::initWithOrigin("app", true, "level_up", clock_->wallTime(), 0, fnd::Dictionary());
  ASSERT_TRUE(event);
  analytics().notifyEventListeners(event);
  drain();
  EXPECT_EQ(heard, std::vector<std::string>{"level_up"});

  analytics().removeLogEventListener(token);
  analytics().removeLogEventListener(token);
  analytics().removeLogEventListener(0);
  drain();
  ExpectLogged(log_, 2, 25015, "Attempted removal of log event listener with invalid token.");
  ExpectLogged(log_, 2, 25013, "Attempted removal of nil log event.");
}

TEST_F(ZIVAnalyticsTest, UserPropertyQueries) {
  engine_->userProperties = Dict({{"favourite_food", "pizza"}});
  start();
  auto queue = dispatch::Queue::create("test.callbacks");
  std::promise<fnd::Dictionary> answer;
  analytics().userPropertiesIncludingInternal(
      true, queue, [&answer](const fnd::Dictionary& d) { answer.set_value(d); });
  EXPECT_EQ(answer.get_future().get(), engine_->userProperties);

  std::promise<fnd::Dictionary> onMain;
  analytics().userPropertiesIncludingInternal(
      true, nullptr, [&onMain](const fnd::Dictionary& d) { onMain.set_value(d); });
  drain();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(onMain.get_future().get(), fnd::Dictionary());
  EXPECT_EQ(log_.withCode(25007).size(), 1u);

  std::promise<int64_t> max;
  analytics().maxUserPropertiesForOrigin("fcm", queue, [&max](int64_t n) { max.set_value(n); });
  EXPECT_EQ(max.get_future().get(), 25);
  analytics().maxUserPropertiesForOrigin("", queue, [](int64_t) { FAIL(); });
  analytics().maxUserPropertiesForOrigin("fcm", nullptr, [](int64_t) { FAIL(); });
  analytics().maxUserPropertiesForOrigin("fcm", queue, nullptr);
  drain();
  EXPECT_EQ(log_.withCode(25009).size(), 1u);
  EXPECT_EQ(log_.withCode(25010).size(), 1u);
  EXPECT_EQ(log_.withCode(25011).size(), 1u);
  queue->sync([] {});
}

TEST_F(ZIVAnalyticsTest, UserDataWaitsAndPauses) {
  // Before the start the call only queues.
  analytics().setUserData(Dict({{"email_address", "a@b.example"}}));
  start();
  drain();
  ASSERT_EQ(engine_->userData.size(), 1u);
  // After the start it hands over and holds later calls for half a second.
  analytics().setUserData(Dict({{"phone_number", "+15555550100"}}));
  analytics().logEventWithName("held", std::nullopt);
  analytics().queue()->sync([] {});
  EXPECT_EQ(engine_->userData.size(), 2u);
  EXPECT_EQ(engine_->events().size(), 0u);
  clock_->advance(0.5);
  drain();
  EXPECT_EQ(engine_->events().size(), 1u);
}

TEST_F(ZIVAnalyticsTest, OpenedURLsReachTheEngineAndTheListener) {
  std::vector<std::string> heard;
  analytics().setOpenURLListener([&heard](const std::string& url) { heard.push_back(url); });
  start();
  analytics().handleOpenURL("quellmark://open?utm_source=example");
  analytics().handleUserActivity(
      ZIVUserActivity(kZIVUserActivityTypeBrowsingWeb, std::string("https://quellmark.example/x")));
  analytics().handleUserActivity(ZIVUserActivity(kZIVUserActivityTypeBrowsingWeb, std::nullopt));
  drain();
  EXPECT_EQ(heard, std::vector<std::string>{"quellmark://open?utm_source=example"});
  std::vector<std::string> opened;
  for (const auto& c : engine_->calls()) {
    if (c.rfind("openURL:", 0) == 0) opened.push_back(c);
  }
  EXPECT_EQ(opened, (std::vector<std::string>{"openURL:quellmark://open?utm_source=example",
                                              "openURL:https://quellmark.example/x"}));
}

}  // namespace
