// Conditional user properties over a running engine: the controller reaches the engine through
// its adapter, the engine's pipeline hands each event to the controller, and a trigger event sets
// the property and stores the triggered event.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "analytics/audiences/conditional_user_property_controller.h"
#include "analytics/audiences/measurement_audiences.h"
#include "analytics/engine/measurement_test_support.h"

namespace {

using measurement_test::EngineHarness;

TEST(MeasurementConditionalUserPropertyTest, ATriggerEventSetsThePropertyThroughTheEngine) {
  EngineHarness h;
  std::shared_ptr<ZIVConditionalUserPropertyEngine> adapter;
  std::shared_ptr<ZIVConditionalUserPropertyController> controller;
  h.componentMaker = [&](const std::shared_ptr<ZIVMeasurement>& engine) {
    adapter = ZIVConditionalUserPropertyEngineForMeasurement(engine);
    ZIVConditionalUserPropertyController::Environment environment;
    environment.engine = [&adapter] { return adapter; };
    environment.clock = std::shared_ptr<dispatch::Clock>(&h.clock(), [](dispatch::Clock*) {});
    controller = ZIVConditionalUserPropertyController::create(environment);
    ZIVMeasurementComponents components;
    components.audiences = std::make_shared<ZIVAudiencesMeasurementComponent>(
        [weak = std::weak_ptr<ZIVMeasurement>(engine)] {
          auto e = weak.lock();
          return e ? e->settingsOrDefaults() : nullptr;
        },
        controller);
    return components;
  };
  h.Open();
  ASSERT_TRUE(controller);

  auto property = std::make_shared<ZIVConditionalUserProperty>();
  property->origin = "fiam";
  property->value = ZIVValue::initWithString(std::string("spring"));
  property->triggerEventName = "purchase";
  property->triggerTimeout = 3600;
  property->timeToLive = 86400;
  property->triggeredEvent =
      ZIVEvent::initWithOrigin("fiam", false, "_cup_t", h.Now(), 0, fnd::Dictionary{});
  controller->setConditionalUserProperty(property, "campaign");
  h.Drain();
  EXPECT_EQ(h.UserProperty("campaign"), nullptr);  // Waits for its trigger.

  h.clock().advance(60);
  h.Log("level_up");
  EXPECT_EQ(h.UserProperty("campaign"), nullptr);
  h.Log("purchase", {{"currency", "EUR"}, {"value", 2.5}});
  auto set = h.UserProperty("campaign");
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->origin(), "fiam");
  EXPECT_EQ(set->value()->stringValue(), "spring");
  auto names = h.RawEventNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "_cup_t"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "purchase"), names.end());
}

}  // namespace
