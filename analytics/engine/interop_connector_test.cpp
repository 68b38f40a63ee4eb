#include "analytics/engine/interop_connector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "analytics/engine/azodavevu.h"
#include "analytics/engine/event.h"
#include "analytics/engine/facade_test_support.h"
#include "platform/dispatch/semaphore.h"

namespace {

using fnd::Dictionary;
using fnd::Value;

class RecordingListener : public DEVAzodavevuInteropListener {
 public:
  void messageTriggered(const std::string& name, const Dictionary& parameters) override {
    std::lock_guard<std::mutex> lock(mu);
    heard.push_back(name);
    last = parameters;
  }
  std::vector<std::string> names() {
    std::lock_guard<std::mutex> lock(mu);
    return heard;
  }
  std::mutex mu;
  std::vector<std::string> heard;
  Dictionary last;
};

class RecordingControl : public DEVConditionalUserPropertyControl {
 public:
  void setConditionalUserProperty(const std::shared_ptr<ZIVConditionalUserProperty>& p,
                                  const std::string& name) override {
    set.emplace_back(p, name);
  }
  void clearConditionalUserPropertyWithClearEvent(const std::shared_ptr<ZIVEvent>& event,
                                                  const std::string& name) override {
    cleared.emplace_back(event, name);
  }
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  conditionalUserPropertiesWithNamePrefix(const Value& prefix, const Value& origin) override {
    queries.emplace_back(prefix, origin);
    return stored;
  }
  std::vector<std::pair<std::shared_ptr<ZIVConditionalUserProperty>, std::string>> set;
  std::vector<std::pair<std::shared_ptr<ZIVEvent>, std::string>> cleared;
  std::vector<std::pair<Value, Value>> queries;
  std::vector<std::shared_ptr<ZIVConditionalUserProperty>> stored;
};

class ConnectorTest : public FacadeTest {
 protected:
  ConnectorTest() {
    DEVAzodavevu::Environment env;
    env.analytics = &analytics();
    env.isDefaultAppConfigured = [] { return true; };
    env.classes = &classes_;
    env.notificationCenter = &center_;
    api_ = std::make_unique<DEVAzodavevu>(std::move(env));
    DEVAzodavevuConnector::Environment cenv;
    cenv.analytics = api_.get();
    cenv.conditionalUserProperties = control_;
    cenv.clock = clock_;
    cenv.listenerQueue = listenerQueue_;
    connector_ = DEVAzodavevuConnector::create(std::move(cenv));
  }
  ~ConnectorTest() override {
    clock_->advance(1);
    drain();
    connector_.reset();
    listenerQueue_->sync([] {});
  }

  // Lets the listener deliveries run: the facade's queue, the connector's queue, the listeners'.
  void deliver() {
    drain();
    connector_->queue()->sync([] {});
    listenerQueue_->sync([] {});
  }

  std::shared_ptr<ZIVEvent> Event(const std::string& origin, const std::string& name) {
    return ZIVEvent::initWithOrigin(origin, false, name, clock_->wallTime(), 0,
                                    Dictionary{{"v", 1}});
  }

  std::shared_ptr<RecordingControl> control_ = std::make_shared<RecordingControl>();
  std::shared_ptr<dispatch::Queue> listenerQueue_ = dispatch::Queue::create("test.listeners");
  std::unique_ptr<DEVAzodavevu> api_;
  std::shared_ptr<DEVAzodavevuConnector> connector_;
};

TEST_F(ConnectorTest, EventsFromOtherLibraries) {
  start();
  connector_->logEventWithOrigin("fiam", "_cmp", Dictionary{{"campaign", "spring"}});
  connector_->logEventWithOrigin("app", "_cmp", std::nullopt);
  connector_->logEventWithOrigin("clx", "_ae", std::nullopt);
  connector_->logEventWithOrigin("fcm", "_s", std::nullopt);
  connector_->logEventWithOrigin("fcm", "_nr", Dictionary{{"_dbg", 1}});
  drain();
  std::vector<ZIVFacadeEvent> events = engine_->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].origin, "fiam");
  EXPECT_FALSE(events[0].isPublic);
  EXPECT_EQ(events[0].parameters,
            (Dictionary{{"campaign", "spring"}, {"_cis", "fiam_integration"}}));
  EXPECT_EQ(events[1].parameters, (Dictionary{{"_r", Value::Int64(1)}}));
}

