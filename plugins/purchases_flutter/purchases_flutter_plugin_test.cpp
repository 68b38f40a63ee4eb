#include "plugins/purchases_flutter/purchases_flutter_plugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/foundation/test_home.h"

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;
using Call = TCCommonFunctionality::Call;

constexpr const char* kChannel = "purchases_flutter";

class PurchasesPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSystem(15, 0);
    plugin_ = PurchasesFlutterPlugin::registerWithRegistrar(
        *engine_.registrarForPlugin("PurchasesFlutterPlugin"), layer_, processInfo_,
        [this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override {
    engine_.shutDownEngine();
    dispatch::RunLoop::main().runUntilIdle();
  }

  void SetSystem(int64_t major, int64_t minor) {
    processInfo_.setOperatingSystemVersion({major, minor, 0}, "Version test");
  }

  // Calls a method the way Dart does and returns the decoded envelope once the host answered.
  Value CallDart(const std::string& method, const Value& arguments = Value()) {
    auto reply = engine_.dart().invokeMethod(kChannel, method, arguments);
    EXPECT_NE(reply, nullptr);
    EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return reply->received(); }))
        << method << " got no answer";
    return reply->envelope().value_or(Value("malformed envelope"));
  }

  // The calls the plugin made into Dart, as (method, arguments).
  std::vector<std::pair<std::string, Value>> DartCalls() {
    std::vector<std::pair<std::string, Value>> calls;
    for (const auto& call : engine_.dart().methodCalls(kChannel)) {
      calls.emplace_back(call.method(), call.arguments());
    }
    return calls;
  }

  static void ExpectError(const Value& answer, const std::string& code) {
    auto error = flutter::FlutterError::fromValue(answer);
    ASSERT_NE(error, nullptr) << answer.description();
    EXPECT_EQ(error->code(), code);
  }

  fnd::ScopedTestHome home_;
  fnd::ProcessInfo processInfo_;
  TCCommonFunctionality layer_;
  flutter::FlutterEngine engine_;
  std::shared_ptr<PurchasesFlutterPlugin> plugin_;
  std::vector<std::string> log_;
};

TEST_F(PurchasesPluginTest, SetupConfiguresTheSdkWithDefaultsAndBecomesItsDelegate) {
  struct Case {
    Dictionary arguments;
    bool show;
    std::optional<std::string> user;
    std::optional<std::string> suite;
  };
  const Case cases[] = {
      {{{"apiKey", "k"}, {"appUserId", "u"}, {"userDefaultsSuiteName", "s"}}, true, "u", "s"},
      {{{"apiKey", "k"}, {"shouldShowInAppMessagesAutomatically", Value()}}, true, {}, {}},
      {{{"apiKey", "k"},
        {"shouldShowInAppMessagesAutomatically", false},
        {"appUserId", Value()},
        {"userDefaultsSuiteName", Value()},
        {"storeKitVersion", Value()}},
       false,
       {},
       {}},
  };
  EXPECT_EQ(CallDart("isConfigured"), Value(false));
  for (const Case& c : cases) {
    EXPECT_EQ(CallDart("setupPurchases", c.arguments), Value());
    auto purchases = layer_.purchases();
    ASSERT_NE(purchases, nullptr);
    const auto& configuration = purchases->configuration();
    EXPECT_EQ(configuration.apiKey, Value("k"));
    EXPECT_EQ(configuration.shouldShowInAppMessagesAutomatically, c.show);
    EXPECT_EQ(configuration.appUserID, c.user);
    EXPECT_EQ(configuration.userDefaultsSuiteName, c.suite);
    EXPECT_EQ(configuration.storeKitVersion, Value());
    EXPECT_EQ(configuration.platformFlavor, "flutter");
    EXPECT_EQ(configuration.platformFlavorVersion, "8.11.0");
    EXPECT_FALSE(configuration.dangerousSettings);
    EXPECT_EQ(purchases->delegate(), plugin_);
  }
  EXPECT_EQ(CallDart("isConfigured"), Value(true));
}

