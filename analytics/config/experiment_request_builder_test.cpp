#include "analytics/config/experiment_request_builder.h"

#include <gtest/gtest.h>

#include "analytics/config/experiments_manager.h"
#include "analytics/config/experiments_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/locale.h"

namespace {

using apme_test::APMETest;

class DynamicProperties : public APMESDKPropertyDelegate {
 public:
  std::optional<APMECustomProperties> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) override {
    EXPECT_EQ(property.name(), "duv_udiredururo");
    return APMECustomProperties{{"b", "dynamic"}, {"c", "3"}};
  }
};

class RequestBuilderTest : public APMETest {
 protected:
  ~RequestBuilderTest() override {
    APMESetIdentityDiversionKeyProvider(nullptr);
    fnd::SetPreferredLanguagesForTesting(std::nullopt);
  }

  static std::shared_ptr<APMESDKProperty> Property(const std::string& name,
                                                   const std::string& diversionKey) {
    auto property = APMESDKProperty::initWithName(fnd::Value(name));
    property->setVersion(120500);
    property->setAppID("1:123:ios:abc");
    property->setDiversionKey(diversionKey);
    return property;
  }

  // The request as it goes over the wire, decoded again.
  static std::shared_ptr<APMPBExperimentRequest> Sent(const APMEExperimentRequestBuilder& builder) {
    auto request = builder.request();
    EXPECT_TRUE(request);
    auto bytes = request->protoBuffer();
    EXPECT_TRUE(bytes);
    return APMPBExperimentRequest::initWithBuffer(*bytes);
  }

  static fnd::Array Clients(const APMPBExperimentRequest& request) {
    return NANOGetArray(&request, APMPBExperimentRequest::kClientProperties,
                        &APMPBClientProperty::messageClass())
        .value_or(fnd::Array());
  }

  APMEExperimentRequestBuilder builder_;
};

TEST_F(RequestBuilderTest, AppPropertyDescribesThisApplication) {
  fnd::SetPreferredLanguagesForTesting(std::vector<std::string>{"de-CH", "en"});
  auto request = Sent(builder_);
  auto app = NANOGetMessage<APMPBAppProperty>(request.get(), APMPBExperimentRequest::kAppProperty);
  ASSERT_TRUE(app);
  EXPECT_EQ(NANOGetString(app.get(), APMPBAppProperty::kPlatform), "macos");
  EXPECT_EQ(NANOGetString(app.get(), APMPBAppProperty::kLanguage), "de-ch");
  EXPECT_FALSE(NANOHasField(app.get(), 1 /* app_property_2 */));
  EXPECT_FALSE(NANOHasField(app.get(), 2 /* app_property_3 */));
  EXPECT_TRUE(NANOHasField(app.get(), APMPBAppProperty::kIsFromAppStore));
  EXPECT_FALSE(NANOGetBool(app.get(), APMPBAppProperty::kIsFromAppStore));
  EXPECT_EQ(NANOGetInt64(app.get(), APMPBAppProperty::kSdkVersion), 10000);
  const std::string bundleID = fnd::Bundle::mainBundle().bundleIdentifier();
  EXPECT_EQ(NANOGetString(app.get(), APMPBAppProperty::kBundleId),
            bundleID.empty() ? std::nullopt : std::optional<std::string>(bundleID));
  // No registered SDK: no client properties at all.
  EXPECT_TRUE(Clients(*request).empty());

  fnd::SetPreferredLanguagesForTesting(std::vector<std::string>{});
  request = Sent(builder_);
  app = NANOGetMessage<APMPBAppProperty>(request.get(), APMPBExperimentRequest::kAppProperty);
  EXPECT_FALSE(NANOHasField(app.get(), APMPBAppProperty::kLanguage));
}

TEST_F(RequestBuilderTest, ClientPropertiesNeedADiversionKey) {
  builder_.addSDKProperty(Property("no_key", ""));
  EXPECT_TRUE(Clients(*Sent(builder_)).empty());
  ExpectLogged(log_, 1, 860001, "Diversion key is empty");

  // The identity's key stands in for a missing one; an SDK's own key wins.
  APMESetIdentityDiversionKeyProvider([] { return std::string("identity"); });
  builder_.addSDKProperty(Property("own_key", "own"));
  fnd::Array clients = Clients(*Sent(builder_));
  ASSERT_EQ(clients.size(), 2u);
  auto noKey = clients[0].recordAs<APMPBClientProperty>();
  auto ownKey = clients[1].recordAs<APMPBClientProperty>();
  EXPECT_EQ(NANOGetString(noKey.get(), APMPBClientProperty::kDiversionId), "identity-no_key");
  EXPECT_EQ(NANOGetString(ownKey.get(), APMPBClientProperty::kDiversionId), "own-own_key");
  EXPECT_EQ(NANOGetString(ownKey.get(), APMPBClientProperty::kSdkName), "own_key");
  EXPECT_EQ(NANOGetString(ownKey.get(), APMPBClientProperty::kAppId), "1:123:ios:abc");
  EXPECT_EQ(NANOGetInt64(ownKey.get(), APMPBClientProperty::kSdkVersion), 120500);
  EXPECT_TRUE(NANOGetArray(ownKey.get(), APMPBClientProperty::kCustomProperties,
                           &APMPBCustomProperty::messageClass())
                  ->empty());

  // Adding a property of the same name replaces the earlier one.
  builder_.addSDKProperty(Property("own_key", "other"));
  clients = Clients(*Sent(builder_));
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(NANOGetString(clients[1].recordAs<APMPBClientProperty>().get(),
                          APMPBClientProperty::kDiversionId),
            "other-own_key");

  log_.clear();
  builder_.addSDKProperty(nullptr);
  ExpectLogged(log_, 2, 880000, "Cannot add an empty SDK property.");
}

TEST_F(RequestBuilderTest, DynamicCustomPropertiesOverrideStaticOnes) {
  auto property = Property("duv_udiredururo", "key");
  property->setCustomProperties({{"a", "1"}, {"b", "static"}});
  auto delegate = std::make_shared<DynamicProperties>();
  property->setDelegate(delegate);
  builder_.addSDKProperty(property);
  fnd::Array clients = Clients(*Sent(builder_));
  ASSERT_EQ(clients.size(), 1u);
  fnd::Array custom =
      *NANOGetArray(clients[0].recordAs<APMPBClientProperty>().get(),
                    APMPBClientProperty::kCustomProperties, &APMPBCustomProperty::messageClass());
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& item : custom) {
    auto entry = item.recordAs<APMPBCustomProperty>();
    pairs.emplace_back(*NANOGetString(entry.get(), APMPBCustomProperty::kKey),
                       *NANOGetString(entry.get(), APMPBCustomProperty::kValue));
  }
  EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{
                       {"a", "1"}, {"b", "dynamic"}, {"c", "3"}}));
}

TEST_F(RequestBuilderTest, PropertyNamesMustBeStrings) {
  EXPECT_FALSE(APMESDKProperty::initWithName(fnd::Value(12)));
  ExpectLogged(log_, 1, 860000, "Cannot init SDK property with invalid name");
  EXPECT_EQ(log_.withCode(860000)[0].contexts, (fnd::Array{fnd::Value(12)}));
}

}  // namespace
