#include "analytics/audiences/conditional_user_property_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <set>

#include "analytics/audiences/audiences_test_support.h"
#include "analytics/audiences/conditional_user_property_validation.h"
#include "analytics/audiences/cup_test_support.h"
#include "analytics/engine/event.h"
#include "analytics/foundation/scheduler.h"

namespace {

using audience_test::AudienceTestBase;
using audience_test::FakeEngine;

ZIVValuePtr Str(const char* text) { return ZIVValue::initWithString(std::string(text)); }

std::shared_ptr<ZIVEvent> Event(const std::string& name, ZIVEvent::Parameters parameters = {}) {
  return ZIVEvent::initWithOrigin("app", false, name, 1, 0, parameters);
}

class ConditionalUserPropertyTest : public AudienceTestBase {
 protected:
  void SetUp() override {
    AudienceTestBase::SetUp();
    engine_ = std::make_shared<FakeEngine>();
    engine_->db = database_;
    engine_->worker = std::make_shared<ZIVScheduler>("cup.test.worker", nullptr, clock_);
    controller_ = ZIVConditionalUserPropertyController::create(
        {[engine = engine_] { return engine; }, clock_});
    engine_->owner = controller_;
  }
  void TearDown() override {
    Drain();
    AudienceTestBase::TearDown();
  }

  void OnWorker(const std::function<void()>& block) {
    engine_->worker->dispatchSyncOnWorkerQueueBlockID("test", block);
  }
  void Drain() {
    OnWorker([] {});
  }

  // A request as the interop connector makes it.
  std::shared_ptr<ZIVConditionalUserProperty> Request(const char* value, const std::string& trigger,
                                                      double timeout = 60, double ttl = 3600) {
    auto p = std::make_shared<ZIVConditionalUserProperty>();
    p->origin = "fcm";
    if (value) p->value = Str(value);
    p->triggerEventName = trigger;
    p->triggerTimeout = timeout;
    p->timeToLive = ttl;
    p->triggeredEvent = Event("_cup_triggered", {{"p", Str("1")}});
    p->timedOutEvent = Event("_cup_timed_out");
    p->expiredEvent = Event("_cup_expired");
    return p;
  }
  void Set(const std::shared_ptr<ZIVConditionalUserProperty>& p, const std::string& name) {
    controller_->setConditionalUserProperty(p, name);
    Drain();
  }
  // Logs an event through the pipeline's stage.
  void LogEvent(const std::string& name) {
    OnWorker([&] { engine_->writeEventOnWorkerQueue(Event(name)); });
  }
  std::shared_ptr<ZIVConditionalUserProperty> Record(const std::string& name) {
    return database_->conditionalUserPropertyWithName(name);
  }
  std::shared_ptr<ZIVUserAttribute> Property(const std::string& name) {
    return database_->userAttributeWithName(name);
  }

  std::shared_ptr<FakeEngine> engine_;
  std::shared_ptr<ZIVConditionalUserPropertyController> controller_;
};

using Written = FakeEngine::Written;

TEST_F(ConditionalUserPropertyTest, ValidityOfIntervals) {
  struct Case {
    double timeout;
    double ttl;
    bool valid;
    int64_t code;
  };
  const Case cases[] = {
      {15552000, 0.001, true, 0}, {15552000.5, 1, false, 11000}, {0, 1, false, 11000},
      {0.0009, 1, false, 11000},  {1, 15552001, false, 11001},   {1, NAN, false, 11001},
  };
  for (const Case& c : cases) {
    sharedLog_.clear();
    auto p = Request("v", "", c.timeout, c.ttl);
    p->name = "prop";
    EXPECT_EQ(ZIVIsValidConditionalUserProperty(*p), c.valid) << c.timeout << " " << c.ttl;
    if (c.code) {
      EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u);
    }
  }
  // A timeout of 0 is refused even without a trigger event; no value is a valid removal.
  auto removal = Request(nullptr, "", 1, 1);
  removal->name = "prop";
  EXPECT_TRUE(ZIVIsValidConditionalUserProperty(*removal));
  auto badName = Request("v", "", 1, 1);
  badName->name = "a_name_longer_than_24_chars";
  EXPECT_FALSE(ZIVIsValidConditionalUserProperty(*badName));
}

