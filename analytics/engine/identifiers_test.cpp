#include "analytics/engine/identifiers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/identity.h"
#include "analytics/engine/identity_test_support.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"

namespace {

class IdentifiersTest : public ::testing::Test {
 protected:
  IdentifiersTest() : preferences_("test.application") {
    bundlePath_ = fnd::JoinPath(home_.path(), "Bundle");
    EXPECT_TRUE(fnd::CreateDirectories(bundlePath_));
  }

  // An identity whose options file holds `appID` (none when empty) and which keeps its settings
  // in its own suite.
  std::shared_ptr<ZIVIdentity> MakeIdentity(const std::string& appID, const std::string& suite) {
    const std::string options = fnd::JoinPath(bundlePath_, "RivadoService-Info.plist");
    if (appID.empty()) {
      (void)fnd::RemoveItem(options);  // There may be none yet.
    } else {
      EXPECT_TRUE(fnd::PropertyList::WriteFile(fnd::Dictionary{{"RIVADO_APP_ID", appID}}, options));
    }
    bundles_.push_back(std::make_unique<fnd::Bundle>(bundlePath_));
    ZIVIdentityEnvironment environment;
    environment.clock = clock_;
    environment.consent = &consent_;
    environment.identitySupport = std::make_shared<FakeIdentitySupport>();
    environment.bundle = bundles_.back().get();
    environment.monitor = monitor_.get();
    return ZIVIdentity::create(
        ZIVPersistedConfig::create(suite, clock_, &preferences_, monitor_.get()),
        std::move(environment));
  }

  ZIVIdentifiers::Environment Environment(std::shared_ptr<ZIVIdentity> engine,
                                          std::shared_ptr<ZIVIdentity> shared) {
    ZIVIdentifiers::Environment environment;
    if (engine) environment.engineIdentity = [engine] { return engine; };
    environment.sharedIdentity = [shared] { return shared; };
    environment.monitor = monitor_.get();
    environment.adEventIDStart = 41;
    return environment;
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  ZIVTestMonitor monitor_{clock_};
  ZIVLogCapture log_{monitor_.get()};
  ZIVUserDefaults preferences_;
  ZIVConsentSettingsUtil consent_;
  std::string bundlePath_;
  std::vector<std::unique_ptr<fnd::Bundle>> bundles_;
};

TEST_F(IdentifiersTest, AppIDsComeFromTheEnginesIdentityFirst) {
  auto engine = MakeIdentity("engine-app", "test.engine");
  auto shared = MakeIdentity("shared-app", "test.shared");
  auto noAppID = MakeIdentity("", "test.none");

  ZIVIdentifiers withEngine(Environment(engine, shared));
  EXPECT_EQ(withEngine.rivadoAppID(), "engine-app");
  EXPECT_EQ(withEngine.analyticsAppID(), "engine-app");

  ZIVIdentifiers withoutEngine(Environment(nullptr, shared));
  EXPECT_EQ(withoutEngine.rivadoAppID(), "shared-app");
  EXPECT_EQ(withoutEngine.analyticsAppID(), "shared-app");
  EXPECT_TRUE(log_.entries().empty());

  // The engine's identity without an app ID does not fall back to the shared one.
  ZIVIdentifiers engineWithout(Environment(noAppID, shared));
  EXPECT_EQ(engineWithout.rivadoAppID(), "");
  ExpectLogged(log_, 2, 37000, "Unable to fetch Rivado App ID from identity");
  EXPECT_EQ(engineWithout.analyticsAppID(), "");
  ExpectLogged(log_, 2, 37005, "Unable to fetch effective App ID from identity");

  log_.clear();
  for (auto identity : {noAppID, std::shared_ptr<ZIVIdentity>()}) {
    ZIVIdentifiers sharedWithout(Environment(nullptr, identity));
    EXPECT_EQ(sharedWithout.rivadoAppID(), "");
    EXPECT_EQ(sharedWithout.analyticsAppID(), "");
  }
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{37001, 37005, 37001, 37005}));
  EXPECT_EQ(log_.withCode(37001)[0].message, "Unable to fetch Rivado App ID from default options");

  // The engine installs its identity later.
  withoutEngine.setEngineIdentityProvider([engine] { return engine; });
  EXPECT_EQ(withoutEngine.rivadoAppID(), "engine-app");
}

TEST_F(IdentifiersTest, AppInstanceIDFollowsTheSameOrder) {
  auto engine = MakeIdentity("a", "test.engine");
  auto shared = MakeIdentity("b", "test.shared");
  EXPECT_EQ(ZIVIdentifiers(Environment(engine, shared)).appInstanceID(), engine->appInstanceID());
  EXPECT_EQ(ZIVIdentifiers(Environment(nullptr, shared)).appInstanceID(), shared->appInstanceID());
  EXPECT_NE(engine->appInstanceID(), shared->appInstanceID());

  consent_.updateSettings(fnd::Dictionary{{ZIVAnalyticsStorageConsentType, ZIVConsentDenied}});
  EXPECT_EQ(ZIVIdentifiers(Environment(engine, shared)).appInstanceID(), "");
  ExpectLogged(log_, 2, 37002, "Unable to fetch App Instance ID from identity");
  EXPECT_EQ(ZIVIdentifiers(Environment(nullptr, shared)).appInstanceID(), "");
  ExpectLogged(log_, 2, 37003, "Unable to fetch App Instance ID from identity shared instance");
}

TEST_F(IdentifiersTest, AdEventIDsAreConsecutiveAndUniqueAcrossThreads) {
  ZIVIdentifiers identifiers(Environment(nullptr, nullptr));
  EXPECT_EQ(identifiers.adEventID(), "41");
  EXPECT_EQ(identifiers.adEventID(), "42");

  std::vector<std::vector<std::string>> drawn(4);
  std::vector<std::thread> threads;
  for (auto& out : drawn) {
    threads.emplace_back([&identifiers, &out] {
      for (int i = 0; i < 1000; ++i) out.push_back(identifiers.adEventID());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> unique;
  for (const auto& out : drawn) unique.insert(out.begin(), out.end());
  EXPECT_EQ(unique.size(), 4000u);
  EXPECT_EQ(identifiers.adEventID(), "4043");

  auto environment = Environment(nullptr, nullptr);
  environment.adEventIDStart = INT64_MAX;
  ZIVIdentifiers top(environment);
  EXPECT_EQ(top.adEventID(), "9223372036854775807");
  EXPECT_EQ(top.adEventID(), "-9223372036854775808");
}

TEST_F(IdentifiersTest, OriginAndLibraryVersion) {
  ZIVIdentifiers identifiers(Environment(nullptr, nullptr));
  EXPECT_EQ(identifiers.libraryVersion(), "120500");
  EXPECT_EQ(identifiers.origin(), "");
  identifiers.setOrigin("fa");
  identifiers.setOrigin("");
  EXPECT_EQ(identifiers.origin(), "fa");
  ExpectLogged(log_, 2, 37004, "Cannot set the data collection origin. Origin cannot be empty");
}

}  // namespace
