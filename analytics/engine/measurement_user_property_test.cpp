// User properties on a real database: limits, the internal properties and the queries.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "analytics/engine/measurement_test_support.h"

namespace {

using measurement_test::EngineHarness;
using measurement_test::ErrorEventCapture;

ZIVValuePtr Int(int64_t v) { return ZIVValue::initWithInt64(v); }
ZIVValuePtr Text(const std::string& v) { return ZIVValue::initWithString(v); }

TEST(MeasurementUserPropertyTest, InternalLimitIsPerOriginAndOnlyForNewNames) {
  EngineHarness h;
  h.Open();
  ErrorEventCapture errors;
  // The first launch stored "_fi" and "_fot" (origin "auto"); fill up to 25.
  int64_t stored = 0;
  h.OnWorker([&] { stored = *h.engine->database()->userAttributeCountForOrigin("auto"); });
  for (int64_t i = stored; i < 25; ++i) h.SetUserProperty("auto", "_x" + std::to_string(i), Int(i));
  h.log().clear();
  h.SetUserProperty("auto", "_over", Int(1));
  EXPECT_EQ(h.UserProperty("_over"), nullptr);
  ExpectLogged(h.log(), 3, 23084,
               "Unable to set user property. Reached limit on set user properties for origin. "
               "Origin, name, value");
  EXPECT_EQ(errors.codes(), std::vector<int64_t>{9});
  h.SetUserProperty("auto", "_x24", Int(99));
  EXPECT_EQ(h.UserProperty("_x24")->value()->int64Value(), 99);
  h.SetUserProperty("fcm", "_other", Int(1));
  EXPECT_NE(h.UserProperty("_other"), nullptr);
}

TEST(MeasurementUserPropertyTest, PublicLimit) {
  EngineHarness h;
  h.Open();
  h.OnWorker([&] {
    for (int i = 0; i < 100; ++i) {
      auto attribute =
          ZIVUserAttribute::initWithOrigin("app", "p" + std::to_string(i), Int(i), h.Now());
      ASSERT_TRUE(h.engine->database()->updateUserAttribute(attribute));
    }
  });
  h.SetUserProperty("app", "p100", Int(1));
  EXPECT_EQ(h.UserProperty("p100"), nullptr);
  h.SetUserProperty("app", "p7", Int(70));
  EXPECT_EQ(h.UserProperty("p7")->value()->int64Value(), 70);
}

TEST(MeasurementUserPropertyTest, ChangingTheUserIDDropsTheResetMarker) {
  EngineHarness h;
  h.Open();
  h.SetUserProperty("app", "_id", Text("alice"));
  h.SetUserProperty("auto", "_lair", Int(1));
  h.SetUserProperty("app", "_id", Text("alice"));
  EXPECT_NE(h.UserProperty("_lair"), nullptr);  // Same text: nothing reset.
  h.SetUserProperty("app", "_id", Text("bob"));
  EXPECT_EQ(h.UserProperty("_lair"), nullptr);
}

TEST(MeasurementUserPropertyTest, DisabledEngineChangesNothing) {
  EngineHarness h;
  auto engine = h.Open();
  engine->setEnabled(false);
  h.Drain();
  h.SetUserProperty("app", "color", Text("red"));
  EXPECT_EQ(h.UserProperty("color"), nullptr);
  ExpectLogged(h.log(), 7, 23081, "Analytics is disabled. User property not set");
  engine->removeUserAttribute(ZIVUserAttribute::initWithOrigin("", "_fot", Int(0), h.Now()));
  h.Drain();
  EXPECT_NE(h.UserProperty("_fot"), nullptr);
  ExpectLogged(h.log(), 7, 23076, "Analytics is disabled. User property not removed");
}

TEST(MeasurementUserPropertyTest, RemoveAndNilArguments) {
  EngineHarness h;
  auto engine = h.Open();
  h.SetUserProperty("app", "color", Text("red"));
  engine->removeUserAttribute(ZIVUserAttribute::initWithOrigin("", "color", Int(0), h.Now()));
  h.Drain();
  EXPECT_EQ(h.UserProperty("color"), nullptr);
  ExpectLogged(h.log(), 7, 23078, "User property removed. Name");
  engine->setUserAttribute(nullptr);
  engine->removeUserAttribute(nullptr);
  ExpectLogged(h.log(), 3, 23079, "Attempted to set nil user property");
  ExpectLogged(h.log(), 3, 23074, "Attempted to remove nil user property");
}

TEST(MeasurementUserPropertyTest, QueriesAnswerOnAnotherThread) {
  EngineHarness h;
  auto engine = h.Open();
  h.SetUserProperty("app", "color", Text("red"));
  h.SetUserProperty("app", "size", ZIVValue::initWithDouble(1.5));
  std::promise<fnd::Dictionary> publicOnly;
  engine->userPropertiesIncludingInternal(false,
                                          [&](fnd::Dictionary d) { publicOnly.set_value(d); });
  EXPECT_EQ(publicOnly.get_future().get(), (fnd::Dictionary{{"color", "red"}, {"size", 1.5}}));
  std::promise<std::shared_ptr<ZIVUserAttribute>> one;
  engine->userAttributeWithName("color", [&](auto a) { one.set_value(a); });
  EXPECT_EQ(one.get_future().get()->value()->stringValue(), "red");
  std::promise<int64_t> max;
  engine->maxUserPropertiesForOrigin("anything", [&](int64_t n) { max.set_value(n); });
  EXPECT_EQ(max.get_future().get(), 25);
}

TEST(MeasurementUserPropertyTest, SessionIDAnswers) {
  EngineHarness h;
  auto engine = h.Open();
  auto ask = [&] {
    std::promise<std::pair<int64_t, std::string>> answer;
    engine->sessionIDWithCompletion([&](int64_t id, std::optional<fnd::Error> error) {
      answer.set_value({id, error ? error->localizedDescription() : ""});
    });
    return answer.get_future().get();
  };
  // The first launch's session start stored "_sid".
  EXPECT_EQ(ask(), (std::pair<int64_t, std::string>{
                       static_cast<int64_t>(measurement_test::kLaunchTime), ""}));
  h.sessions->reporter->expired = true;
  EXPECT_EQ(ask().second, "Session expired");
  h.sessions->reporter->expired = false;
  engine->setEnabled(false);
  h.Drain();
  EXPECT_EQ(ask().second, "Analytics disabled");
}

TEST(MeasurementUserPropertyTest, AdPersonalizationValue) {
  struct Case {
    std::optional<fnd::Value> plist;
    std::optional<bool> expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {fnd::Value("YES"), false},  // Not a number.
      {fnd::Value(true), false},
      {fnd::Value(false), true},
  };
  for (const Case& c : cases) {
    EngineHarness h;
    if (c.plist) h.info.set("RIVADO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", *c.plist);
    auto engine = h.Open();
    EXPECT_EQ(engine->shouldDisableAdPersonalization(), c.expected);
  }
  EngineHarness h;
  auto engine = h.Open();
  h.config().setAllowPersonalizedAds(fnd::Value(true));
  EXPECT_EQ(engine->shouldDisableAdPersonalization(), false);
  h.config().setAllowPersonalizedAds(std::nullopt);
  h.consent.updateSettings(fnd::Dictionary{{"ad_personalization", "denied"}});
  EXPECT_EQ(engine->shouldDisableAdPersonalization(), true);
}

}  // namespace
