#include "analytics/audiences/interop_conditional_user_properties.h"

#include <gtest/gtest.h>

#include "analytics/audiences/audiences_test_support.h"
#include "analytics/audiences/cup_test_support.h"

namespace {

using audience_test::AudienceTestBase;
using audience_test::FakeEngine;

// The interop connector's requests, as another library makes them, through the control to a
// controller over a test engine.
class InteropConditionalUserPropertiesTest : public AudienceTestBase {
 protected:
  void SetUp() override {
    AudienceTestBase::SetUp();
    engine_ = std::make_shared<FakeEngine>();
    engine_->db = database_;
    engine_->worker = std::make_shared<ZIVScheduler>("cup.interop.worker", nullptr, clock_);
    controller_ = ZIVConditionalUserPropertyController::create(
        {[engine = engine_] { return engine; }, clock_});
    engine_->owner = controller_;
    DEVAzodavevuConnectorEnvironment environment;
    environment.conditionalUserProperties =
        std::make_shared<ZIVConditionalUserPropertyInteropControl>(controller_);
    environment.clock = clock_;
    connector_ = DEVAzodavevuConnector::create(std::move(environment));
  }
  void TearDown() override {
    Drain();
    AudienceTestBase::TearDown();
  }
  void Drain() {
    engine_->worker->dispatchSyncOnWorkerQueueBlockID("test", [] {});
  }

  std::shared_ptr<FakeEngine> engine_;
  std::shared_ptr<ZIVConditionalUserPropertyController> controller_;
  std::shared_ptr<DEVAzodavevuConnector> connector_;
};

TEST_F(InteropConditionalUserPropertiesTest, SetQueryAndClearThroughTheConnector) {
  connector_->setConditionalUserProperty(fnd::Dictionary{
      {"name", "promo"},
      {"origin", "fcm"},
      {"value", "spring"},
      {"triggerEventName", ""},
      {"triggerTimeout", 60.0},
      {"timeToLive", 3600.0},
      {"triggeredEvent", fnd::Dictionary{{"origin", "fcm"}, {"name", "_cup_on"}}},
  });
  Drain();
  auto record = database_->conditionalUserPropertyWithName("promo");
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->active);
  EXPECT_EQ(database_->userAttributeWithName("promo")->value()->stringValue(), "spring");
  ASSERT_EQ(engine_->written.size(), 1u);
  EXPECT_EQ(engine_->written[0].name, "_cup_on");

  auto listed = connector_->conditionalUserProperties("fcm", "pro");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].get("name").asString(), "promo");
  EXPECT_EQ(listed[0].get("value").asString(), "spring");

  connector_->clearConditionalUserProperty("ignored", "fcm", "_cup_off",
                                           fnd::Dictionary{{"promo", "spring"}});
  Drain();
  EXPECT_EQ(database_->conditionalUserPropertyWithName("promo"), nullptr);
  EXPECT_EQ(database_->userAttributeWithName("promo"), nullptr);
  ASSERT_EQ(engine_->written.size(), 2u);
  EXPECT_EQ(engine_->written[1].name, "_cup_off");
}

}  // namespace
