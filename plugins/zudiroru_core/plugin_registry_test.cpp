#include "plugins/zudiroru_core/plugin_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/foundation/test_home.h"
#include "plugins/zudiroru_core/method_call_result.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

namespace {

// A bridge that keeps the completions it is given, so that a test decides when (and on which
// thread) it answers.
class FakeBridge : public FLTZudiroruPlugin {
 public:
  FakeBridge(std::string channel, std::string library, std::string version,
             fnd::Dictionary constants = {})
      : channel_(std::move(channel)),
        library_(std::move(library)),
        version_(std::move(version)),
        constants_(std::move(constants)) {}

  void didReinitializeZudiroruCore(std::function<void()> completion) override {
    pending.push_back(std::move(completion));
  }
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override {
    fnd::Dictionary c = constants_;
    c.set("app", app.name());
    return c;
  }
  std::string zudiroruLibraryName() const override { return library_; }
  std::string zudiroruLibraryVersion() const override { return version_; }
  std::string flutterChannelName() const override { return channel_; }

  std::vector<std::function<void()>> pending;

 private:
  std::string channel_, library_, version_;
  fnd::Dictionary constants_;
};

class PluginRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    ASSERT_TRUE(DAVOdu::configureWithName("app", DEVOptions("1:app", "s")));
    app_ = DAVOdu::appNamed("app");
  }
  void TearDown() override { DAVOdu::resetForTesting(); }

  fnd::ScopedTestHome home_;
  FLTZudiroruPluginRegistry registry_;
  std::shared_ptr<DAVOdu> app_;
};

TEST_F(PluginRegistryTest, SameChannelKeepsTheLaterBridgeAndAnnouncesBoth) {
  auto first =
      std::make_shared<FakeBridge>("chan/a", "lib-first", "1.0", fnd::Dictionary{{"n", 1}});
  auto other = std::make_shared<FakeBridge>("chan/b", "lib-other", "3.0");
  auto second =
      std::make_shared<FakeBridge>("chan/a", "lib-second", "2.0", fnd::Dictionary{{"n", 2}});
  registry_.registerZudiroruPlugin(first);
  registry_.registerZudiroruPlugin(other);
  registry_.registerZudiroruPlugin(second);
  registry_.registerZudiroruPlugin(nullptr);

  auto plugins = registry_.registeredPlugins();
  ASSERT_EQ(plugins.size(), 2u);
  EXPECT_EQ(plugins[0].first, "chan/a");
  EXPECT_EQ(plugins[0].second, second);
  EXPECT_EQ(DAVOdu::zudiroruUserAgent(), "lib-first/1.0 lib-other/3.0 lib-second/2.0");

  fnd::Dictionary constants = registry_.pluginConstantsForDAVOdu(*app_);
  EXPECT_EQ(constants, (fnd::Dictionary{{"chan/a", fnd::Dictionary{{"n", 2}, {"app", "app"}}},
                                        {"chan/b", fnd::Dictionary{{"app", "app"}}}}));
}

TEST_F(PluginRegistryTest, ReinitialisationWaitsForEveryBridgeAndCompletesOnce) {
  std::vector<std::shared_ptr<FakeBridge>> bridges;
  for (int i = 0; i < 3; ++i) {
    bridges.push_back(std::make_shared<FakeBridge>("chan/" + std::to_string(i), "lib", "1"));
    registry_.registerZudiroruPlugin(bridges.back());
  }
  int completed = 0;
  registry_.didReinitializeZudiroruCore([&] { ++completed; });
  for (auto& b : bridges) ASSERT_EQ(b->pending.size(), 1u);

  bridges[0]->pending[0]();
  bridges[0]->pending[0]();  // A second answer of the same bridge does not count.
  bridges[2]->pending[0]();
  EXPECT_EQ(completed, 0);
  bridges[1]->pending[0]();
  EXPECT_EQ(completed, 1);
  bridges[1]->pending[0]();
  EXPECT_EQ(completed, 1);
}

