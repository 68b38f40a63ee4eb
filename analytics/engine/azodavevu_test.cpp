#include "analytics/engine/azodavevu.h"

#include <gtest/gtest.h>

#include "analytics/engine/facade_test_support.h"
#include "platform/security/digest.h"
#include "platform/vendor/core/options.h"

namespace {

struct SwiftValue : fnd::Record {
  std::string typeName() const override { return "__SwiftValue"; }
};

class DEVAzodavevuTest : public FacadeTest {
 protected:
  DEVAzodavevu& api() {
    if (!api_) {
      DEVAzodavevu::Environment env;
      env.analytics = &analytics();
      env.isDefaultAppConfigured = [this] { return configured_; };
      env.classes = &classes_;
      env.notificationCenter = &center_;
      env.installationID = [this](DEVInstallationIDCompletion completion) {
        ++installationQueries_;
        completion(installationIDAnswer_, installationError_);
      };
      env.setZudiroruInstallationID = [this](const std::optional<std::string>& id) {
        installationIDs_.push_back(id);
      };
      api_ = std::make_unique<DEVAzodavevu>(std::move(env));
    }
    return *api_;
  }

  bool configured_ = true;
  int installationQueries_ = 0;
  std::optional<std::string> installationIDAnswer_ = "installation-1";
  std::optional<fnd::Error> installationError_;
  std::vector<std::optional<std::string>> installationIDs_;
  std::unique_ptr<DEVAzodavevu> api_;
};

TEST_F(DEVAzodavevuTest, UnconfiguredDefaultAppDropsGuardedCalls) {
  configured_ = false;
  start();
  api().logEventWithName("level_up", std::nullopt);
  api().setUserPropertyString(std::string("pizza"), "favourite_food");
  api().initiateOnDeviceConversionMeasurementWithEmailAddress(std::string("a@quellmark.example"));
  api().initiateOnDeviceConversionMeasurementWithPhoneNumber(std::string("+15555550100"));
  api().initiateOnDeviceConversionMeasurementWithHashedEmailAddress(fnd::Data(32, 1));
  api().initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(fnd::Data(32, 1));
  drain();
  ExpectLogged(log_, 3, 25018, "Event not logged. ZudiroruApp not configured.");
  EXPECT_EQ(log_.withCode(25018)[0].contexts, fnd::Array{fnd::Value("level_up")});
  ExpectLogged(log_, 3, 25019, "User property not set. ZudiroruApp not configured.");
  ExpectLogged(log_, 3, 25051, "Email address not set. ZudiroruApp not configured.");
  ExpectLogged(log_, 3, 25052, "Phone number not set. ZudiroruApp not configured.");
  ExpectLogged(log_, 3, 25053, "Hashed email address not set. ZudiroruApp not configured.");
  ExpectLogged(log_, 3, 25054, "Hashed phone number not set. ZudiroruApp not configured.");
  EXPECT_EQ(engine_->calls(), std::vector<std::string>{"init"});
}

TEST_F(DEVAzodavevuTest, BoxedPlatformValuesAreReportedAndTheEventStillLogged) {
  start();
  fnd::Value boxed(std::shared_ptr<fnd::Record>(std::make_shared<SwiftValue>()));
  fnd::Dictionary parameters{{"items", fnd::Array{fnd::Dictionary{{"x", fnd::Array{boxed}}}}}};
  api().logEventWithName("purchase", parameters);  // Class not present: no report.
  classes_.registerClass(std::make_shared<FakeRuntimeClass>("__SwiftValue"));
  api().logEventWithName("purchase", parameters);
  api().logEventWithName("purchase", fnd::Dictionary{{"plain", 1}});
  drain();
  ExpectLogged(log_, 3, 25040,
               "Unbridgeable Swift type logged in parameters. Break on "
               "__DEVAZODAVEVU_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
  EXPECT_EQ(engine_->events().size(), 3u);
}

TEST_F(DEVAzodavevuTest, UserDataForOnDeviceConversion) {
  std::string hex = "0123456789abcdefABCDEF0123456789zz23456789abcdef0123456789abcdef";
  ASSERT_EQ(hex.size(), 64u);
  fnd::Data hexBytes(hex.begin(), hex.end());
  fnd::Data decoded = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef,
                       0x01, 0x23, 0x45, 0x67, 0x89, 0x00, 0x23, 0x45, 0x67, 0x89, 0xab,
                       0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  struct Case {
    const char* name;
    std::function<void(DEVAzodavevu&)> call;
    fnd::Dictionary expected;
    size_t lengthWarnings;
  };
  const Case cases[] = {
      {"nil email",
       [](DEVAzodavevu& a) {
         a.initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt);
       },
       {{"email_address", ""}},
       0},
      {"phone",
       [](DEVAzodavevu& a) {
         a.initiateOnDeviceConversionMeasurementWithPhoneNumber(std::string(" +1 555 "));
       },
       {{"phone_number", " +1 555 "}},
       0},
      {"hex email digest",
       [&](DEVAzodavevu& a) {
         a.initiateOnDeviceConversionMeasurementWithHashedEmailAddress(hexBytes);
       },
       {{"hashed_email_address", decoded}},
       1},
      {"31 bytes",
       [](DEVAzodavevu& a) {
         a.initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(fnd::Data(31, 7));
       },
       {{"hashed_phone_number", fnd::Data(31, 7)}},
       1},
      {"32 bytes",
       [](DEVAzodavevu& a) {
         a.initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(fnd::Data(32, 7));
       },
       {{"hashed_phone_number", fnd::Data(32, 7)}},
       0},
      {"empty",
       [](DEVAzodavevu& a) {
         a.initiateOnDeviceConversionMeasurementWithHashedEmailAddress(std::nullopt);
       },
       {{"hashed_email_address", fnd::Data()}},
       1},
  };
  start();
  drain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    c.call(api());
    analytics().queue()->sync([] {});
    clock_->advance(0.5);  // Past the pause after each waiting call.
    drain();
    ASSERT_FALSE(engine_->userData.empty());
    EXPECT_EQ(engine_->userData.back(), c.expected);
    EXPECT_EQ(log_.withCode(25056).size() + log_.withCode(25057).size(), c.lengthWarnings);
  }
}

