#include "analytics/attribution/lifetime_value_recorder.h"

#include <gtest/gtest.h>

#include "analytics/engine/event.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/storage/database.h"

namespace {

class LifetimeValueTest : public ZIVFoundationTest {
 protected:
  void SetUp() override {
    config_ = ZIVPersistedConfig::create("com.rivado.measurement.test", clock_);
    database_ = ZIVDatabase::initWithDatabaseName("ltv.sql", config_, nullptr, {nullptr, clock_});
    ASSERT_TRUE(database_);
  }

  bool Record(const std::string& name, fnd::Dictionary parameters) {
    auto event = ZIVEvent::initWithOrigin("app", false, name, clock_->wallTime(), 0, parameters);
    EXPECT_TRUE(event);
    return ZIVLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event, 4,
                                                                   clock_->wallTime());
  }
  std::optional<int64_t> Total(const std::string& code) {
    auto attribute = database_->userAttributeWithName("_ltv_" + code);
    if (!attribute) return std::nullopt;
    return attribute->value()->int64Value();
  }

  std::shared_ptr<ZIVPersistedConfig> config_;
  std::shared_ptr<ZIVDatabase> database_;
};

TEST_F(LifetimeValueTest, PurchasesAddAndRefundsSubtract) {
  EXPECT_TRUE(Record("purchase", {{"currency", "usd"}, {"value", 9.99}}));
  EXPECT_EQ(Total("USD"), 9990000);
  EXPECT_TRUE(Record("in_app_purchase", {{"currency", "USD"}, {"value", fnd::Value::Int64(2)}}));
  EXPECT_EQ(Total("USD"), 11990000);
  EXPECT_TRUE(Record("_iap", {{"currency", "USD"}, {"value", fnd::Value::Int64(10)}}));
  EXPECT_EQ(Total("USD"), 11990010);
  EXPECT_TRUE(Record("refund", {{"currency", "USD"}, {"value", 9.99}}));
  EXPECT_EQ(Total("USD"), 2000010);
  // Half a micro rounds away from zero.
  EXPECT_TRUE(Record("ecommerce_purchase", {{"currency", "EUR"}, {"value", 0.0000005}}));
  EXPECT_EQ(Total("EUR"), 1);
  EXPECT_TRUE(Record("level_up", {{"currency", "USD"}, {"value", 1.0}}));
  EXPECT_EQ(Total("USD"), 2000010);
  EXPECT_EQ(sharedLog_.withCode(22006).size(), 5u);
}

TEST_F(LifetimeValueTest, BadParametersAreSkipped) {
  struct Case {
    fnd::Dictionary parameters;
    int64_t code;
  } cases[] = {
      {{{"currency", "US"}, {"value", 1.0}}, 22000},
      {{{"currency", "USDX"}, {"value", 1.0}}, 22000},
      {{{"value", 1.0}}, 22000},
      {{{"currency", "USD"}, {"value", "1.0"}}, 22001},
      {{{"currency", "USD"}}, 22001},
  };
  for (const auto& c : cases) {
    sharedLog_.clear();
    EXPECT_TRUE(Record("purchase", c.parameters));
    EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u) << c.code;
  }
  EXPECT_EQ(Total("USD"), std::nullopt);
}

TEST_F(LifetimeValueTest, OutOfRangeAmountsAreRefusedAndTotalsSaturate) {
  EXPECT_FALSE(Record("purchase", {{"currency", "USD"}, {"value", 1e13}}));
  ExpectLogged(sharedLog_, 1, 22002, "Cannot record transaction with value that is out of bounds");
  EXPECT_FALSE(Record("_iap", {{"currency", "USD"}, {"value", 1e30}}));
  EXPECT_EQ(Total("USD"), std::nullopt);
  // Two near-maximal purchases: the total holds at the bound instead of wrapping negative.
  const int64_t big = std::numeric_limits<int64_t>::max() - 5;
  EXPECT_TRUE(Record("_iap", {{"currency", "USD"}, {"value", fnd::Value::Int64(big)}}));
  EXPECT_TRUE(Record("_iap", {{"currency", "USD"}, {"value", fnd::Value::Int64(big)}}));
  EXPECT_EQ(Total("USD"), std::numeric_limits<int64_t>::max());
}

TEST_F(LifetimeValueTest, AFifthCurrencyReplacesTheOldest) {
  for (const char* code : {"AAA", "BBB", "CCC", "DDD"}) {
    EXPECT_TRUE(Record("purchase", {{"currency", code}, {"value", 1.0}}));
    clock_->advance(10);
  }
  EXPECT_TRUE(Record("purchase", {{"currency", "AAA"}, {"value", 1.0}}));  // Known: nothing goes.
  clock_->advance(10);
  EXPECT_EQ(Total("BBB"), 1000000);
  EXPECT_TRUE(Record("purchase", {{"currency", "EEE"}, {"value", 1.0}}));
  EXPECT_EQ(Total("BBB"), std::nullopt);
  EXPECT_EQ(Total("AAA"), 2000000);
  EXPECT_EQ(Total("EEE"), 1000000);
}

}  // namespace