TEST_F(ConditionalUserPropertyTest, EmptyTriggerActivatesAtOnce) {
  Set(Request("gold", ""), "tier");
  auto record = Record("tier");
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->active);
  EXPECT_EQ(record->creationTimestamp, kNow);
  EXPECT_EQ(record->triggeredTimestamp, kNow);
  auto property = Property("tier");
  ASSERT_NE(property, nullptr);
  EXPECT_EQ(property->value()->stringValue(), "gold");
  EXPECT_EQ(property->lastSetTimestamp(), kNow);
  EXPECT_EQ(property->origin(), "fcm");
  EXPECT_EQ(engine_->written, (std::vector<Written>{{"_cup_triggered", "fcm", kNow, false}}));

  // Setting it again keeps its trigger time and logs no second triggered event.
  clock_->advance(100);
  auto again = Request("platinum", "");
  Set(again, "tier");
  record = Record("tier");
  EXPECT_TRUE(record->active);
  EXPECT_EQ(record->triggeredTimestamp, kNow);
  EXPECT_EQ(record->creationTimestamp, kNow);
  EXPECT_EQ(record->value->stringValue(), "platinum");
  EXPECT_EQ(engine_->written.size(), 1u);
}

TEST_F(ConditionalUserPropertyTest, TriggerWithinTimeoutActivatesAndItsEventIsProcessedToo) {
  Set(Request("a", "level_up"), "first");
  Set(Request("b", "_cup_triggered"), "second");
  EXPECT_FALSE(Record("first")->active);
  EXPECT_EQ(Property("first"), nullptr);
  clock_->advance(30);
  LogEvent("level_up");
  EXPECT_TRUE(Record("first")->active);
  EXPECT_EQ(Record("first")->triggeredTimestamp, kNow + 30);
  EXPECT_EQ(Property("first")->value()->stringValue(), "a");
  // The triggered event of "first" triggered "second".
  EXPECT_TRUE(Record("second")->active);
  EXPECT_EQ(engine_->written, (std::vector<Written>{{"level_up", "app", 1, false},
                                                    {"_cup_triggered", "fcm", kNow + 30, false},
                                                    {"_cup_triggered", "fcm", kNow + 30, false}}));
}

TEST_F(ConditionalUserPropertyTest, LateTriggerWritesTheTimedOutEventInstead) {
  Set(Request("a", "level_up", 60), "prop");
  clock_->advance(61);
  LogEvent("level_up");
  EXPECT_EQ(Record("prop"), nullptr);
  EXPECT_EQ(Property("prop"), nullptr);
  EXPECT_EQ(engine_->written, (std::vector<Written>{{"level_up", "app", 1, false},
                                                    {"_cup_timed_out", "fcm", kNow + 61, true}}));
}

TEST_F(ConditionalUserPropertyTest, ActivePropertyExpiresAtTheNextEventAfterItsTimeToLive) {
  Set(Request("a", "", 60, 100), "prop");
  clock_->advance(100);
  LogEvent("tick");
  EXPECT_NE(Property("prop"), nullptr);
  clock_->advance(1);
  LogEvent("tick");
  EXPECT_EQ(Record("prop"), nullptr);
  EXPECT_EQ(Property("prop"), nullptr);
  EXPECT_EQ(engine_->written.back(), (Written{"_cup_expired", "fcm", kNow + 101, true}));
}

TEST_F(ConditionalUserPropertyTest, PublicPurchaseNameTriggersTheInternalOne) {
  Set(Request("buyer", "_iap"), "prop");
  LogEvent("in_app_purchase");
  EXPECT_TRUE(Record("prop")->active);
  EXPECT_EQ(Property("prop")->value()->stringValue(), "buyer");
}