TEST_F(PurchasesPluginTest, CompletionAdaptersAnswerResponsesAndVendorErrors) {
  layer_.scriptResponse("getOfferings", Dictionary{{"current", "default"}});
  layer_.scriptError("restorePurchases",
                     TCErrorContainer(7, "The receipt is missing.", {{"readableErrorCode", "X"}}));
  EXPECT_EQ(CallDart("getOfferings"), Value(Dictionary{{"current", "default"}}));
  // A signed-in user logs out back to an anonymous one, answered with its customer information.
  CallDart("logIn", Dictionary{{"appUserID", "bob"}});
  Value loggedOut = CallDart("logOut");
  ASSERT_NE(loggedOut.dictionary(), nullptr) << loggedOut.description();
  EXPECT_EQ(loggedOut.dictionary()->get("originalAppUserId"), Value(layer_.appUserID()));

  Value answer = CallDart("restorePurchases");
  auto error = flutter::FlutterError::fromValue(answer);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), "7");
  EXPECT_EQ(error->message(), "The receipt is missing.");
  EXPECT_EQ(error->details(), Value(Dictionary{{"readableErrorCode", "X"}}));
}

TEST_F(PurchasesPluginTest, ArgumentsReachTheLayerUnchanged) {
  struct Case {
    const char* method;
    Dictionary arguments;
    Call expected;
  };
  Value context = Dictionary{{"offeringIdentifier", "o"}};
  // What the store sells, so that the purchases below go through.
  layer_.setProducts(Array{Dictionary{{"identifier", "pro"}}});
  layer_.setOfferings(
      Array{Dictionary{{"identifier", "o"},
                       {"packages", Array{Dictionary{{"identifier", "$m"}, {"product", "pro"}}}}}},
      "o");
  const Case cases[] = {
      {"getCurrentOfferingForPlacement",
       {{"placementIdentifier", "p"}},
       {"getCurrentOfferingForPlacement", {"p"}}},
      {"purchaseProduct",
       {{"productIdentifier", "pro"}, {"signedDiscountTimestamp", 5}},
       {"purchaseProduct", {"pro", 5}}},
      {"purchasePackage",
       {{"packageIdentifier", "$m"}, {"presentedOfferingContext", context}},
       {"purchasePackage", {"$m", context, Value()}}},
      {"logIn", {{"appUserID", "bob"}}, {"logIn", {"bob"}}},
      {"setLogLevel", {{"level", "DEBUG"}}, {"setLogLevel", {"DEBUG"}}},
      {"setProxyURLString", {{"proxyURLString", Value()}}, {"setProxyURLString", {Value()}}},
      {"setAllowSharingStoreAccount",
       {{"allowSharing", true}},
       {"setAllowSharingStoreAccount", {true}}},
      {"setDebugLogsEnabled", {{"enabled", 1}}, {"setDebugLogsEnabled", {true}}},
      {"setSimulatesAskToBuyInSandbox", {}, {"setSimulatesAskToBuyInSandbox", {false}}},
      {"setAttributes",
       {{"attributes", Dictionary{{"a", "b"}}}},
       {"setAttributes", {Dictionary{{"a", "b"}}}}},
      {"setEmail", {{"email", "a@b.c"}}, {"setEmail", {"a@b.c"}}},
      {"setCreative", {{"creative", Value()}}, {"setCreative", {Value()}}},
      {"setZudiroruAppInstanceID",
       {{"zudiroruAppInstanceID", "z"}},
       {"setZudiroruAppInstanceID", {"z"}}},
      {"getPromotionalOffer",
       {{"productIdentifier", "pro"}, {"discountIdentifier", "d"}},
       {"getPromotionalOffer", {"pro", "d"}}},
      {"redeemWebPurchase", {{"redemptionLink", "l"}}, {"redeemWebPurchase", {"l"}}},
      {"purchasePackageWithWinBackOffer",
       {{"packageIdentifier", "$m"}, {"winBackOfferIdentifier", "w"}},
       {"purchasePackageWithWinBackOffer", {"$m", Value(), "w"}}},
  };
  for (const Case& c : cases) {
    size_t before = layer_.calls().size();
    Value answer = CallDart(c.method, c.arguments);
    EXPECT_EQ(flutter::FlutterError::fromValue(answer), nullptr) << c.method;
    auto calls = layer_.calls();
    ASSERT_EQ(calls.size(), before + 1) << c.method;
    EXPECT_EQ(calls.back(), c.expected) << c.method;
  }
}