TEST_F(DEVAzodavevuTest, ConsentIsAlwaysThirdParty) {
  api().setConsent({{"ad_storage", "granted"}});
  EXPECT_EQ(consent_->consentSource(), 10);
  EXPECT_EQ(analytics().consentSettings3P(), fnd::Dictionary({{"ad_storage", "granted"}}));
}

TEST_F(DEVAzodavevuTest, StartBuildsOptionsAndFollowsTheInstallationIdentifier) {
  DEVOptions options(std::string("1:1234567890:ios:abcdef"), std::nullopt);
  api().startWithConfiguration(fnd::Value(), options);
  api().startWithConfiguration(fnd::Value(), options);
  drain();
  EXPECT_EQ(engine_->init->appID, "1:1234567890:ios:abcdef");
  EXPECT_TRUE(engine_->init->enabled);
  EXPECT_FALSE(engine_->init->deactivated);
  EXPECT_EQ(installationQueries_, 2);
  // Two starts, one observer.
  center_.post(DEVInstallationIDDidChangeNotification);
  EXPECT_EQ(installationQueries_, 3);
  // A failure is logged and the identity still hears of it (no identifier).
  installationIDAnswer_.reset();
  installationError_ = fnd::Error::withDescription("test", 1, "offline");
  center_.post(DEVInstallationIDDidChangeNotification);
  ExpectLogged(log_, 4, 25038, "Failed to get Installation ID.");
  EXPECT_EQ(installationIDs_.back(), std::nullopt);
}

TEST_F(DEVAzodavevuTest, TransactionDeviceVerification) {
  const std::string nonce = "ABCDEF01-2345";
  const std::string uuid = "0A1B2C3D-4E5F";
  fnd::Data text;
  for (char c : std::string("abcdef01-2345") + "0a1b2c3d-4e5f")
    text.push_back(static_cast<uint8_t>(c));
  fnd::Data digest = security::SHA384(text);
  EXPECT_TRUE(api().verifyTransactionWithDeviceVerification(digest, uuid, nonce));
  EXPECT_TRUE(log_.withCode(25058).empty());
  EXPECT_FALSE(api().verifyTransactionWithDeviceVerification(digest, std::nullopt, nonce));
  EXPECT_FALSE(api().verifyTransactionWithDeviceVerification(fnd::Data(48, 0), uuid, nonce));
  EXPECT_EQ(log_.withCode(25058).size(), 2u);
  EXPECT_EQ(log_.withCode(25058)[0].level, 4);
}

TEST_F(DEVAzodavevuTest, CorrectedBytes) {
  EXPECT_EQ(ZIVCorrectedBytes(fnd::Data(10, 'a')), fnd::Data(10, 'a'));
  fnd::Data allF(64, 'f');
  EXPECT_EQ(ZIVCorrectedBytes(allF), fnd::Data(32, 0xff));
  fnd::Data halfHex(64, 'g');
  halfHex[0] = '7';
  fnd::Data expected(32, 0);
  expected[0] = 7;  // "7g" reads as far as it is hexadecimal.
  EXPECT_EQ(ZIVCorrectedBytes(halfHex), expected);
}

}  // namespace
