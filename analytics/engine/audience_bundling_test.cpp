// Audiences end to end through bundling: a measurement configuration with audience definitions,
// applied as the configuration fetch applies it, then stored events and a user property bundled
// into upload bundles whose audience results (tag 29) tell the membership.

#include "analytics/engine/audience_bundling.h"

#include <gtest/gtest.h>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audiences_test_support.h"
#include "analytics/engine/upload_test_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace audience_test;
using upload_test::kAppID;
using upload_test::kNow;
using Bundle = APMPBMeasurementBundle;

class AudienceBundlingTest : public upload_test::Fixture {
 protected:
  // The configuration as the server sends it: settings and audiences, encoded.
  fnd::Data ServerConfiguration() {
    auto config = rc_test::Config(kAppID, {{"measurement.audience.max_count", "10"}});
    std::vector<std::shared_ptr<APMPBAudience>> audiences = {
        // Saw a banner ad and bought more than once.
        Audience(11, {EventFilter(
                          0, "ad_impression",
                          {ValueFilter(nullptr, StringFilter({.type = 4, .expression = "BANNER"}),
                                       "ad_unit_id")}),
                      EventFilter(1, "purchase", {}, NumberFilter({.type = 2, .value = "1"}))}),
        // Gold tier (dynamic).
        Audience(
            12, {},
            {PropertyFilter(0, "tier",
                            ValueFilter(nullptr, StringFilter({.type = 5, .expression = "gold"})),
                            {.dynamic = true})}),
        // Levelled up in this session.
        Audience(13, {EventFilter(0, "level_up", {}, nullptr, {.sessionScoped = true})}),
        // Never matched: a purchase worth more than 1000.
        Audience(14, {EventFilter(0, "purchase",
                                  {ValueFilter(NumberFilter({.type = 2, .value = "1000"}), nullptr,
                                               "value")})}),
    };
    ZIVAudienceSetMessagesOfField(config.get(), APMPBMeasurementConfig::kAudiences, audiences);
    return config->protoBuffer().value();
  }

  // What the fetch does with a received body: the audiences are taken out of the message, the
  // rest becomes the server settings, the audiences go to the evaluator, in one transaction.
  bool ApplyAsTheFetchDoes(const fnd::Data& body) {
    auto config = APMPBMeasurementConfig::initWithBuffer(body);
    if (!config) return false;
    auto audiences = NANOGetArray(config.get(), APMPBMeasurementConfig::kAudiences,
                                  &APMPBAudience::messageClass());
    NANOClearField(config.get(), APMPBMeasurementConfig::kAudiences);
    return database_->performTransaction([&] {
      return settings_->updateMeasurementConfig(config) &&
             audience_->updateAudiences(audiences.value_or(fnd::Array()));
    });
  }

  // A metadata bundle carrying the user property "tier".
  int64_t StoreMetadataWithTier(const std::string& tier) {
    auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
    NANOSetString(bundle.get(), Bundle::kAppId, kAppID);
    NANOSetString(bundle.get(), Bundle::kConsentSignals, "G111");
    auto attribute =
        ZIVUserAttribute::initWithOrigin("app", "tier", ZIVValue::initWithString(tier), kNow - 10);
    fnd::Array attributes{
        fnd::Value(std::shared_ptr<fnd::Record>(attribute->protoUserAttribute()))};
    NANOSetArray(bundle.get(), Bundle::kUserAttributes, &attributes);
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(*bundle));
    return static_cast<int64_t>(ziv_64LSBMD5(*bundle->protoBuffer()));
  }

  struct Leaf {
    std::vector<uint64_t> status;
    std::vector<uint64_t> results;
    bool noPrevious;
    bool hasPrevious;
  };
  // Audience ID -> its leaf in the bundle's audience results (tag 29).
  std::map<int32_t, Leaf> Leaves(const APMPBMeasurementBundle& bundle) {
    std::map<int32_t, Leaf> leaves;
    // Through the encoded bytes, as the collector reads them.
    auto decoded = APMPBMeasurementBundle::initWithBuffer(bundle.protoBuffer().value());
    auto items = NANOGetArray(decoded.get(), Bundle::kAudienceEvaluationResults,
                              &APMPBAudienceLeafFilterResult::messageClass());
    for (const fnd::Value& item : items.value_or(fnd::Array())) {
      auto leaf = item.recordAs<APMPBAudienceLeafFilterResult>();
      Decoded current = Decode(
          NANOGetMessage<APMPBResultData>(leaf.get(), APMPBAudienceLeafFilterResult::kTag2Data)
              .get());
      leaves[NANOGetInt32(leaf.get(), APMPBAudienceLeafFilterResult::kAudienceId)] = {
          current.status, current.results,
          NANOGetBool(leaf.get(), APMPBAudienceLeafFilterResult::kTag4Flag),
          NANOHasField(leaf.get(), APMPBAudienceLeafFilterResult::kTag3Data)};
    }
    return leaves;
  }

  std::shared_ptr<ZIVAudience> audience_ = ZIVAudience::initWithDatabase(database_);
};