TEST_F(PurchasesPluginTest, DirectAnswersCarryWhatTheLayerReturns) {
  layer_.setProducts(Array{Dictionary{{"identifier", "a"}}, Dictionary{{"identifier", "b"}}});
  layer_.scriptResponse("getStorefront", Dictionary{{"countryCode", "FRA"}});
  layer_.scriptResponse("checkTrialOrIntroductoryPriceEligibility",
                        Dictionary{{"a", Dictionary{{"status", 1}}}});
  layer_.setCanMakePayments(false);

  EXPECT_EQ(CallDart("getProductInfo", Dictionary{{"productIdentifiers", Array{"a"}}}),
            Value(Array{Dictionary{{"identifier", "a"}}}));
  EXPECT_EQ(CallDart("getStorefront"), Value(Dictionary{{"countryCode", "FRA"}}));
  EXPECT_EQ(CallDart("checkTrialOrIntroductoryPriceEligibility",
                     Dictionary{{"productIdentifiers", Array{"a"}}}),
            Value(Dictionary{{"a", Dictionary{{"status", 1}}}}));
  EXPECT_EQ(CallDart("canMakePayments", Dictionary{{"features", Array{}}}), Value(false));
  EXPECT_EQ(
      CallDart("isWebPurchaseRedemptionURL", Dictionary{{"urlString", "tallycart://redeem?x=1"}}),
      Value(true));
  EXPECT_EQ(CallDart("getAppUserID"), Value(layer_.appUserID()));
  EXPECT_EQ(CallDart("isAnonymous"), Value(true));
  CallDart("logIn", Dictionary{{"appUserID", "bob"}});
  EXPECT_EQ(CallDart("getAppUserID"), Value("bob"));
  EXPECT_EQ(CallDart("isAnonymous"), Value(false));
}

TEST_F(PurchasesPluginTest, EachAttributeSetterReadsItsKeyAndCallsTheSetterOfItsName) {
  const std::pair<const char*, const char*> setters[] = {
      {"setEmail", "email"},
      {"setPhoneNumber", "phoneNumber"},
      {"setDisplayName", "displayName"},
      {"setPushToken", "pushToken"},
      {"setAdjustID", "adjustID"},
      {"setAppsflyerID", "appsflyerID"},
      {"setFBAnonymousID", "fbAnonymousID"},
      {"setMparticleID", "mparticleID"},
      {"setCleverTapID", "cleverTapID"},
      {"setMixpanelDistinctID", "mixpanelDistinctID"},
      {"setZudiroruAppInstanceID", "zudiroruAppInstanceID"},
      {"setTenjinAnalyticsInstallationID", "tenjinAnalyticsInstallationID"},
      {"setOnesignalID", "onesignalID"},
      {"setAirshipChannelID", "airshipChannelID"},
      {"setMediaSource", "mediaSource"},
      {"setCampaign", "campaign"},
      {"setAdGroup", "adGroup"},
      {"setAd", "ad"},
      {"setKeyword", "keyword"},
      {"setCreative", "creative"},
  };
  std::vector<Call> expected;
  for (const auto& [method, key] : setters) {
    EXPECT_EQ(CallDart(method, Dictionary{{key, std::string(method) + "-value"}}), Value());
    expected.push_back({method, {std::string(method) + "-value"}});
  }
  EXPECT_EQ(layer_.calls(), expected);
}