TEST_F(ConnectorTest, UserPropertiesFromOtherLibraries) {
  engine_->userProperties = Dictionary{{"_fot", 1}, {"_id", "u"}, {"food", "pizza"}};
  start();
  connector_->setUserPropertyWithOrigin("fcm", "_ln", Value("campaign"));
  connector_->setUserPropertyWithOrigin("clx", "_ln", Value("campaign"));
  connector_->setUserPropertyWithOrigin("app", "food", Value("pizza"));
  drain();
  ASSERT_EQ(engine_->setAttributes().size(), 1u);
  EXPECT_EQ(engine_->setAttributes()[0]->origin(), "fcm");

  std::promise<Dictionary> answer;
  connector_->getUserPropertiesWithCallback([&](const Dictionary& d) { answer.set_value(d); });
  EXPECT_EQ(answer.get_future().get(), (Dictionary{{"_fot", 1}, {"food", "pizza"}}));
  EXPECT_EQ(connector_->maxUserProperties("fcm"), 25);
}

TEST_F(ConnectorTest, MaxUserPropertiesGivesUpAfterTenSeconds) {
  std::atomic<int64_t> result{-1};
  std::thread caller([&] { result = connector_->maxUserProperties("fcm"); });
  while (clock_->pendingTimerCount() == 0) std::this_thread::yield();
  clock_->advance(9.9);
  EXPECT_EQ(result.load(), -1);
  clock_->advance(0.2);
  caller.join();
  EXPECT_EQ(result.load(), 0);
}

TEST_F(ConnectorTest, ListenersHearTheirOwnAndTheApplicationsEvents) {
  start();
  auto fiam = std::make_shared<RecordingListener>();
  auto clx = std::make_shared<RecordingListener>();
  auto crash = std::make_shared<RecordingListener>();
  connector_->registerAnalyticsListener(fiam, "fiam");
  connector_->registerAnalyticsListener(clx, "clx");
  connector_->registerAnalyticsListener(crash, "crash");
  connector_->registerAnalyticsListener(std::make_shared<RecordingListener>(), "fcm");  // Refused.
  drain();
  EXPECT_TRUE(connector_->hasLogEventListener());
  for (auto event : {Event("app", "level_up"), Event("fiam", "_ndt"), Event("fcm", "_vs"),
                     Event("fcm", "_nr"), Event("app", "_xa"), Event("app+gtm", "share")}) {
    ASSERT_TRUE(event);
    analytics().notifyEventListeners(event);
  }
  deliver();
  EXPECT_EQ(fiam->names(), (std::vector<std::string>{"level_up", "_ndt", "share"}));
  EXPECT_EQ(clx->names(), (std::vector<std::string>{"level_up", "_vs", "share"}));
  EXPECT_EQ(crash->names(), (std::vector<std::string>{"level_up", "share"}));
  EXPECT_EQ(fiam->last, (Dictionary{{"v", Value::Int64(1)}, {"_o", "app+gtm"}}));

  connector_->unregisterAnalyticsListenerWithOrigin("fiam");
  connector_->unregisterAnalyticsListenerWithOrigin("clx");
  EXPECT_TRUE(connector_->hasLogEventListener());
  connector_->unregisterAnalyticsListenerWithOrigin("crash");
  EXPECT_FALSE(connector_->hasLogEventListener());
  connector_->registerAnalyticsListener(crash, "crash");
  EXPECT_TRUE(connector_->hasLogEventListener());
  analytics().notifyEventListeners(Event("crash", "_ae"));
  deliver();
  EXPECT_EQ(crash->names(), (std::vector<std::string>{"level_up", "share", "_ae"}));
  EXPECT_TRUE(log_.withCode(25014).empty());
  EXPECT_TRUE(log_.withCode(25015).empty());
}

TEST_F(ConnectorTest, ListenerTableSurvivesConcurrentChanges) {
  start();
  std::atomic<bool> stop{false};
  std::thread events([&] {
    while (!stop.load()) analytics().notifyEventListeners(Event("app", "level_up"));
  });
  std::vector<std::thread> changers;
  for (const char* origin : {"fiam", "clx", "crash"}) {
    changers.emplace_back([this, origin] {
      for (int i = 0; i < 200; ++i) {
        connector_->registerAnalyticsListener(std::make_shared<RecordingListener>(), origin);
        connector_->unregisterAnalyticsListenerWithOrigin(origin);
      }
    });
  }
  for (auto& t : changers) t.join();
  stop.store(true);
  events.join();
  deliver();
  EXPECT_FALSE(connector_->hasLogEventListener());
}

