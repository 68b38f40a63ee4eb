#include "platform/vendor/remote_config/remote_config.h"

#include <gtest/gtest.h>

#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/test_home.h"

namespace {

std::string Text(const fnd::Data& data) { return std::string(data.begin(), data.end()); }

class RemoteConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { dispatch::RunLoop::main().runUntilIdle(); }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  std::shared_ptr<DEVRemoteConfig> config_ =
      DEVRemoteConfig::create("app", dispatch::Queue::main(), clock_);
};

TEST_F(RemoteConfigTest, ValuesAreKeptAsText) {
  struct Case {
    fnd::Value value;
    std::string text;
  } cases[] = {
      {"plain", "plain"},
      {true, "1"},
      {42, "42"},
      {1.5, "1.5"},
      {fnd::Data{'a', 0, 'b'}, std::string("a\0b", 3)},
      {fnd::Array{1, "x\"", fnd::Value()}, "[1,\"x\\\"\",null]"},
      {fnd::Dictionary{{"k", false}}, "{\"k\":false}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(DEVRemoteConfigDataFromValue(c.value)), c.text) << c.value.description();
  }
}

TEST_F(RemoteConfigTest, FetchCachesActivateAndSources) {
  config_->setDefaults(fnd::Dictionary{{"a", "default-a"}, {"b", 2}, {3, "skipped"}});
  config_->setServerTemplate(fnd::Dictionary{{"a", "remote-a"}, {"c", "remote-c"}});
  EXPECT_EQ(config_->lastFetchStatus(), DEVRemoteConfigFetchStatusNoFetchYet);

  std::vector<int64_t> statuses;
  config_->fetchWithCompletionHandler(
      [&](DEVRemoteConfigFetchStatus s, std::optional<fnd::Error> e) {
        EXPECT_FALSE(e);
        statuses.push_back(s);
      });
  EXPECT_TRUE(statuses.empty());  // Completions never run on the calling thread.
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(statuses, (std::vector<int64_t>{DEVRemoteConfigFetchStatusSuccess}));
  EXPECT_EQ(config_->lastFetchTime(), clock_->wallTime());
  EXPECT_EQ(config_->configValueForKey("a").source(), DEVRemoteConfigSourceDefault);

  std::optional<bool> changed;
  config_->activateWithCompletion([&](bool c, std::optional<fnd::Error>) { changed = c; });
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(changed, true);
  EXPECT_EQ(Text(config_->configValueForKey("a").dataValue()), "remote-a");
  EXPECT_EQ(config_->configValueForKey("a").source(), DEVRemoteConfigSourceRemote);
  EXPECT_EQ(Text(config_->configValueForKey("b").dataValue()), "2");
  EXPECT_EQ(config_->configValueForKey("zz").source(), DEVRemoteConfigSourceStatic);
  EXPECT_EQ(config_->allKeysFromSource(DEVRemoteConfigSourceRemote),
            (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(config_->allKeysFromSource(DEVRemoteConfigSourceDefault),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(config_->allKeysFromSource(DEVRemoteConfigSourceStatic).empty());

  // Within the minimum interval the cache answers; after it the server does.
  std::vector<int64_t> fetchAndActivate;
  auto record = [&](DEVRemoteConfigFetchAndActivateStatus s, std::optional<fnd::Error>) {
    fetchAndActivate.push_back(s);
  };
  config_->fetchAndActivateWithCompletionHandler(record);
  clock_->advance(43200);
  config_->fetchAndActivateWithCompletionHandler(record);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(fetchAndActivate,
            (std::vector<int64_t>{DEVRemoteConfigFetchAndActivateStatusSuccessUsingPreFetchedData,
                                  DEVRemoteConfigFetchAndActivateStatusSuccessFetchedFromRemote}));
}

TEST_F(RemoteConfigTest, FetchFaults) {
  DEVRemoteConfigSettings settings;
  settings.setMinimumFetchInterval(0);
  settings.setFetchTimeout(5);
  config_->setConfigSettings(settings);
  struct Case {
    std::function<void()> fault;
    DEVRemoteConfigFetchStatus status;
    int64_t code;
  } cases[] = {
      {[&] { config_->throttleNextFetch(); }, DEVRemoteConfigFetchStatusThrottled,
       kDEVRemoteConfigErrorThrottled},
      {[&] { config_->failNextFetch(fnd::Error("test", 7)); }, DEVRemoteConfigFetchStatusFailure,
       7},
      {[&] { config_->setServerLatency(6); }, DEVRemoteConfigFetchStatusFailure,
       kDEVRemoteConfigErrorInternalError},
  };
  for (const Case& c : cases) {
    c.fault();
    std::optional<fnd::Error> error;
    config_->fetchWithCompletionHandler(
        [&](DEVRemoteConfigFetchStatus, std::optional<fnd::Error> e) { error = e; });
    dispatch::RunLoop::main().runUntilIdle();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(config_->lastFetchStatus(), c.status);
    EXPECT_EQ(config_->lastFetchTime(), std::nullopt);
  }
}

TEST_F(RemoteConfigTest, CustomSignalsAreCheckedAsAWhole) {
  std::optional<fnd::Error> error = fnd::Error();
  auto done = [&](std::optional<fnd::Error> e) { error = e; };
  config_->setCustomSignals(
      {{"s", CustomSignalValue::string("x")}, {"i", CustomSignalValue::integer(3)}}, done);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(error);
  config_->setCustomSignals({{"i", std::nullopt}, {std::string(251, 'k'), std::nullopt}}, done);
  dispatch::RunLoop::main().runUntilIdle();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kDEVRemoteConfigErrorInvalidCustomSignals);
  EXPECT_EQ(config_->customSignals().size(), 2u);  // Nothing of the refused call applied.
  config_->setCustomSignals({{"i", std::nullopt}}, done);
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(config_->customSignals(),
            (std::map<std::string, CustomSignalValue>{{"s", CustomSignalValue::string("x")}}));
}

TEST_F(RemoteConfigTest, ListenersHearChangedKeysUntilRemoved) {
  config_->setServerTemplate(fnd::Dictionary{{"a", "1"}, {"b", "2"}});
  std::vector<std::set<std::string>> updates;
  auto registration = config_->addOnConfigUpdateListener(
      [&](std::shared_ptr<DEVRemoteConfigUpdate> update, std::optional<fnd::Error>) {
        if (update) updates.push_back(update->updatedKeys());
      });
  ASSERT_NE(registration, nullptr);
  config_->publishRealtimeUpdate();
  dispatch::RunLoop::main().runUntilIdle();
  config_->activateWithCompletion(nullptr);
  config_->setServerTemplate(fnd::Dictionary{{"a", "1"}, {"b", "3"}});
  config_->publishRealtimeUpdate();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(updates, (std::vector<std::set<std::string>>{{"a", "b"}, {"b"}}));

  registration->remove();
  registration->remove();
  EXPECT_EQ(config_->listenerCount(), 0u);
  config_->refuseListeners(true);
  EXPECT_EQ(config_->addOnConfigUpdateListener([](auto, auto) {}), nullptr);
}

}  // namespace
