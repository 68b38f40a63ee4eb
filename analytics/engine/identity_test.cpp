#include "analytics/engine/identity.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/consent_settings_util.h"
#include "analytics/engine/identity_test_support.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/foundation/test_support.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"

namespace {

constexpr const char* kFirstID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kSecondID = "0B1C2D3E-4F50-4172-8394-A5B6C7D8E9F0";

bool IsAppInstanceIDText(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

class IdentityTest : public ::testing::Test {
 protected:
  IdentityTest()
      : preferences_("test.application"),
        config_(
            ZIVPersistedConfig::create("test.identity", clock_, &preferences_, monitor_.get())) {
    bundlePath_ = fnd::JoinPath(home_.path(), "Bundle");
    EXPECT_TRUE(fnd::CreateDirectories(bundlePath_));
    support_->setIdentifier(kFirstID);
  }

  // Writes the bundle's Info.plist and, when given, its options file.
  void WriteBundle(const fnd::Dictionary& info,
                   const std::optional<fnd::Dictionary>& options = std::nullopt) {
    ASSERT_TRUE(fnd::PropertyList::WriteFile(info, fnd::JoinPath(bundlePath_, "Info.plist")));
    if (options) {
      ASSERT_TRUE(fnd::PropertyList::WriteFile(
          *options, fnd::JoinPath(bundlePath_, "RivadoService-Info.plist")));
    }
  }

  std::shared_ptr<ZIVIdentity> Create() {
    bundle_ = std::make_unique<fnd::Bundle>(bundlePath_);
    ZIVIdentityEnvironment environment;
    environment.clock = clock_;
    environment.consent = &consent_;
    environment.identitySupport = support_;
    environment.serverSettings.adIDCacheTime = [this] { return cacheTime_.load(); };
    environment.serverSettings.gateIDFAOnATTMASEnabled = [this] { return gate_.load(); };
    environment.bundle = bundle_.get();
    environment.isFromAppStore = [] { return false; };
    environment.monitor = monitor_.get();
    return ZIVIdentity::create(config_, std::move(environment));
  }

  void SetConsent(const char* type, const char* status) {
    consent_.updateSettings(fnd::Dictionary{{type, status}});
  }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  ZIVTestMonitor monitor_{clock_};
  ZIVLogCapture log_{monitor_.get()};
  ZIVUserDefaults preferences_;
  std::shared_ptr<ZIVPersistedConfig> config_;
  ZIVConsentSettingsUtil consent_;
  std::shared_ptr<FakeIdentitySupport> support_ = std::make_shared<FakeIdentitySupport>();
  std::atomic<double> cacheTime_{1};
  std::atomic<bool> gate_{false};
  std::string bundlePath_;
  std::unique_ptr<fnd::Bundle> bundle_;
};

TEST_F(IdentityTest, AnAppInstanceIDIsMadeAtCreationOnlyWhileAnalyticsStorageIsGranted) {
  auto identity = Create();
  ASSERT_NE(identity, nullptr);
  std::optional<std::string> stored = config_->appInstanceID();
  ASSERT_TRUE(stored.has_value());
  EXPECT_TRUE(IsAppInstanceIDText(*stored)) << *stored;
  EXPECT_EQ(identity->appInstanceID(), stored);

  config_->setAppInstanceID(std::nullopt);
  SetConsent(ZIVAnalyticsStorageConsentType, ZIVConsentDenied);
  auto denied = Create();
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);
  EXPECT_EQ(denied->appInstanceID(), std::nullopt);
  denied->updateIdentifiersAndWait();
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);
}

TEST_F(IdentityTest, NoPersistedConfigurationGivesNoIdentity) {
  ZIVIdentityEnvironment environment;
  environment.monitor = monitor_.get();
  EXPECT_EQ(ZIVIdentity::create(nullptr, environment), nullptr);
  ExpectLogged(log_, 2, 20004,
               "Unable to create measurement identity, missing a valid persisted config instance");
}

