#include "analytics/attribution/measurement_url.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

#include "analytics/attribution/attribution_test_support.h"
#include "analytics/proto/messages.h"
#include "platform/dispatch/run_loop.h"

namespace {

using namespace attribution_test;

class URLTest : public AttributionTest {
 protected:
  void SetUp() override {
    AttributionTest::SetUp();
    url_ = ZIVMeasurementURL::create(engine_);
  }
  void Open(const std::string& link, std::optional<fnd::Dictionary> extra = std::nullopt,
            double time = 1700000000) {
    engine_->onWorker([&] { url_->handleOpenURLOnWorkerQueue(link, std::nullopt, time, extra); });
  }
  std::shared_ptr<APMPBAdCampaignInfo> CampaignInfo() {
    auto buffer = engine_->persistedConfig()->adCampaignInfoBuffer();
    if (!buffer || !buffer->isData()) return nullptr;
    return APMPBAdCampaignInfo::initWithBuffer(*buffer->data());
  }
  std::shared_ptr<ZIVMeasurementURL> url_;
};

TEST_F(URLTest, CampaignParametersOfALink) {
  Open(
      "myapp://open/path?utm_source=news&utm_medium=email&utm_campaign=spring&utm_term=t"
      "&utm_content=c&gclid=G1&gad_source=1&gad_campaignid=9&aclid=a&anid=n&cp1=x&cis=c"
      "&utm_id=77&dclid=D&srsltid=S&utm_creative_format=f&utm_marketing_tactic=m"
      "&utm_source_platform=p&sfmc_id=s&gbraid=B&other=z#frag");
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  ASSERT_EQ(engine_->listenerEvents.size(), 1u);
  const ZIVEvent& event = *engine_->internalEvents[0];
  EXPECT_EQ(event.name(), "_cmp");
  EXPECT_EQ(event.origin(), "auto");
  EXPECT_EQ(event.timestamp(), 1700000000);
  const std::map<std::string, std::string> expected = {{"source", "news"},
                                                       {"medium", "email"},
                                                       {"campaign", "spring"},
                                                       {"term", "t"},
                                                       {"content", "c"},
                                                       {"gclid", "G1"},
                                                       {"gad_source", "1"},
                                                       {"gad_campaignid", "9"},
                                                       {"aclid", "a"},
                                                       {"anid", "n"},
                                                       {"cp1", "x"},
                                                       {"_cis", "c"},
                                                       {"campaign_id", "77"},
                                                       {"dclid", "D"},
                                                       {"srsltid", "S"},
                                                       {"creative_format", "f"},
                                                       {"marketing_tactic", "m"},
                                                       {"source_platform", "p"},
                                                       {"sfmc_id", "s"},
                                                       {"gbraid", "B"}};
  for (const auto& [name, value] : expected) EXPECT_EQ(StringParameter(event, name), value) << name;
  EXPECT_FALSE(StringParameter(event, "other"));
  EXPECT_FALSE(StringParameter(event, "utm_source"));

  auto info = CampaignInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(NANOGetString(info.get(), APMPBAdCampaignInfo::kGclid), "G1");
  EXPECT_EQ(NANOGetString(info.get(), APMPBAdCampaignInfo::kGbraid), "B");
  EXPECT_EQ(NANOGetString(info.get(), APMPBAdCampaignInfo::kGadSource), "1");
  EXPECT_EQ(NANOGetInt64(info.get(), APMPBAdCampaignInfo::kTimestampMillis), 1700000000000);
  auto entries = NANOGetArray(info.get(), APMPBAdCampaignInfo::kDeepLinkGadParams,
                              &APMPBDeepLinkGadParamsEntry::messageClass());
  ASSERT_TRUE(entries);
  EXPECT_EQ(entries->size(), 2u);
}

TEST_F(URLTest, LinksThatAreNotCampaignLinks) {
  struct Case {
    const char* link;
    int64_t code;
  } cases[] = {
      {"myapp://open?utm_content=c", 23001},
      {"myapp://open?utm_term=t&aclid=a&cp1=x&cis=c", 23001},
      {"myapp://open", 23000},
      {"myapp://open?", 23000},
      {"myapp://open?utm_source=%E0%A4&utm_medium=%ZZ", 23001},  // Escapes that do not decode.
  };
  for (const auto& c : cases) {
    sharedLog_.clear();
    Open(c.link);
    EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u) << c.link;
  }
  EXPECT_TRUE(engine_->internalEvents.empty());
  EXPECT_FALSE(engine_->persistedConfig()->adCampaignInfoBuffer());
}