TEST_F(ConditionalUserPropertyTest, ClearRemovesPropertyAndWritesTheClearEvent) {
  Set(Request("a", ""), "prop");
  engine_->written.clear();
  auto clearEvent = ZIVEvent::initWithOrigin("fiam", false, "_cup_cleared", 5, 0,
                                             ZIVEvent::Parameters{{"prop", Str("a")}});
  clock_->advance(10);
  controller_->clearConditionalUserPropertyWithClearEvent(clearEvent, fnd::Value("prop"));
  Drain();
  EXPECT_EQ(Record("prop"), nullptr);
  EXPECT_EQ(Property("prop"), nullptr);
  // The event carries the stored record's origin and the time of the removal.
  EXPECT_EQ(engine_->written, (std::vector<Written>{{"_cup_cleared", "fcm", kNow + 10, false}}));

  // Clearing an unknown name logs and writes nothing.
  engine_->written.clear();
  sharedLog_.clear();
  controller_->clearConditionalUserPropertyWithClearEvent(clearEvent, fnd::Value("unknown"));
  Drain();
  ExpectLogged(sharedLog_, 4, 11018,
               "Cannot remove nonexistent conditional user property. Name, origin");
  EXPECT_TRUE(engine_->written.empty());
  // A set without a value is a removal too.
  Set(Request("a", ""), "other");
  Set(Request(nullptr, ""), "other");
  EXPECT_EQ(Record("other"), nullptr);
}

TEST_F(ConditionalUserPropertyTest, FailedStoreRollsBackTheUserProperty) {
  // Fill the table to its limit, so that the record of a new name cannot be stored.
  OnWorker([&] {
    ASSERT_TRUE(database_->performTransaction([&] {
      for (int i = 0; i < ZIVDatabaseConditionalUserPropertyMaxCount; ++i) {
        auto p = Request("v", "never");
        p->name = "p" + std::to_string(i);
        if (!database_->updateConditionalUserProperty(*p)) return false;
      }
      return true;
    }));
  });
  Set(Request("gold", ""), "tier");
  EXPECT_EQ(sharedLog_.withCode(11014).size(), 1u);
  EXPECT_EQ(Record("tier"), nullptr);
  EXPECT_EQ(Property("tier"), nullptr);
  EXPECT_TRUE(engine_->written.empty());
}

TEST_F(ConditionalUserPropertyTest, DisabledEngineDropsRequests) {
  engine_->enabled = false;
  Set(Request("a", ""), "prop");
  EXPECT_EQ(Record("prop"), nullptr);
  EXPECT_EQ(sharedLog_.withCode(11007).size(), 1u);
  EXPECT_EQ(controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value(), fnd::Value()),
            std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(11005).size(), 1u);
}

TEST_F(ConditionalUserPropertyTest, QueriesByPrefixAndOrigin) {
  Set(Request("a", "x"), "promo_one");
  Set(Request("b", "x"), "promo_two");
  Set(Request("c", "x"), "other");
  auto names =
      [](const std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>& r) {
        std::set<std::string> out;
        if (r) {
          for (const auto& p : *r) out.insert(p->name);
        }
        return out;
      };
  EXPECT_EQ(names(controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value("PROMO"),
                                                                       fnd::Value("FCM"))),
            (std::set<std::string>{"promo_one", "promo_two"}));
  EXPECT_EQ(names(controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value(), fnd::Value())),
            (std::set<std::string>{"promo_one", "promo_two", "other"}));
  EXPECT_TRUE(
      names(controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value(), fnd::Value("fiam")))
          .empty());
  EXPECT_EQ(controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value(3), fnd::Value()),
            std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(11003).size(), 1u);
  EXPECT_EQ(controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value(), fnd::Value(true)),
            std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(11004).size(), 1u);

  // Made on the worker queue itself, the query answers at once instead of waiting it out.
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>> inline_;
  OnWorker([&] {
    inline_ =
        controller_->conditionalUserPropertiesWithNamePrefix(fnd::Value("other"), fnd::Value());
  });
  EXPECT_EQ(names(inline_), std::set<std::string>{"other"});
}

TEST_F(ConditionalUserPropertyTest, ProcessingFailureRollsBackAndWritesNothing) {
  Set(Request("a", "level_up", 60), "prop");
  clock_->advance(61);
  engine_->written.clear();
  Exec("ALTER TABLE conditional_properties RENAME TO conditional_properties_gone");
  std::optional<ZIVConditionalUserPropertyController::Events> result;
  OnWorker([&] { result = controller_->processEventOnWorkerQueue(Event("level_up")); });
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(sharedLog_.withCode(10001).size(), 1u);
  EXPECT_TRUE(engine_->written.empty());
  OnWorker([&] { result = controller_->processEventOnWorkerQueue(nullptr); });
  EXPECT_EQ(sharedLog_.withCode(10000).size(), 1u);
}

}  // namespace