TEST_F(IdentityTest, BundleAndOptionsFileFactsAreRead) {
  WriteBundle({{"CFBundleIdentifier", "com.example.app"},
               {"CFBundleShortVersionString", "10.4"},
               {"CFBundleVersion", "10.4.1"},
               {ZIVIDFVCollectionEnabledKey, true}},
              fnd::Dictionary{{"RIVADO_APP_ID", "1:123:ios:abc"}});
  auto identity = Create();
  EXPECT_EQ(identity->appID(), "com.example.app");
  EXPECT_EQ(identity->appVersion(), "10.4");
  EXPECT_EQ(identity->appVersionMajor(), 10);
  EXPECT_EQ(identity->appVersionMinor(), 4);
  EXPECT_EQ(identity->appVersionRelease(), 1);
  EXPECT_EQ(identity->appIDFromZUZ(), "1:123:ios:abc");
  ExpectLogged(log_, 7, 20009, "RIVADO_ANALYTICS_IDFV_COLLECTION_ENABLED = YES");
  EXPECT_TRUE(ZIVIdentity::iOS14OrAbove());
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
  EXPECT_FALSE(identity->isFromAppStore());
  EXPECT_EQ(identity->queue()->label(), "ZIVIdentityWorkerQueue");
  EXPECT_EQ(identity->queue()->qos(), dispatch::Qos::kUtility);
}

TEST_F(IdentityTest, MissingBundleFactsStayUnset) {
  WriteBundle({{"CFBundleVersion", "7"}, {ZIVIDFVCollectionEnabledKey, "YES"}});
  auto identity = Create();
  EXPECT_EQ(identity->appID(), std::nullopt);
  EXPECT_EQ(identity->appVersion(), std::nullopt);
  EXPECT_EQ(identity->appVersionMajor(), 7);
  EXPECT_EQ(identity->appVersionMinor(), std::nullopt);
  EXPECT_EQ(identity->appVersionRelease(), std::nullopt);
  EXPECT_EQ(identity->appIDFromZUZ(), std::nullopt);
  EXPECT_TRUE(log_.withCode(20009).empty());  // Only a number is taken.
}

TEST_F(IdentityTest, VersionTextsGiveTheirNumericFields) {
  struct Case {
    const char* text;
    std::vector<int64_t> fields;
    size_t logLines;
  };
  const std::vector<Case> cases = {
      {"1.2.3", {1, 2, 3}, 0}, {"10.4.1", {10, 4, 1}, 0},
      {"7", {7}, 0},           {"2.0b4", {2, 4}, 1},
      {"1..2.", {1, 2}, 0},    {"", {}, 0},
      {"1.beta", {1, 0}, 1},   {"99999999999999999999", {INT64_MAX}, 0},
  };
  ZIVLogCapture shared(ZIVMeasurement::monitor());
  for (const auto& c : cases) {
    shared.clear();
    EXPECT_EQ(ZIVIdentity::numericFieldsFromAppVersionNumeric(c.text), c.fields) << c.text;
    auto lines = shared.withCode(20002);
    EXPECT_EQ(lines.size(), c.logLines) << c.text;
    for (const auto& line : lines) {
      EXPECT_EQ(line.level, 5);
      EXPECT_EQ(line.message, "app version numeric has non-numeric characters");
    }
  }
  ZIVMeasurement::monitor()->flush();
}

TEST_F(IdentityTest, TheFirstAdvertisingIDOnlyStoresItsHash) {
  auto identity = Create();
  const std::optional<std::string> appInstanceID = config_->appInstanceID();
  EXPECT_EQ(identity->resettableDeviceID(), kFirstID);
  EXPECT_EQ(identity->hashedResettableDeviceID(), ziv_MD5String(kFirstID));
  EXPECT_EQ(config_->appInstanceID(), appInstanceID);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, ANewAdvertisingIDReplacesTheAppInstanceID) {
  cacheTime_ = 0;
  auto identity = Create();
  identity->updateIdentifiersAndWait();
  const std::optional<std::string> appInstanceID = config_->appInstanceID();

  support_->setIdentifier(kSecondID);
  EXPECT_EQ(identity->resettableDeviceID(), kSecondID);
  EXPECT_EQ(identity->hashedResettableDeviceID(), ziv_MD5String(kSecondID));
  ASSERT_TRUE(config_->appInstanceID().has_value());
  EXPECT_NE(config_->appInstanceID(), appInstanceID);
  EXPECT_TRUE(IsAppInstanceIDText(*config_->appInstanceID()));
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  // The same identifier again changes nothing more.
  const std::optional<std::string> replaced = config_->appInstanceID();
  identity->setShouldSetLastAdvertisingIDResetUserProperty(false);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(config_->appInstanceID(), replaced);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, AnAllZeroAdvertisingIDClearsOnlyTheIdentifier) {
  cacheTime_ = 0;
  auto identity = Create();
  identity->updateIdentifiersAndWait();
  const std::optional<std::string> appInstanceID = config_->appInstanceID();

  support_->setIdentifier(ZIVZeroResettableDeviceID);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), ziv_MD5String(kFirstID));
  EXPECT_EQ(config_->appInstanceID(), appInstanceID);

  // An unavailable identifier keeps the one read before.
  identity->updateIdentifiersAndWait();
  support_->setIdentifier(kFirstID);
  EXPECT_EQ(identity->resettableDeviceID(), kFirstID);
  support_->setIdentifier(std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), kFirstID);
}