TEST_F(URLTest, AnEmptyGadParameterMakesTheLinkValidButIsDropped) {
  Open("myapp://open?gad_x=");
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  EXPECT_FALSE(StringParameter(*engine_->internalEvents[0], "gad_x"));
  EXPECT_FALSE(CampaignInfo());
}

TEST_F(URLTest, ARepeatedParameterKeepsItsFirstValue) {
  Open("myapp://open?utm_source=first&utm_source=second");
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  EXPECT_EQ(StringParameter(*engine_->internalEvents[0], "source"), "first");
}

TEST_F(URLTest, OriginFromTheReferrerHost) {
  struct Case {
    std::optional<std::string> referrer;
    const char* origin;
  } cases[] = {
      {"https://www.rivado.com/search?q=1", "gs"},
      {"https://rivado.co.uk/", "gs"},
      {"https://rivado.de", "gs"},
      {"https://user@www.rivado.com:443/x", "gs"},
      {"https://rivado.com.aut/", "gs"},
      {"https://news.rivado.com/", "auto"},
      {"https://www.rivado.comx/", "auto"},
      {"https://www.Rivado.com/", "auto"},
      {"not a url", "auto"},
      {"", "auto"},
      {std::nullopt, "auto"},
  };
  for (const auto& c : cases) {
    engine_->internalEvents.clear();
    std::optional<fnd::Dictionary> extra;
    if (c.referrer) extra = fnd::Dictionary{{"_ref", *c.referrer}};
    Open("myapp://open?utm_source=s", extra);
    ASSERT_EQ(engine_->internalEvents.size(), 1u);
    EXPECT_EQ(engine_->internalEvents[0]->origin(), c.origin) << c.referrer.value_or("(none)");
    EXPECT_FALSE(StringParameter(*engine_->internalEvents[0], "_ref"));
  }
}

TEST_F(URLTest, EventTimeNeverBeforeTheFirstOpen) {
  engine_->persistedConfig()->setFirstOpenTimestampMilliseconds(1700000500250);
  Open("myapp://open?utm_source=s", std::nullopt, 1700000000);
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  EXPECT_DOUBLE_EQ(engine_->internalEvents[0]->timestamp(), 1700000500.25);
}

TEST_F(URLTest, ClickIdentifiersNeedTrackingOrADeviceID) {
  engine_->deviceID.reset();
  engine_->consentStatus = 2;
  Open("myapp://open?gclid=G&dclid=D&srsltid=S&gbraid=B");
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  const ZIVEvent& event = *engine_->internalEvents[0];
  EXPECT_FALSE(StringParameter(event, "gclid"));
  EXPECT_FALSE(StringParameter(event, "dclid"));
  EXPECT_FALSE(StringParameter(event, "srsltid"));
  EXPECT_EQ(StringParameter(event, "gbraid"), "B");
  auto info = CampaignInfo();
  ASSERT_TRUE(info);
  EXPECT_FALSE(NANOHasField(info.get(), APMPBAdCampaignInfo::kGclid));
  EXPECT_EQ(NANOGetString(info.get(), APMPBAdCampaignInfo::kGbraid), "B");
  engine_->consentStatus = 3;
  EXPECT_TRUE(url_->shouldAllowClickID());
}

TEST_F(URLTest, TheCcNumberNamesTheEvent) {
  Open("myapp://open?utm_source=s", fnd::Dictionary{{"_cc", fnd::Value::Int64(1)}});
  Open("myapp://open?utm_source=s&_cc=1");
  Open("myapp://open?utm_source=s", fnd::Dictionary{{"_cc", fnd::Value::Int64(2)}});
  ASSERT_EQ(engine_->internalEvents.size(), 3u);
  EXPECT_EQ(engine_->internalEvents[0]->name(), "_cmpx");
  EXPECT_EQ(engine_->internalEvents[1]->name(), "_cmp");
  EXPECT_EQ(engine_->internalEvents[2]->name(), "_cmp");
}