TEST_F(PurchasesPluginTest, MethodsWithoutVendorWorkAnswerNullAndCallNothing) {
  for (const char* method :
       {"beginRefundRequestForActiveEntitlement", "beginRefundRequestForProduct",
        "beginRefundRequestForEntitlement", "close", "syncAmazonPurchase"}) {
    EXPECT_EQ(CallDart(method), Value()) << method;
  }
  EXPECT_TRUE(layer_.calls().empty());
  EXPECT_TRUE(log_.empty());
}

TEST_F(PurchasesPluginTest, FeaturesMissingFromTheSystemLogAndAnswerAsTheyShould) {
  SetSystem(11, 0);
  EXPECT_EQ(CallDart("enableAdServicesAttributionTokenCollection"), Value());
  EXPECT_EQ(CallDart("recordPurchaseForProductID", Dictionary{{"productIdentifier", "p"}}),
            Value());
  EXPECT_EQ(CallDart("presentCodeRedemptionSheet"), Value());
  EXPECT_EQ(CallDart("showInAppMessages", Dictionary{{"types", Array{0}}}), Value());
  EXPECT_TRUE(layer_.calls().empty());
  EXPECT_EQ(log_, (std::vector<std::string>{
                      "[Purchases] Warning: tried to enable AdServices attribution token "
                      "collection, but it's only available on iOS 14.3 or greater or macOS 11.1 "
                      "or greater.",
                      "[Purchases] Warning: tried to call recordPurchaseForProductID, but it's "
                      "only available on iOS 15.0 and macOS 12.0 or greater.",
                      "[Purchases] Warning: tried to present codeRedemptionSheet, but it's only "
                      "available on iOS 14.0 or greater.",
                      "[Purchases] Warning: tried to show in-app messages, but it's only "
                      "supported on iOS."}));

  SetSystem(12, 0);
  log_.clear();
  layer_.scriptError("recordPurchaseForProductID", TCErrorContainer(3, "no", {}));
  EXPECT_EQ(CallDart("enableAdServicesAttributionTokenCollection"), Value());
  ExpectError(CallDart("recordPurchaseForProductID", Dictionary{{"productIdentifier", "p"}}), "3");
  EXPECT_EQ(layer_.calls(), (std::vector<Call>{{"enableAdServicesAttributionTokenCollection", {}},
                                               {"recordPurchaseForProductID", {"p"}}}));
  EXPECT_TRUE(log_.empty());
}

TEST_F(PurchasesPluginTest, WinBackMethodsBeforeTheirSystemAnswerTheUnsupportedError) {
  SetSystem(14, 6);
  for (const char* method : {"eligibleWinBackOffersForProduct", "purchaseProductWithWinBackOffer",
                             "purchasePackageWithWinBackOffer"}) {
    log_.clear();
    Value answer = CallDart(method, Dictionary{{"productIdentifier", "p"}});
    auto error = flutter::FlutterError::fromValue(answer);
    ASSERT_NE(error, nullptr) << method;
    EXPECT_EQ(error->code(), "24");
    EXPECT_EQ(error->message(), "iOS win-back offers are only available on iOS 18.0 or greater.");
    EXPECT_EQ(log_, (std::vector<std::string>{
                        "[Purchases] Warning: Win-back offers are only available on iOS 18.0 or "
                        "greater."}));
  }
  EXPECT_TRUE(layer_.calls().empty());

  SetSystem(15, 0);
  EXPECT_EQ(CallDart("eligibleWinBackOffersForProduct", Dictionary{{"productIdentifier", "p"}}),
            Value(Array{}));
}