TEST_F(IdentityTest, DeniedAdStorageHidesTheAdvertisingIdentity) {
  cacheTime_ = 0;
  auto identity = Create();
  identity->updateIdentifiersAndWait();
  SetConsent(ZIVAdStorageConsentType, ZIVConsentDenied);
  const int reads = support_->reads.load();
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_EQ(support_->reads.load(), reads);
  // The stored hash stays for when consent returns.
  EXPECT_EQ(config_->hashedResettableDeviceID(), ziv_MD5String(kFirstID));
}

TEST_F(IdentityTest, TrackingStatusIsReportedAndGatesTheIdentifierRead) {
  struct Case {
    const char* name;
    bool hasLAT;
    bool hasStatus;
    uint64_t status;
    bool gate;
    uint64_t reported;
    bool read;
  };
  const std::vector<Case> cases = {
      {"no ad-tracking support", false, true, 3, true, 6, false},
      {"no status", true, false, 3, true, 5, false},
      {"status out of range", true, true, 7, true, 5, false},
      {"not determined", true, true, 0, true, 4, false},
      {"restricted", true, true, 1, true, 1, false},
      {"denied", true, true, 2, true, 2, false},
      {"authorised", true, true, 3, true, 3, true},
      {"denied, gate off", true, true, 2, false, 2, true},
      {"no support, gate off", false, false, 0, false, 6, true},
  };
  cacheTime_ = 0;
  for (const auto& c : cases) {
    support_->hasLAT = c.hasLAT;
    support_->hasStatus = c.hasStatus;
    support_->status = c.status;
    gate_ = c.gate;
    auto identity = Create();
    const int reads = support_->reads.load();
    EXPECT_EQ(identity->appleConsentStatus(), c.reported) << c.name;
    EXPECT_EQ(support_->reads.load() - reads, c.read ? 1 : 0) << c.name;
    EXPECT_EQ(identity->resettableDeviceID(),
              c.read ? std::optional<std::string>(kFirstID) : std::nullopt)
        << c.name;
    EXPECT_EQ(identity->hasLimitedAdTracking(), c.hasLAT) << c.name;
  }
}

TEST_F(IdentityTest, RefreshesWithinTheCacheTimeAreSkipped) {
  auto identity = Create();
  identity->updateIdentifiersAndWait();
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(support_->reads.load(), 1);
  clock_->advance(1);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(support_->reads.load(), 2);

  // A refresh time in the future (the clock was set back) does not hold refreshes off.
  clock_->setWallTime(clock_->wallTime() - 100);
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(support_->reads.load(), 3);

  cacheTime_ = 0;
  identity->updateIdentifiersAndWait();
  identity->updateIdentifiersAndWait();
  EXPECT_EQ(support_->reads.load(), 5);
}

TEST_F(IdentityTest, ServerSettingsInstalledLaterAreUsed) {
  auto identity = Create();
  identity->setServerSettings({[] { return 0.0; }, [] { return true; }});
  support_->status = 2;
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);  // Gated: not authorised.
  identity->setServerSettings({});                          // Back to the defaults: not gated.
  clock_->advance(1);
  EXPECT_EQ(identity->resettableDeviceID(), kFirstID);
}