TEST_F(URLTest, ClickTimestampAndTheOffQueueGuard) {
  engine_->onWorker([&] {
    url_->handleOpenURLOnWorkerQueue("myapp://open?utm_source=s", fnd::Value::Int64(1699999999000),
                                     1700000000, std::nullopt);
    url_->handleNonFirstOpenEventURL("myapp://open?utm_source=s", 1700000000);
  });
  engine_->drain();
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  EXPECT_EQ(IntParameter(*engine_->internalEvents[0], "click_timestamp"), 1699999999000);
  ExpectLogged(sharedLog_, 2, 23163,
               "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
  url_->handleNonFirstOpenEventURL("myapp://open?utm_source=s", 1700000000,
                                   std::string("https://rivado.com/"));
  engine_->drain();
  ASSERT_EQ(engine_->internalEvents.size(), 2u);
  EXPECT_EQ(engine_->internalEvents[1]->origin(), "gs");
}

TEST_F(URLTest, RoundedToThePreviousHour) {
  struct Case {
    int64_t ms;
    int64_t expected;
  } cases[] = {
      {7200000, 3600000},
      {3600001, 0},
      {3599999, -3600000},
      {0, -3600000},
      {-1, -3600000},
      {-3600001, -7200000},
      {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min()},
      {std::numeric_limits<int64_t>::max(), 9223372036850400000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZIVAttributionTimestampMillisRoundedToPreviousHour(c.ms), c.expected) << c.ms;
  }
}

TEST_F(URLTest, AttributionCache) {
  ZIVUserDefaults& store = engine_->userDefaults();
  ZIVSetAttributionCache(store, "myapp://a", std::string("https://ref.example/"), 1000);
  EXPECT_EQ(store.stringForKey(ZIVUserDefaultsDeepLinkKey), "myapp://a");
  EXPECT_EQ(store.doubleForKey(ZIVUserDefaultsDeepLinkOpenTimestampInSecondsKey), 1000);
  EXPECT_EQ(store.stringForKey(ZIVUserDefaultsDeepLinkReferrerKey), "https://ref.example/");
  ZIVSetAttributionCache(store, "myapp://b", std::nullopt, 1000);
  EXPECT_FALSE(store.stringForKey(ZIVUserDefaultsDeepLinkReferrerKey));
  EXPECT_FALSE(ZIVIsAttributionCacheExpired(store, 100, 1100));
  EXPECT_TRUE(ZIVIsAttributionCacheExpired(store, 100, 1100.5));
  EXPECT_TRUE(ZIVIsAttributionCacheExpired(store, 100, 899));
  EXPECT_FALSE(ZIVClearAttributionCacheIfExpired(*engine_->remoteConfig(), store, 1000 + 604800));
  EXPECT_TRUE(ZIVClearAttributionCacheIfExpired(*engine_->remoteConfig(), store, 1001 + 604800));
  EXPECT_FALSE(store.objectForKey(ZIVUserDefaultsDeepLinkKey));
  EXPECT_FALSE(ZIVIsAttributionCacheExpired(store, 0, 1e12));
}

TEST_F(URLTest, LaunchFillsTheCacheAndOnlyTheLaunchURLSwitchesPreview) {
  ZIVUserDefaults& store = engine_->userDefaults();
  auto activity = std::make_shared<ZIVUserActivity>(kZIVUserActivityTypeBrowsingWeb,
                                                    "https://app.example/item?utm_source=web",
                                                    "https://www.rivado.com/");
  fnd::Dictionary userInfo{
      {kZIVLaunchOptionsUserActivityDictionaryKey,
       fnd::Dictionary{
           {kZIVLaunchOptionsUserActivityKey, fnd::Value(std::shared_ptr<fnd::Record>(activity))}}},
      {kZIVLaunchOptionsURLKey, "myapp://x?sgtm_debug_enable=1&sgtm_preview_key=KEY"}};
  ZIVMeasurementURL::handleStoredURLAfterAppLaunchWithNotification(userInfo, store, 5);
  EXPECT_EQ(store.stringForKey(ZIVUserDefaultsDeepLinkKey),
            "https://app.example/item?utm_source=web");
  EXPECT_EQ(store.stringForKey(ZIVUserDefaultsDeepLinkReferrerKey), "https://www.rivado.com/");
  auto headers = ZIVMeasurementURL::SGTMPreviewHeaders();
  ASSERT_TRUE(headers);
  EXPECT_EQ(headers->get("X-Gtm-Server-Preview").asString(), "KEY");

  ZIVMeasurementURL::handleStoredURLAfterAppLaunchWithNotification(
      {{kZIVLaunchOptionsURLKey, "myapp://y?sgtm_debug_enable=2"}}, store, 6);
  EXPECT_EQ(store.stringForKey(ZIVUserDefaultsDeepLinkKey), "myapp://y?sgtm_debug_enable=2");
  EXPECT_TRUE(ZIVMeasurementURL::SGTMPreviewHeaders());  // "2" changes nothing.
  ZIVMeasurementURL::handleSGTMDebugModeWithURL("myapp://z?sgtm_debug_enable=0");
  EXPECT_FALSE(ZIVMeasurementURL::SGTMPreviewHeaders());
  ZIVMeasurement::monitor()->setSGTMDebugModeEnabled(false);
}

TEST_F(URLTest, PreviewHeadersAreReplacedAndReadWhole) {
  std::atomic<bool> torn{false};
  std::thread writer([] {
    for (int i = 0; i < 2000; ++i) {
      ZIVMeasurementURL::setSGTMPreviewHeaders(
          i % 2 ? std::nullopt
                : std::optional<fnd::Dictionary>(fnd::Dictionary{
                      {ZIVMeasurementSGTMPreviewHTTPHeaderName, "key-" + std::to_string(i)}}));
    }
  });
  for (int i = 0; i < 2000; ++i) {
    auto headers = ZIVMeasurementURL::SGTMPreviewHeaders();
    if (headers &&
        (headers->size() != 1 ||
         headers->get(ZIVMeasurementSGTMPreviewHTTPHeaderName).asString().rfind("key-", 0) != 0)) {
      torn = true;
    }
  }
  writer.join();
  EXPECT_FALSE(torn);
  ZIVMeasurementURL::setSGTMPreviewHeaders(std::nullopt);
}

TEST_F(URLTest, UserActivityDeepLink) {
  EXPECT_FALSE(ZIVMeasurementURL::deepLinkFromUserActivity(nullptr));
  ExpectLogged(sharedLog_, 7, 23003, "User Activity is empty. User Activity");
  ZIVUserActivity other("com.example.handoff", "https://app.example/");
  EXPECT_FALSE(ZIVMeasurementURL::deepLinkFromUserActivity(&other));
  ExpectLogged(sharedLog_, 3, 23006, "User Activity does not have Deep Link. User Activity");
  ZIVUserActivity empty(kZIVUserActivityTypeBrowsingWeb, "");
  EXPECT_FALSE(ZIVMeasurementURL::deepLinkFromUserActivity(&empty));
}

// ---- Deferred deep links.

class DeferredDeepLinkTest : public URLTest {
 protected:
  void SetUp() override {
    URLTest::SetUp();
    engine_->info[ZIVDeferredDeepLinkEnabledPlistKey] = fnd::Value(true);
  }
  bool ShouldAllow() {
    bool allowed = false;
    engine_->onWorker([&] { allowed = url_->shouldAllowRequestDeferredDeepLink(); });
    return allowed;
  }
  void Request() {
    engine_->onWorker([&] { url_->requestDeferredDeepLink(); });
    engine_->drain();
    dispatch::RunLoop::main().runUntilIdle();
    engine_->drain();
  }
};

TEST_F(DeferredDeepLinkTest, TheRequestURL) {
  engine_->adPersonalizationValue = 0;
  engine_->arguments = {"quellmark", "-DebugDeferredDeepLink"};
  engine_->transport().add({204, ""});
  Request();
  auto requests = engine_->transport().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].url,
            "https://adservice.rivado.example/pagead/conversion/app/deeplink?sdk_version=120500"
            "&rdid=AAAA-BBBB&id_type=idfa&bundleid=1:123:ios:abc&retry=0&ddl_test=1&gcs=G111"
            "&dma=1&npa=1");
  EXPECT_EQ(engine_->pendingHistory, (std::vector<bool>{true, false}));
  EXPECT_EQ(engine_->persistedConfig()->deferredDeepLinkRetrievalComplete(), fnd::Value::Int64(0));
  EXPECT_EQ(engine_->updateScheduleCount, 1);
  engine_->adUserDataDenied = true;
  engine_->fromAppStore = true;
  Request();
  EXPECT_NE(engine_->transport().requests()[1].url.find("&dma=1&dma_cps=-&npa=1"),
            std::string::npos);
  EXPECT_EQ(engine_->transport().requests()[1].url.find("ddl_test"), std::string::npos);
}

