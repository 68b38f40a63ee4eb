#include "analytics/attribution/measurement_odm2.h"

#include <gtest/gtest.h>

#include "analytics/attribution/attribution_test_support.h"

namespace {

using namespace attribution_test;

class FakeService : public ODCConversionService {
 public:
  void setFirstLaunchTime(std::optional<double> time) override { firstLaunch = time; }
  void fetchAggregateConversionInfoForInteraction(int64_t, Completion completion) override {
    completion(std::nullopt, std::nullopt);
  }
  void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) override {
    interactions.push_back(interaction);
    completion(value, error);
  }
  std::string versionString() const override { return "2.0.0"; }
  int64_t versionNumber() const override { return 20000; }

  std::optional<double> firstLaunch;
  std::vector<int64_t> interactions;
  std::optional<std::string> value;
  std::optional<fnd::Error> error;
};

class FakeServiceClass : public ZIVRuntimeClass {
 public:
  std::string className() const override { return kODCConversionServiceClassName; }
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "sharedInstance";
  }
  std::shared_ptr<ZIVRuntimeObject> sharedInstance() override { return service; }
  std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
};

class ODM2Test : public AttributionTest {
 protected:
  std::vector<std::pair<std::string, std::string>> Settings() override {
    return {{"measurement.odm2_enabled", "1"}};
  }
  void SetUp() override {
    AttributionTest::SetUp();
    engine_->classRegistry().registerClass(serviceClass_);
    odm2_ = ZIVMeasurementODM2::create(engine_);
  }
  void Update() {
    engine_->onWorker([&] { odm2_->updateAdsOnDeviceConversionMeasurement(); });
    engine_->drain();
  }

  std::shared_ptr<FakeServiceClass> serviceClass_ = std::make_shared<FakeServiceClass>();
  std::shared_ptr<ZIVMeasurementODM2> odm2_;
};

TEST_F(ODM2Test, TheSameValueTwiceWritesOneEvent) {
  engine_->persistedConfig()->setFirstOpenTimestampMilliseconds(1600000000500);
  serviceClass_->service->value = "v1";
  Update();
  Update();
  EXPECT_EQ(serviceClass_->service->firstLaunch, 1600000000.5);
  EXPECT_EQ(serviceClass_->service->interactions, (std::vector<int64_t>{0, 0}));
  ASSERT_EQ(engine_->writtenEvents.size(), 1u);
  EXPECT_EQ(StringParameter(*engine_->writtenEvents[0], "_fxs"), "psm_gads");
  EXPECT_EQ(sharedLog_.withCode(23282).size(), 1u);
  auto row = engine_->database()->ODMValueWithName(ZIVDatabaseODM2Value);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->get(fnd::Value("value")).asString(), "v1");
  EXPECT_TRUE(odm2_->isRivadoAdsOnDeviceConversionLinked());
  EXPECT_FALSE(odm2_->isZezivAppAdsOnDeviceConversionLinked());
}

TEST_F(ODM2Test, DeniedAdStorageClearsAndAnErrorKeeps) {
  serviceClass_->service->value = "v1";
  Update();
  serviceClass_->service->error = fnd::Error("test", 3);
  Update();
  ExpectLogged(sharedLog_, 1, 23269, "Conversion service failed to fetch measurement info.");
  EXPECT_TRUE(engine_->database()->userAttributeWithName("_psmvalue_gads"));
  engine_->adStorageDenied = true;
  Update();
  ExpectLogged(sharedLog_, 7, 23276, "Conversion service disabled. Ad storage consent is denied.");
  EXPECT_FALSE(engine_->database()->userAttributeWithName("_psmvalue_gads"));
  EXPECT_FALSE(engine_->database()->ODMValueWithName(ZIVDatabaseODM2Value));
  ExpectLogged(sharedLog_, 7, 23281, "Conversion service returned empty value");
}

TEST_F(ODM2Test, InfoPlistSwitch) {
  EXPECT_TRUE(odm2_->isODM2EnabledInPlist());
  engine_->info[APMODM2EnabledPlistKey] = fnd::Value(false);
  EXPECT_FALSE(odm2_->isAdsOnDeviceConversionEnabled());
  ExpectLogged(sharedLog_, 4, 23295, "Conversion service disabled from Info.plist.");
  engine_->info[APMODM2EnabledPlistKey] = fnd::Value("no");  // Not a number: enabled.
  EXPECT_TRUE(odm2_->isODM2EnabledInPlist());
}

}  // namespace