TEST_F(IdentityTest, SessionStitchingTokenFollowsTheSessions) {
  auto identity = Create();
  auto token = [&](int64_t number, bool expired, bool userID) {
    return identity->sessionStitchingTokenWithSessionNumber(number, expired, userID);
  };
  const auto first = token(5, true, false);
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(IsAppInstanceIDText(*first));
  EXPECT_EQ(token(5, true, false), first);
  EXPECT_EQ(token(6, false, false), first);  // The session after an expired one.

  const auto second = token(8, false, false);  // A skipped session.
  EXPECT_NE(second, first);
  EXPECT_NE(token(8, true, false), second);  // Same number, other flag.

  const auto third = token(8, true, false);
  clock_->advance(ZIVSessionStitchingTokenExpirationTimeInterval - 1);
  EXPECT_EQ(token(8, true, false), third);
  clock_->advance(1);
  const auto fourth = token(8, true, false);
  EXPECT_NE(fourth, third);

  // With a user ID a new token does not expire.
  identity->resetSessionStitchingToken();
  const auto withUser = token(8, true, true);
  EXPECT_NE(withUser, fourth);
  clock_->advance(10 * ZIVSessionStitchingTokenExpirationTimeInterval);
  EXPECT_EQ(token(8, true, true), withUser);

  // No number wraps around at the top of the range.
  EXPECT_NE(token(INT64_MAX, true, true), withUser);
  EXPECT_NE(token(INT64_MIN, false, true), std::nullopt);

  SetConsent(ZIVAnalyticsStorageConsentType, ZIVConsentDenied);
  EXPECT_EQ(token(8, true, true), std::nullopt);
}

TEST_F(IdentityTest, AppIDFromTheEngineIsTakenOnce) {
  WriteBundle({}, fnd::Dictionary{{"RIVADO_APP_ID", "from-file"}});
  auto identity = Create();
  identity->setAppIDFromZUZ("");
  ExpectLogged(log_, 2, 20005, "Cannot set empty Rivado App ID");
  EXPECT_EQ(identity->appIDFromZUZ(), "from-file");
  identity->setAppIDFromZUZ("first");
  identity->setAppIDFromZUZ("second");
  EXPECT_EQ(identity->appIDFromZUZ(), "first");
}

TEST_F(IdentityTest, DiversionKeyIsFiveCharactersAndKept) {
  auto identity = Create();
  const std::string key = identity->diversionKey();
  EXPECT_EQ(key.size(), ZIVDiversionKeyLength);
  EXPECT_EQ(config_->diversionKey(), key);
  EXPECT_EQ(identity->diversionKey(), key);

  config_->setDiversionKey("toolong");
  const std::string replaced = identity->diversionKey();
  EXPECT_EQ(replaced.size(), ZIVDiversionKeyLength);
  EXPECT_EQ(config_->diversionKey(), replaced);
}

TEST_F(IdentityTest, EphemeralIDLivesUntilReset) {
  auto identity = Create();
  const std::string first = identity->ephemeralAppInstanceID();
  EXPECT_TRUE(IsAppInstanceIDText(first));
  EXPECT_EQ(identity->ephemeralAppInstanceID(), first);
  identity->resetEphemeralAppInstanceID();
  EXPECT_NE(identity->ephemeralAppInstanceID(), first);
}

TEST_F(IdentityTest, WritersReachThePersistedConfiguration) {
  auto identity = Create();
  identity->setAppInstanceID("ABC");
  EXPECT_EQ(identity->appInstanceID(), "ABC");
  EXPECT_EQ(config_->appInstanceID(), "ABC");
  identity->setShouldSetLastAdvertisingIDResetUserProperty(true);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_TRUE(config_->shouldSetLastAdvertisingIDResetUserProperty());
  identity->setZudiroruInstallationID("fid");
  EXPECT_EQ(identity->zudiroruInstallationID(), "fid");
}

TEST(IdentityVersionTest, LibraryVersionDropsTheLastThreeCharacters) {
  EXPECT_EQ(ZIVIdentity::duvUdiredururoLibraryVersion(), 120500);
  struct Case {
    const char* text;
    int64_t version;
  };
  for (const Case& c :
       std::vector<Case>{{"120500000", 120500}, {"1234", 1}, {"123", 0}, {"", 0}, {"abc1000", 0}}) {
    EXPECT_EQ(ZIVLibraryVersionFromVersionString(c.text), c.version) << c.text;
  }
}

}  // namespace
