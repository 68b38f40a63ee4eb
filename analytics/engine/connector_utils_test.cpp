#include "analytics/engine/connector_utils.h"

#include <gtest/gtest.h>

#include "platform/foundation/test_home.h"

namespace {

class DEVConnectorUtilsTest : public ::testing::Test {
 protected:
  fnd::ScopedTestHome home_;
};

TEST_F(DEVConnectorUtilsTest, OriginRules) {
  struct Case {
    const char* origin;
    bool allowed;
    bool app;
    bool listener;
  };
  const Case cases[] = {
      {"app", false, true, false},  {"app+gtm", true, true, false}, {"app+", true, true, false},
      {"apps", true, false, false}, {"ap", true, false, false},     {"auto", false, false, false},
      {"am", false, false, false},  {"fiam", true, false, true},    {"crash", true, false, true},
      {"clx", true, false, true},   {"fcm", true, false, false},    {"App", true, false, false},
      {"", true, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DEVConnectorUtils::isOriginAllowed(c.origin), c.allowed) << c.origin;
    EXPECT_EQ(DEVConnectorUtils::isAppOrigin(c.origin), c.app) << c.origin;
    EXPECT_EQ(DEVConnectorUtils::isListenerOriginAllowed(c.origin), c.listener) << c.origin;
  }
}

TEST_F(DEVConnectorUtilsTest, EventRules) {
  struct Case {
    const char* name;
    fnd::Dictionary parameters;
    bool log;
  };
  const Case cases[] = {
      {"", {}, false},
      {"_s", {}, false},
      {"_e", {}, false},
      {"_au", {}, false},
      {"_cmp", {}, true},
      {"level_up", {}, true},
      {"level_up", {{"_dbg", 1}}, false},
      {"level_up", {{"_r", 1}}, false},
      {"level_up", {{"_o", "fcm"}, {"value", 3}}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DEVConnectorUtils::shouldLogEventWithName(c.name, c.parameters), c.log) << c.name;
  }
  EXPECT_FALSE(DEVConnectorUtils::isEventNameAllowedForListeners("campaign_details"));
  EXPECT_FALSE(DEVConnectorUtils::isEventNameAllowedForListeners("_exp_expire"));
  EXPECT_TRUE(DEVConnectorUtils::isEventNameAllowedForListeners("_vs"));
  EXPECT_TRUE(DEVConnectorUtils::isEventNameAllowedForListenerOrigin("_vs", "clx"));
  EXPECT_FALSE(DEVConnectorUtils::isEventNameAllowedForListenerOrigin("_vs", "fcm"));
  EXPECT_FALSE(DEVConnectorUtils::isEventNameAllowedForListenerOrigin("_e", "clx"));
}

TEST_F(DEVConnectorUtilsTest, UserPropertyRules) {
  struct Case {
    const char* name;
    const char* origin;
    bool allowed;
  };
  const Case cases[] = {
      {"_ln", "fcm", true},       {"_ln", "fiam", true},     {"_ln", "clx", false},
      {"_sid", "fcm", false},     {"_fot", "fiam", false},   {"_id", "crash", false},
      {"_ltv_USD", "fcm", false}, {"_ltv_usd", "fcm", true}, {"_ltv_US", "fcm", true},
      {"_ltv_USDX", "fcm", true}, {"_cc1", "fcm", false},    {"_cc5", "fcm", false},
      {"_cc0", "fcm", true},      {"_cc6", "fcm", true},     {"_cc12", "fcm", true},
      {"value", "fcm", true},     {"", "fcm", false},        {"x_ltv_USD", "fcm", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DEVConnectorUtils::isUserPropertyAllowed(c.name, c.origin), c.allowed)
        << c.name << " from " << c.origin;
  }
  EXPECT_TRUE(DEVConnectorUtils::isUserPropertyAllowedForQuery("_fot"));
  EXPECT_TRUE(DEVConnectorUtils::isUserPropertyAllowedForQuery("favourite_food"));
  EXPECT_FALSE(DEVConnectorUtils::isUserPropertyAllowedForQuery("_id"));
  EXPECT_FALSE(DEVConnectorUtils::isUserPropertyAllowedForQuery(""));
}

}  // namespace