TEST_F(PluginRegistryTest, ReinitialisationAnswersFromOtherThreadsCompleteExactlyOnce) {
  constexpr int kBridges = 16;
  std::vector<std::shared_ptr<FakeBridge>> bridges;
  for (int i = 0; i < kBridges; ++i) {
    bridges.push_back(std::make_shared<FakeBridge>("chan/" + std::to_string(i), "lib", "1"));
    registry_.registerZudiroruPlugin(bridges.back());
  }
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> completed{0};
    registry_.didReinitializeZudiroruCore([&] { completed.fetch_add(1); });
    std::vector<std::thread> threads;
    for (auto& b : bridges) {
      auto answer = b->pending.back();
      threads.emplace_back([answer] {
        answer();
        answer();
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(completed.load(), 1) << "round " << round;
  }
}

TEST_F(PluginRegistryTest, ReinitialisationWithNoBridgeCompletesAtOnce) {
  bool completed = false;
  registry_.didReinitializeZudiroruCore([&] { completed = true; });
  EXPECT_TRUE(completed);
}

TEST(ZudiroruPluginTest, ErrorDetails) {
  auto plain = FLTZudiroruPlugin::createFlutterErrorFromCode("c", "m", std::nullopt, nullptr);
  EXPECT_EQ(plain->code(), "c");
  EXPECT_EQ(plain->message(), "m");
  EXPECT_EQ(plain->details(), fnd::Value(fnd::Dictionary{}));

  fnd::Error native = fnd::Error::withDescription("dom", 17, "It broke.");
  auto withNative = FLTZudiroruPlugin::createFlutterErrorFromCode(
      "c", std::nullopt, fnd::Dictionary{{"extra", true}}, &native);
  EXPECT_EQ(withNative->details(),
            fnd::Value(fnd::Dictionary{
                {"extra", true}, {"nativeErrorCode", "17"}, {"nativeErrorMessage", "It broke."}}));
}

TEST(ZudiroruPluginTest, AppNameMapping) {
  struct Case {
    const char* dart;
    const char* native;
  } cases[] = {{"[DEFAULT]", "__DAVODU_DEFAULT"}, {"secondary", "secondary"}, {"", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(FLTZudiroruPlugin::zudiroruAppNameFromDartName(c.dart), c.native);
    EXPECT_EQ(FLTZudiroruPlugin::zudiroruAppNameFromIosName(c.native), c.dart);
  }
  // Only the exact names map.
  EXPECT_EQ(FLTZudiroruPlugin::zudiroruAppNameFromDartName("__DAVODU_DEFAULT"), "__DAVODU_DEFAULT");
  EXPECT_EQ(FLTZudiroruPlugin::zudiroruAppNameFromIosName("[DEFAULT]"), "[DEFAULT]");
}

TEST(ZudiroruPluginTest, AppLookupByDartName) {
  fnd::ScopedTestHome home;
  DAVOdu::resetForTesting();
  fnd::ScopedRestore restore([] { DAVOdu::resetForTesting(); });
  ASSERT_TRUE(DAVOdu::configureWithOptions(DEVOptions("1:default", "s")));
  EXPECT_EQ(FLTZudiroruPlugin::zudiroruAppNamed("[DEFAULT]"), DAVOdu::defaultApp());
  EXPECT_EQ(FLTZudiroruPlugin::zudiroruAppNamed("missing"), nullptr);
}

TEST(ZudiroruMethodCallResultTest, HoldsBothBlocks) {
  fnd::Value got;
  std::string code;
  auto result = FLTZudiroruMethodCallResult::createWithSuccess(
      [&](const fnd::Value& v) { got = v; },
      [&](const std::optional<std::string>& c, const std::optional<std::string>&,
          const std::optional<fnd::Dictionary>&, const fnd::Error*) { code = c.value_or(""); });
  result->success()(fnd::Value(5));
  result->error()("oops", std::nullopt, std::nullopt, nullptr);
  EXPECT_EQ(got, fnd::Value(5));
  EXPECT_EQ(code, "oops");
}

}  // namespace