TEST_F(DeferredDeepLinkTest, Gates) {
  EXPECT_TRUE(ShouldAllow());
  ExpectLogged(sharedLog_, 7, 23197, "Deferred Deep Link feature enabled");
  engine_->knowsLimitedAdTracking = false;
  EXPECT_FALSE(ShouldAllow());
  EXPECT_EQ(sharedLog_.withCode(23196).size(), 1u);
  engine_->adStorageDenied = true;
  EXPECT_FALSE(ShouldAllow());
  EXPECT_EQ(sharedLog_.withCode(23252).size(), 1u);
  engine_->info.clear();
  sharedLog_.clear();
  EXPECT_FALSE(ShouldAllow());
  EXPECT_TRUE(sharedLog_.entries().empty());
  engine_->info[ZIVDeferredDeepLinkEnabledPlistKey] = fnd::Value(true);
  engine_->persistedConfig()->setDeferredDeepLinkRetryCount(5);
  EXPECT_FALSE(ShouldAllow());
  ExpectLogged(sharedLog_, 3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
  EXPECT_EQ(engine_->persistedConfig()->deferredDeepLinkRetrievalComplete(), fnd::Value::Int64(1));
  EXPECT_FALSE(ShouldAllow());
  ExpectLogged(sharedLog_, 7, 23194, "Already retrieved Deferred Deep Link. Skipping");
}

class DeferredDeepLinkOffTest : public DeferredDeepLinkTest {
 protected:
  std::vector<std::pair<std::string, std::string>> Settings() override {
    return {{"measurement.ddl.enabled", "0"}};
  }
};

TEST_F(DeferredDeepLinkOffTest, OnlyOneLine) {
  EXPECT_FALSE(ShouldAllow());
  for (auto code : sharedLog_.codes()) {
    if (code >= 23000 && code < 24000 && code != 23193) ADD_FAILURE() << code;
  }
  ExpectLogged(sharedLog_, 5, 23193, "Deferred Deep Link feature disabled");
}

TEST_F(DeferredDeepLinkTest, Answers) {
  struct Case {
    const char* name;
    ScriptedTransport::Reply reply;
    std::optional<int64_t> settled;
    int64_t retries;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"304 empty", {304, ""}, 0, 0, 23201},
      {"no deeplink", {200, R"({"timestamp":5})"}, 0, 0, 0},
      {"deeplink not a URL", {200, R"({"deeplink":"not a url"})"}, 0, 0, 0},
      {"garbage", {200, "\x01\x02{{{"}, 0, 0, 23202},
      {"deeply nested", {200, std::string(100000, '[')}, 0, 0, 23202},
      {"server error", {500, R"({"deeplink":"myapp://x?utm_source=s"})"}, std::nullopt, 1, 23199},
      {"transport error", {0, "", true}, std::nullopt, 1, 23199},
      {"link delivered nowhere",
       {200, R"({"deeplink":"myapp://x?utm_source=s","timestamp":7})"},
       0,
       0,
       23204},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_->persistedConfig()->setDeferredDeepLinkRetrievalComplete(std::nullopt);
    engine_->persistedConfig()->setDeferredDeepLinkRetryCount(0);
    sharedLog_.clear();
    engine_->transport().add(c.reply);
    Request();
    EXPECT_EQ(engine_->persistedConfig()->deferredDeepLinkRetrievalComplete(),
              c.settled ? std::optional<fnd::Value>(fnd::Value::Int64(*c.settled)) : std::nullopt);
    EXPECT_EQ(engine_->persistedConfig()->deferredDeepLinkRetryCount(), c.retries);
    if (c.code != 0) {
      EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u);
    }
    EXPECT_TRUE(engine_->internalEvents.empty());
    EXPECT_FALSE(engine_->pending());
  }
}

TEST_F(DeferredDeepLinkTest, ALinkTheApplicationTakesBecomesACampaignEvent) {
  engine_->appTakesDeepLinks = true;
  engine_->transport().add(
      {200, R"({"deeplink":"myapp://promo?utm_campaign=c1","gclid":"GG","timestamp":1234})"});
  Request();
  ASSERT_EQ(engine_->deliveredLinks.size(), 1u);
  EXPECT_EQ(engine_->deliveredLinks[0].first, "myapp://promo?utm_campaign=c1");
  EXPECT_EQ(engine_->deliveredLinks[0].second->get("timestamp").asInt(), 1234);
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  const ZIVEvent& event = *engine_->internalEvents[0];
  EXPECT_EQ(event.name(), "_cmp");
  EXPECT_EQ(StringParameter(event, "_cis"), "ddp");
  EXPECT_EQ(StringParameter(event, "gclid"), "GG");
  EXPECT_EQ(StringParameter(event, "campaign"), "c1");
}

}  // namespace
