#include "analytics/audiences/measurement_audiences.h"

#include <gtest/gtest.h>

#include "analytics/audiences/audiences_test_support.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_test_support.h"

namespace {

using namespace audience_test;

class MeasurementAudiencesTest : public AudienceTestBase {};

TEST_F(MeasurementAudiencesTest, AudienceReadsTheEngineSettingsAtEachUpdate) {
  std::shared_ptr<ZIVRemoteConfig> settings = ZIVRemoteConfig::initWithAppID(
      "1:1:ios:1", database_,
      rc_test::Config("1:1:ios:1", {{"measurement.audience.max_count", "1"}}), nullptr);
  ASSERT_NE(settings, nullptr);
  ZIVAudiencesMeasurementComponent component([&] { return settings; });
  EXPECT_TRUE(component.isPresent());
  EXPECT_EQ(component.makeAudience(nullptr), nullptr);
  std::shared_ptr<ZIVAudience> audience =
      ZIVAudienceOfMeasurement(component.makeAudience(database_));
  ASSERT_NE(audience, nullptr);
  EXPECT_TRUE(audience->updateAudiences(
      {Audience(1, {EventFilter(0, "a")}), Audience(2, {EventFilter(0, "a")})}));
  EXPECT_EQ(sharedLog_.withCode(6008).size(), 1u);
  EXPECT_TRUE(database_->allAudienceIDs()->empty());
  settings = nullptr;  // Back to the defaults: 100 audiences.
  EXPECT_TRUE(audience->updateAudiences(
      {Audience(1, {EventFilter(0, "a")}), Audience(2, {EventFilter(0, "a")})}));
  EXPECT_EQ(database_->allAudienceIDs()->size(), 2u);
}

TEST_F(MeasurementAudiencesTest, EventsGoToTheController) {
  // Without an engine the controller cannot process, which the pipeline logs as 23050.
  auto controller = ZIVConditionalUserPropertyController::create(
      {[] { return std::shared_ptr<ZIVConditionalUserPropertyEngine>(); }, clock_});
  ZIVAudiencesMeasurementComponent component(nullptr, controller);
  auto event = ZIVEvent::initWithOrigin("app", false, "e", 1, 0, ZIVEvent::Parameters{});
  EXPECT_EQ(component.processEvent(event), std::nullopt);
}

}  // namespace
