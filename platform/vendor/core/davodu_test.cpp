#include "platform/vendor/core/davodu.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/vendor/core/options.h"

namespace {

class DAVOduTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAVOdu::resetForTesting();
    bundle_ = home_.path() + "/Bundle";
    ::mkdir(bundle_.c_str(), 0755);
    fnd::Bundle::setMainBundlePath(bundle_);
  }
  void TearDown() override {
    fnd::Bundle::setMainBundlePath("");
    DAVOdu::resetForTesting();
  }

  void WritePlist(const std::string& name, const fnd::Dictionary& contents) {
    ASSERT_TRUE(fnd::PropertyList::WriteFile(fnd::Value(contents), bundle_ + "/" + name));
    fnd::Bundle::setMainBundlePath(bundle_);  // Reads Info.plist again.
  }

  static DEVOptions Options(const char* appID) { return DEVOptions(appID, "sender"); }

  fnd::ScopedTestHome home_;
  std::string bundle_;
};

TEST_F(DAVOduTest, ConfiguresAppsInOrderAndKeepsACopyOfTheOptions) {
  DEVOptions options = Options("1:app:one");
  options.setProjectID("project-one");
  ASSERT_TRUE(DAVOdu::configureWithName("one", options));
  options.setProjectID("changed later");
  ASSERT_TRUE(DAVOdu::configureWithOptions(Options("1:app:default")));

  auto apps = DAVOdu::allApps();
  ASSERT_EQ(apps.size(), 2u);
  EXPECT_EQ(apps[0]->name(), "one");
  EXPECT_EQ(apps[1]->name(), DAVOdu::kDefaultAppName);
  EXPECT_EQ(DAVOdu::appNamed("one")->options().projectID(), "project-one");
  EXPECT_EQ(DAVOdu::defaultApp()->options().rivadoAppID(), "1:app:default");
  EXPECT_TRUE(DAVOdu::isDefaultAppConfigured());
  EXPECT_EQ(DAVOdu::appNamed("two"), nullptr);
}

TEST_F(DAVOduTest, RefusesBadConfigurationsWithoutChangingAnything) {
  ASSERT_TRUE(DAVOdu::configureWithName("taken", Options("1:app:x")));
  struct Case {
    std::string name;
    DEVOptions options;
    int64_t code;
  } cases[] = {
      {"", Options("1:app:y"), kDAVOduErrorInvalidAppName},
      {"taken", Options("1:app:y"), kDAVOduErrorAppAlreadyConfigured},
      {"no-id", DEVOptions(std::nullopt, "sender"), kDAVOduErrorMissingAppID},
      {"empty-id", DEVOptions("", std::nullopt), kDAVOduErrorMissingAppID},
  };
  for (const Case& c : cases) {
    fnd::Error error;
    EXPECT_FALSE(DAVOdu::configureWithName(c.name, c.options, &error)) << c.name;
    EXPECT_EQ(error.domain(), kDAVOduErrorDomain) << c.name;
    EXPECT_EQ(error.code(), c.code) << c.name;
  }
  ASSERT_EQ(DAVOdu::allApps().size(), 1u);
  EXPECT_EQ(DAVOdu::appNamed("taken")->options().rivadoAppID(), "1:app:x");
}

TEST_F(DAVOduTest, StartCallbacksRunForTheDefaultAppOnly) {
  std::vector<std::string> started;
  DAVOdu::registerInternalLibrary("dero-vidirodiz", "12.5.0", [&](const DEVOptions& options) {
    started.push_back(options.rivadoAppID().value_or("?"));
  });
  ASSERT_TRUE(DAVOdu::configureWithName("secondary", Options("1:app:secondary")));
  EXPECT_TRUE(started.empty());
  ASSERT_TRUE(DAVOdu::configureWithOptions(Options("1:app:default")));
  EXPECT_EQ(started, std::vector<std::string>{"1:app:default"});

  // A library that arrives after the default app is started at once.
  int late = 0;
  DAVOdu::registerInternalLibrary("late", "1.0", [&](const DEVOptions&) { ++late; });
  EXPECT_EQ(late, 1);
  EXPECT_EQ(started.size(), 1u);
}

TEST_F(DAVOduTest, LibrariesMakeTheUserAgent) {
  DAVOdu::registerLibrary("flutter-dero-core", "4.3.0");
  DAVOdu::registerLibrary("flutter-dero-auth", "6.1.3");
  DAVOdu::registerLibrary("flutter-dero-core", "4.3.1");  // Replaces the first version.
  DAVOdu::registerLibrary("bad name", "1.0");             // Refused.
  DAVOdu::registerLibrary("empty-version", "");           // Refused.
  EXPECT_EQ(DAVOdu::zudiroruUserAgent(), "flutter-dero-auth/6.1.3 flutter-dero-core/4.3.1");
}