TEST_F(AudienceBundlingTest, BundlesTellTheMembershipOfConfiguredAudiences) {
  ASSERT_NE(audience_, nullptr);
  ASSERT_TRUE(ApplyAsTheFetchDoes(ServerConfiguration()));
  EXPECT_EQ(settings_->maxAudienceCount(), 10);
  // Public names were stored under their internal names.
  EXPECT_EQ(database_->eventFiltersForEventName("_ai")->size(), 1u);

  ZIVBundlerEnvironment environment = BundlerEnvironment();
  environment.audiences = std::make_shared<ZIVAudienceBundlingHooks>(audience_);
  ZIVBundler bundler(environment);

  const int64_t fp = StoreMetadataWithTier("Gold");
  StoreEvent(Event("_ai", kNow, {{"_ai", "home_banner_top"}}), fp);
  StoreEvent(Event("purchase", kNow + 1, {{"value", 20.0}}), fp);
  StoreEvent(Event("purchase", kNow + 2, {{"value", 30.0}}), fp);
  StoreEvent(Event("level_up", kNow + 3), fp);
  ASSERT_TRUE(bundler.bundleRawEvents());
  ASSERT_EQ(Queued().size(), 1u);

  std::map<int32_t, Leaf> first = Leaves(*Queued().back());
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[11].status, std::vector<uint64_t>{0b11});
  EXPECT_EQ(first[11].results, std::vector<uint64_t>{0b11});
  EXPECT_EQ(first[12].results, std::vector<uint64_t>{1});
  EXPECT_EQ(first[13].results, std::vector<uint64_t>{1});
  // Audience 14 was evaluated and is false.
  EXPECT_EQ(first[14].status, std::vector<uint64_t>{1});
  EXPECT_EQ(first[14].results, std::vector<uint64_t>{0});
  for (const auto& [id, leaf] : first) {
    EXPECT_TRUE(leaf.noPrevious) << id;
    EXPECT_FALSE(leaf.hasPrevious) << id;
  }

  // A new session: the session-scoped audience is dropped; the others are sent unchanged,
  // without previous results.
  // (The metadata went with the raw events it served; it is stored again for the next run.)
  const int64_t next = StoreMetadataWithTier("Gold");
  StoreEvent(Event("_s", kNow + 4000), next);
  ASSERT_TRUE(bundler.bundleRawEvents());
  ASSERT_EQ(Queued().size(), 2u);
  std::map<int32_t, Leaf> second = Leaves(*Queued().back());
  EXPECT_EQ(second.count(13), 0u);
  ASSERT_EQ(second.count(11), 1u);
  EXPECT_EQ(second[11].results, std::vector<uint64_t>{0b11});
  EXPECT_FALSE(second[11].noPrevious);
  EXPECT_FALSE(second[11].hasPrevious);
  EXPECT_EQ(second[12].results, std::vector<uint64_t>{1});
}

}  // namespace
