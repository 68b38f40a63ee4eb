#include "analytics/attribution/attribution_component.h"

#include <gtest/gtest.h>

#include "analytics/attribution/attribution_test_support.h"
#include "analytics/attribution/measurement_url.h"
#include "analytics/proto/messages.h"

namespace {

using namespace attribution_test;

class AttributionComponentTest : public AttributionTest {
 protected:
  void SetUp() override {
    AttributionTest::SetUp();
    component_ = std::make_shared<ZIVAttributionComponent>(engine_);
  }
  std::shared_ptr<ZIVAttributionComponent> component_;
};

TEST_F(AttributionComponentTest, TheEngineHooksReachTheirParts) {
  auto purchase = ZIVEvent::initWithOrigin("app", false, "purchase", 1700000000, 0,
                                           fnd::Dictionary{{"currency", "usd"}, {"value", 2.5}});
  ASSERT_TRUE(purchase);
  EXPECT_TRUE(component_->isPurchaseEvent(*purchase));
  engine_->onWorker([&] {
    EXPECT_TRUE(component_->recordLifetimeValue(*engine_->database(), *purchase));
    component_->handleOpenURL("myapp://x?utm_source=s", 1699999990000, 1700000000,
                              fnd::Dictionary{{"_cc", fnd::Value::Int64(1)}});
  });
  EXPECT_EQ(engine_->intAttribute("_ltv_USD"), 2500000);
  ASSERT_EQ(engine_->internalEvents.size(), 1u);
  EXPECT_EQ(engine_->internalEvents[0]->name(), "_cmpx");
  EXPECT_EQ(IntParameter(*engine_->internalEvents[0], "click_timestamp"), 1699999990000);

  ZIVSetAttributionCache(engine_->userDefaults(), "myapp://y", std::nullopt, clock_->wallTime());
  EXPECT_FALSE(component_->isAttributionCacheExpired(10));
  clock_->advance(11);
  EXPECT_TRUE(component_->isAttributionCacheExpired(10));
  component_->clearAttributionCache();
  EXPECT_FALSE(engine_->userDefaults().objectForKey(ZIVUserDefaultsDeepLinkKey));

  auto converted =
      component_->ODMValueFromDictionary(fnd::Dictionary{{"set_timestamp", 2.0}, {"value", "v"}});
  ASSERT_TRUE(converted);
  auto encoded = converted->protoBuffer();
  ASSERT_TRUE(encoded);
  auto message = APMPBOnDeviceMeasurementValue::initWithBuffer(*encoded);
  EXPECT_EQ(NANOGetInt64(message.get(), APMPBOnDeviceMeasurementValue::kSetTimestampMillis), 2000);
  EXPECT_FALSE(component_->ODMValueFromDictionary(fnd::Dictionary{{"value", "v"}}));
  EXPECT_EQ(component_->linkedClientBits(), 0);
}

TEST_F(AttributionComponentTest, LaunchLinksFillTheAttributionCache) {
  // A browsing-web activity wins over the launch URL; the launch URL alone is kept otherwise.
  auto activity = std::make_shared<ZIVUserActivity>(
      kZIVUserActivityTypeBrowsingWeb, std::string("https://app.example/p?utm_source=web"),
      std::string("https://ref.example/"));
  component_->handleStoredURLAfterAppLaunch(
      fnd::Dictionary{{kZIVLaunchOptionsUserActivityDictionaryKey,
                       fnd::Dictionary{{kZIVLaunchOptionsUserActivityKey,
                                        fnd::Value(std::shared_ptr<fnd::Record>(activity))}}},
                      {kZIVLaunchOptionsURLKey, "myapp://open?utm_source=launch"}});
  ZIVUserDefaults& store = engine_->userDefaults();
  EXPECT_EQ(store.objectForKey(ZIVUserDefaultsDeepLinkKey),
            fnd::Value("https://app.example/p?utm_source=web"));
  EXPECT_EQ(store.objectForKey(ZIVUserDefaultsDeepLinkReferrerKey),
            fnd::Value("https://ref.example/"));
  component_->clearAttributionCache();
  component_->handleStoredURLAfterAppLaunch(
      fnd::Dictionary{{kZIVLaunchOptionsURLKey, "myapp://open?utm_source=launch"}});
  EXPECT_EQ(store.objectForKey(ZIVUserDefaultsDeepLinkKey),
            fnd::Value("myapp://open?utm_source=launch"));
  EXPECT_FALSE(store.objectForKey(ZIVUserDefaultsDeepLinkReferrerKey));
}

}  // namespace