TEST_F(ConnectorTest, ConditionalUserPropertyDictionaries) {
  connector_->setConditionalUserProperty(Dictionary{});
  EXPECT_TRUE(control_->set.empty());
  connector_->setConditionalUserProperty(Dictionary{
      {"name", "campaign"},
      {"origin", "fiam"},
      {"value", "spring"},
      {"triggerEventName", "purchase"},
      {"triggerTimeout", 60},
      {"timeToLive", 3600.5},
      {"creationTimestamp", 5},
      {"triggeredEvent",
       Dictionary{{"origin", "fiam"}, {"name", "_cup_t"}, {"parameters", Dictionary{{"a", 1}}}}},
  });
  EXPECT_TRUE(log_.withCode(25045).empty());
  // What another library must not be able to break us with: each is left out and logged.
  connector_->setConditionalUserProperty(Dictionary{
      {"name", "second"},
      {"colour", "blue"},
      {"timeToLive", "forever"},
      {"expiredEvent", "not an event"},
      {"triggeredEvent", Dictionary{{"origin", ""}, {"name", "_cup_t"}}},
      {"value", fnd::Array{1, 2}},
      {7, "numeric key"},
  });
  EXPECT_EQ(log_.withCode(25045).size(), 6u);
  ASSERT_EQ(control_->set.size(), 2u);
  EXPECT_EQ(control_->set[1].second, "second");
  EXPECT_EQ(control_->set[1].first->value, nullptr);
  EXPECT_EQ(control_->set[1].first->timeToLive, 0);
  auto [record, name] = control_->set[0];
  EXPECT_EQ(name, "campaign");
  EXPECT_EQ(record->origin, "fiam");
  ASSERT_TRUE(record->value);
  EXPECT_EQ(record->value->stringValue(), "spring");
  EXPECT_EQ(record->triggerEventName, "purchase");
  EXPECT_EQ(record->triggerTimeout, 60);
  EXPECT_EQ(record->creationTimestamp, 5);
  ASSERT_TRUE(record->triggeredEvent);
  EXPECT_EQ(record->triggeredEvent->name(), "_cup_t");
  EXPECT_EQ(record->triggeredEvent->timestamp(), clock_->wallTime());
  EXPECT_EQ(record->timeToLive, 3600.5);
}

TEST_F(ConnectorTest, ClearingAndQueryingConditionalUserProperties) {
  connector_->clearConditionalUserProperty("ignored", "fiam", "_cup_c", Dictionary{});
  connector_->clearConditionalUserProperty("ignored", "fiam", "_cup_c", Dictionary{{"p", 1}});
  ASSERT_EQ(control_->cleared.size(), 1u);
  EXPECT_EQ(control_->cleared[0].second, "p");
  ASSERT_TRUE(control_->cleared[0].first);
  EXPECT_EQ(control_->cleared[0].first->name(), "_cup_c");
  EXPECT_EQ(control_->cleared[0].first->origin(), "fiam");

  auto text = std::make_shared<ZIVConditionalUserProperty>();
  text->name = "campaign";
  text->value = ZIVValue::initWithString(std::string("spring"));
  auto number = std::make_shared<ZIVConditionalUserProperty>();
  number->name = "count";
  number->value = ZIVValue::initWithInt64(3);
  control_->stored = {text, number, std::make_shared<ZIVConditionalUserProperty>()};
  EXPECT_EQ(connector_->conditionalUserProperties("fiam", "c"),
            (std::vector<Dictionary>{Dictionary{{"name", "campaign"}, {"value", "spring"}}}));
  EXPECT_EQ(control_->queries[0], std::make_pair(Value("c"), Value("fiam")));
}

TEST_F(ConnectorTest, SimplifiedParameters) {
  Dictionary given{{"n", 1},
                   {"s", "x"},
                   {"d", ZIVValue::initWithDouble(1.5)->asObject()},
                   {"i", ZIVValue::initWithInt64(7)->asObject()},
                   {"t", ZIVValue::initWithString(std::string("y"))->asObject()},
                   {"items", fnd::Array{Dictionary{{"a", 1}}}}};
  EXPECT_EQ(DEVAzodavevuConnector::simplifiedParametersFromEventParameters(given),
            (Dictionary{{"n", 1}, {"s", "x"}, {"d", 1.5}, {"i", Value::Int64(7)}, {"t", "y"}}));
}

}  // namespace