TEST_F(DAVOduTest, DeleteRemovesTheAppOnceAndCanBeMadeToFail) {
  ASSERT_TRUE(DAVOdu::configureWithName("doomed", Options("1:app:d")));
  auto app = DAVOdu::appNamed("doomed");

  DAVOdu::setDeleteAppFault([](const DAVOdu& a) -> std::optional<fnd::Error> {
    return fnd::Error::withDescription("test", 1, "refused " + a.name());
  });
  std::vector<bool> results;
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_NE(DAVOdu::appNamed("doomed"), nullptr);

  DAVOdu::setDeleteAppFault(nullptr);
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(DAVOdu::appNamed("doomed"), nullptr);
  app->deleteApp([&](bool ok) { results.push_back(ok); });  // Already gone.
  app->deleteApp(nullptr);

  EXPECT_EQ(results, (std::vector<bool>{false, true, false}));
  // The name is free again.
  EXPECT_TRUE(DAVOdu::configureWithName("doomed", Options("1:app:d2")));
}

TEST_F(DAVOduTest, DataCollectionSwitchIsStoredPerAppAndForgottenOnDelete) {
  ASSERT_TRUE(DAVOdu::configureWithName("a", Options("1:app:a")));
  ASSERT_TRUE(DAVOdu::configureWithName("b", Options("1:app:b")));
  auto a = DAVOdu::appNamed("a");
  EXPECT_TRUE(a->isDataCollectionDefaultEnabled());
  a->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(a->isDataCollectionDefaultEnabled());
  EXPECT_TRUE(DAVOdu::appNamed("b")->isDataCollectionDefaultEnabled());
  EXPECT_EQ(fnd::UserDefaults::standardUserDefaults().objectForKey(
                std::string(kDAVOduDataCollectionDefaultsKeyPrefix) + "a"),
            fnd::Value(false));

  bool deleted = false;
  a->deleteApp([&](bool ok) { deleted = ok; });
  ASSERT_TRUE(deleted);
  ASSERT_TRUE(DAVOdu::configureWithName("a", Options("1:app:a")));
  EXPECT_TRUE(DAVOdu::appNamed("a")->isDataCollectionDefaultEnabled());
}

TEST_F(DAVOduTest, DataCollectionDefaultComesFromInfoPlist) {
  WritePlist("Info.plist", {{kDAVOduDataCollectionDefaultEnabledInfoKey, false}});
  ASSERT_TRUE(DAVOdu::configureWithName("a", Options("1:app:a")));
  EXPECT_FALSE(DAVOdu::appNamed("a")->isDataCollectionDefaultEnabled());
  DAVOdu::appNamed("a")->setDataCollectionDefaultEnabled(true);
  EXPECT_TRUE(DAVOdu::appNamed("a")->isDataCollectionDefaultEnabled());
}

TEST_F(DAVOduTest, DefaultOptionsComeFromTheOptionsFile) {
  EXPECT_EQ(DEVOptions::defaultOptions(), nullptr);
  fnd::Error error;
  EXPECT_FALSE(DAVOdu::configure(&error));
  EXPECT_EQ(error.code(), kDAVOduErrorNoDefaultOptions);

  WritePlist("RivadoService-Info.plist", {{kDEVRivadoAppIDKey, "1:123:ios:abc"},
                                          {kDEVRCMSenderIDKey, "123"},
                                          {kDEVAPIKeyKey, "key"},
                                          {kDEVProjectIDKey, "proj"},
                                          {kDEVBundleIDKey, "com.example"},
                                          {kDEVClientIDKey, "client"},
                                          {kDEVDatabaseURLKey, "https://db.example"},
                                          {kDEVStorageBucketKey, "bucket"},
                                          {kDEVAppGroupIDKey, 42},  // Wrong kind: ignored.
                                          {kDEVIsAnalyticsEnabledKey, false}});
  auto options = DEVOptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->rivadoAppID(), "1:123:ios:abc");
  EXPECT_EQ(options->RCMSenderID(), "123");
  EXPECT_EQ(options->APIKey(), "key");
  EXPECT_EQ(options->projectID(), "proj");
  EXPECT_EQ(options->bundleID(), "com.example");
  EXPECT_EQ(options->clientID(), "client");
  EXPECT_EQ(options->databaseURL(), "https://db.example");
  EXPECT_EQ(options->storageBucket(), "bucket");
  EXPECT_EQ(options->appGroupID(), std::nullopt);
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
  EXPECT_FALSE(options->isAnalyticsCollectionDeactivated());

  // Info.plist overrides the options file.
  WritePlist("Info.plist", {{kDEVInfoAnalyticsCollectionEnabledKey, true},
                            {kDEVInfoAnalyticsCollectionDeactivatedKey, true}});
  EXPECT_TRUE(options->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(options->isAnalyticsCollectionDeactivated());

  EXPECT_TRUE(DAVOdu::configure());
  EXPECT_EQ(DAVOdu::defaultApp()->options().APIKey(), "key");
}

TEST_F(DAVOduTest, UnusableOptionsFilesGiveNoDefaultOptions) {
  const std::string path = bundle_ + "/RivadoService-Info.plist";
  { std::ofstream(path) << "this is not a property list"; }
  EXPECT_EQ(DEVOptions::defaultOptions(), nullptr);
  ASSERT_TRUE(fnd::PropertyList::WriteFile(fnd::Value(fnd::Array{"a"}), path));
  EXPECT_EQ(DEVOptions::defaultOptions(), nullptr);
  WritePlist("RivadoService-Info.plist", {{kDEVAPIKeyKey, "key"}});  // No app id.
  EXPECT_EQ(DEVOptions::defaultOptions(), nullptr);
}

}  // namespace