TEST_F(PurchasesPluginTest, PromotedProductsGetStableCallbackIDs) {
  layer_.setProducts(
      Array{Dictionary{{"identifier", "first"}}, Dictionary{{"identifier", "second"}}});
  CallDart("setupPurchases", Dictionary{{"apiKey", "k"}});
  auto purchases = layer_.purchases();
  purchases->offerPromotedProduct(layer_, "first");
  purchases->offerPromotedProduct(layer_, "second");
  EXPECT_TRUE(DartCalls().empty());  // Queued onto the main queue, not sent inline.
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(DartCalls(), (std::vector<std::pair<std::string, Value>>{
                             {"Purchases-ReadyForPromotedProductPurchase",
                              Dictionary{{"callbackID", 0}, {"productID", "first"}}},
                             {"Purchases-ReadyForPromotedProductPurchase",
                              Dictionary{{"callbackID", 1}, {"productID", "second"}}}}));

  for (int round = 0; round < 2; ++round) {  // The block stays usable.
    Value answer = CallDart("startPromotedProductPurchase", Dictionary{{"callbackID", 0}});
    ASSERT_NE(answer.dictionary(), nullptr) << answer.description();
    EXPECT_EQ(answer.dictionary()->get("productIdentifier"), Value("first"));
  }
  for (Value id : {Value(2), Value(-1), Value(), Value("0"), Value(0.5)}) {
    ExpectError(CallDart("startPromotedProductPurchase", Dictionary{{"callbackID", id}}),
                "invalid-arguments");
  }
}

TEST_F(PurchasesPluginTest, PromotedProductsOfferedFromOtherThreadsGetDistinctIDs) {
  CallDart("setupPurchases", Dictionary{{"apiKey", "k"}});
  auto purchases = layer_.purchases();
  constexpr int kPerThread = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        purchases->offerPromotedProduct(layer_, "p" + std::to_string(t) + "-" + std::to_string(i));
      }
    });
  }
  // The main thread reads the list while the offers are being appended.
  for (int i = 0; i < kPerThread; ++i) {
    Value answer = CallDart("startPromotedProductPurchase", Dictionary{{"callbackID", 0}});
    EXPECT_TRUE(answer.dictionary() || flutter::FlutterError::fromValue(answer));
  }
  for (auto& thread : threads) thread.join();
  dispatch::RunLoop::main().runUntilIdle();

  std::set<int64_t> ids;
  for (const auto& [method, arguments] : DartCalls()) {
    ids.insert(arguments.dictionary()->get("callbackID").asInt());
  }
  EXPECT_EQ(ids.size(), 2u * kPerThread);
  EXPECT_EQ(*ids.rbegin(), 2 * kPerThread - 1);
}

TEST_F(PurchasesPluginTest, CustomerInfoUpdatesReachDartOnTheMainQueue) {
  CallDart("setupPurchases", Dictionary{{"apiKey", "k"}});
  layer_.purchases()->sendUpdatedCustomerInfo(Dictionary{{"originalAppUserId", "u"}});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(DartCalls(),
            (std::vector<std::pair<std::string, Value>>{
                {"Purchases-CustomerInfoUpdated",
                 Value(layer_.encodeCustomerInfo(Dictionary{{"originalAppUserId", "u"}}))}}));
}

TEST_F(PurchasesPluginTest, LogHandlerAnswersFirstThenForwardsLines) {
  auto reply = engine_.dart().invokeMethod(kChannel, "setLogHandler", Value());
  // The handler answers inline on the main queue, before any line can be forwarded.
  dispatch::RunLoop::main().runUntil([&] { return reply->received(); });
  EXPECT_EQ(reply->envelope(), Value());
  layer_.emitLog(Dictionary{{"logLevel", "INFO"}, {"message", "m"}});
  EXPECT_TRUE(DartCalls().empty());
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(
      DartCalls(),
      (std::vector<std::pair<std::string, Value>>{
          {"Purchases-LogHandlerEvent", Dictionary{{"logLevel", "INFO"}, {"message", "m"}}}}));
}

TEST_F(PurchasesPluginTest, UnknownNamesAndBadArgumentsAnswerWithoutReachingTheLayer) {
  for (const char* method : {"getofferings", "SetupPurchases", "nope", ""}) {
    EXPECT_EQ(CallDart(method), flutter::FlutterMethodNotImplemented()) << method;
  }
  struct Case {
    const char* method;
    Value arguments;
  };
  const Case cases[] = {
      {"getCurrentOfferingForPlacement", Value(Array{1})},
      {"setDebugLogsEnabled", Dictionary{{"enabled", "yes"}}},
      {"setAllowSharingStoreAccount", Dictionary{{"allowSharing", Array{}}}},
      {"setupPurchases", Dictionary{{"apiKey", "k"}, {"appUserId", 5}}},
      {"setupPurchases",
       Dictionary{{"apiKey", "k"}, {"shouldShowInAppMessagesAutomatically", "no"}}},
      {"startPromotedProductPurchase", Dictionary{}},
  };
  for (const Case& c : cases) {
    ExpectError(CallDart(c.method, c.arguments), "invalid-arguments");
  }
  EXPECT_TRUE(layer_.calls().empty());
}

TEST_F(PurchasesPluginTest, TheMethodIsLookedAtBeforeTheArguments) {
  // Arguments that are no map do not matter to an unknown method, nor to one that reads none.
  EXPECT_EQ(CallDart("nope", Value(Array{1})), flutter::FlutterMethodNotImplemented());
  EXPECT_EQ(CallDart("getAppUserID", Value(Array{1})), Value(layer_.appUserID()));
  EXPECT_EQ(CallDart("isConfigured", Value("text")), Value(false));
  // One that reads its arguments still refuses them.
  ExpectError(CallDart("logIn", Value(Array{"u"})), "invalid-arguments");
  EXPECT_TRUE(layer_.calls().empty());
}

TEST_F(PurchasesPluginTest, TheStoreAnswersFromItsCatalogue) {
  layer_.setProducts(Array{Dictionary{{"identifier", "pro"}, {"price", 2.5}}});
  layer_.setOfferings(
      Array{Dictionary{{"identifier", "main"},
                       {"packages", Array{Dictionary{{"identifier", "$m"}, {"product", "pro"}}}}}},
      "main");
  layer_.setStorefront("DEU");
  Value offerings = CallDart("getOfferings");
  ASSERT_NE(offerings.dictionary(), nullptr) << offerings.description();
  const Value current = offerings.dictionary()->get("current");
  ASSERT_NE(current.dictionary(), nullptr);
  EXPECT_EQ(current.dictionary()->get("identifier"), Value("main"));
  EXPECT_EQ(
      current.dictionary()->get("availablePackages"),
      Value(Array{Dictionary{{"identifier", "$m"},
                             {"offeringIdentifier", "main"},
                             {"product", Dictionary{{"identifier", "pro"}, {"price", 2.5}}}}}));
  EXPECT_EQ(CallDart("getStorefront"), Value(Dictionary{{"countryCode", "DEU"}}));

  // A product the store does not sell fails with the store's error; one it sells is bought.
  Value refused = CallDart("purchaseProduct", Dictionary{{"productIdentifier", "ghost"}});
  ExpectError(refused, std::to_string(kTCProductNotAvailableForPurchaseError));
  Value bought = CallDart(
      "purchasePackage",
      Dictionary{{"packageIdentifier", "$m"},
                 {"presentedOfferingContext", Dictionary{{"offeringIdentifier", "main"}}}});
  ASSERT_NE(bought.dictionary(), nullptr) << bought.description();
  EXPECT_EQ(bought.dictionary()->get("productIdentifier"), Value("pro"));

  // Log out: an anonymous user cannot; a signed-in one returns to a new anonymous id.
  ExpectError(CallDart("logOut"), std::to_string(kTCLogOutAnonymousUserError));
  CallDart("logIn", Dictionary{{"appUserID", "ann"}});
  EXPECT_EQ(CallDart("isAnonymous"), Value(false));
  EXPECT_FALSE(flutter::FlutterError::fromValue(CallDart("logOut")));
  EXPECT_EQ(CallDart("isAnonymous"), Value(true));
  Value id = CallDart("getAppUserID");
  ASSERT_TRUE(id.isString());
  EXPECT_EQ(id.asString().rfind(kTCAnonymousIDPrefix, 0), 0u);
}

}  // namespace
