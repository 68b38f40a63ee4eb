#include "platform/vendor/tallycart/tallycart.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

struct Outcome {
  Value response;
  std::optional<TCErrorContainer> error;
};

TCResponseBlock Into(std::optional<Outcome>& out) {
  return [&out](const Value& response, const std::optional<TCErrorContainer>& error) {
    out = Outcome{response, error};
  };
}

TEST(TallycartTest, CompletionsAnswerWhatWasScripted) {
  TCCommonFunctionality layer;
  layer.scriptResponse("getOfferings", Dictionary{{"current", "default"}});
  layer.scriptError("restorePurchases", TCErrorContainer(7, "store problem", {{"k", 1}}));

  std::optional<Outcome> offerings, restored, synced;
  layer.getOfferings(Into(offerings));
  layer.restorePurchases(Into(restored));
  layer.syncPurchases(Into(synced));

  ASSERT_TRUE(offerings && restored && synced);
  EXPECT_EQ(offerings->response, Value(Dictionary{{"current", "default"}}));
  EXPECT_FALSE(offerings->error);
  ASSERT_TRUE(restored->error);
  EXPECT_EQ(restored->error->code(), 7);
  EXPECT_EQ(restored->error->message(), "store problem");
  EXPECT_EQ(restored->error->info(), (Dictionary{{"k", 1}}));
  EXPECT_EQ(synced->response, Value());
  EXPECT_EQ(layer.calls(),
            (std::vector<TCCommonFunctionality::Call>{
                {"getOfferings", {}}, {"restorePurchases", {}}, {"syncPurchases", {}}}));
}

TEST(TallycartTest, WrappedErrorKeepsItsCodeAndDescription) {
  auto container = TCErrorContainer::initWithError(
      fnd::Error::withDescription("Tallycart.ErrorCode", 24, "not here"), Dictionary{});
  EXPECT_EQ(container.code(), 24);
  EXPECT_EQ(container.message(), "not here");
  EXPECT_EQ(container.info().get("code"), Value(24));
}

TEST(TallycartTest, ProductInfoListsOnlyTheAskedProductsOnSale) {
  TCCommonFunctionality layer;
  layer.setProducts(Array{Dictionary{{"identifier", "a"}}, Dictionary{{"identifier", "b"}}});
  Array got;
  layer.getProductInfo(Array{"b", "zz"}, [&](Array products) { got = std::move(products); });
  EXPECT_EQ(got, (Array{Dictionary{{"identifier", "b"}}}));
}

class RecordingDelegate : public TCPurchasesDelegate {
 public:
  void purchasesReceivedUpdatedCustomerInfo(TCPurchases&, const Dictionary& info) override {
    infos.push_back(info);
  }
  void purchasesReadyForPromotedProduct(TCPurchases&, const std::string& product,
                                        TCStartPurchaseBlock start) override {
    products.push_back(product);
    starts.push_back(std::move(start));
  }
  std::vector<Dictionary> infos;
  std::vector<std::string> products;
  std::vector<TCStartPurchaseBlock> starts;
};

TEST(TallycartTest, ConfiguredInstanceTellsItsDelegateAndStartsPromotedPurchases) {
  TCCommonFunctionality layer;
  EXPECT_FALSE(layer.isConfigured());
  TCPurchases::Configuration configuration;
  configuration.apiKey = "key";
  configuration.appUserID = "user";
  auto purchases = layer.configure(configuration);
  EXPECT_TRUE(layer.isConfigured());
  EXPECT_EQ(layer.appUserID(), "user");
  EXPECT_FALSE(layer.isAnonymous());

  layer.setProducts(Array{Dictionary{{"identifier", "pro"}}});
  auto delegate = std::make_shared<RecordingDelegate>();
  purchases->setDelegate(delegate);
  purchases->sendUpdatedCustomerInfo(Dictionary{{"id", "user"}});
  purchases->offerPromotedProduct(layer, "pro");
  ASSERT_EQ(delegate->products, (std::vector<std::string>{"pro"}));
  EXPECT_EQ(delegate->infos.size(), 1u);

  std::optional<Outcome> bought;
  layer.makeDeferredPurchase(delegate->starts[0], Into(bought));
  ASSERT_TRUE(bought);
  EXPECT_EQ(bought->response.dictionary()->get("productIdentifier"), Value("pro"));
}

TEST(TallycartTest, LogLinesReachTheInstalledHandler) {
  TCCommonFunctionality layer;
  layer.emitLog(Dictionary{{"message", "dropped"}});  // No handler yet.
  std::vector<Dictionary> lines;
  layer.setLogHanderOnLogReceived([&](const Dictionary& entry) { lines.push_back(entry); });
  layer.emitLog(Dictionary{{"logLevel", "DEBUG"}, {"message", "hello"}});
  EXPECT_EQ(lines,
            (std::vector<Dictionary>{Dictionary{{"logLevel", "DEBUG"}, {"message", "hello"}}}));
}

// A catalogue of two products, one offering ("main", the current one) with a monthly package of
// the first and a package whose product the store does not sell.
void Stock(TCCommonFunctionality& layer) {
  layer.setProducts(Array{Dictionary{{"identifier", "pro.monthly"}, {"price", 4.99}},
                          Dictionary{{"identifier", "pro.yearly"}, {"price", 39.99}}});
  layer.setOfferings(
      Array{Dictionary{
          {"identifier", "main"},
          {"serverDescription", "Main"},
          {"packages", Array{Dictionary{{"identifier", "$monthly"}, {"product", "pro.monthly"}},
                             Dictionary{{"identifier", "$gone"}, {"product", "pro.gone"}}}}}},
      "main");
  layer.setStorefront("FRA");
}

TEST(TallycartTest, OfferingsAndTheStorefrontComeFromTheCatalogue) {
  TCCommonFunctionality layer;
  std::optional<Outcome> empty;
  layer.getOfferings(Into(empty));
  ASSERT_TRUE(empty && !empty->error);
  EXPECT_EQ(empty->response, Value(Dictionary{{"all", Dictionary{}}, {"current", Value()}}));
  Value storefront("unset");
  layer.getStorefront([&](Value v) { storefront = v; });
  EXPECT_TRUE(storefront.isNull());

  Stock(layer);
  std::optional<Outcome> offerings, placement;
  layer.getOfferings(Into(offerings));
  layer.getCurrentOfferingForPlacement(Value("paywall"), Into(placement));
  ASSERT_TRUE(offerings && !offerings->error && placement && !placement->error);
  Dictionary offering{
      {"identifier", "main"},
      {"serverDescription", "Main"},
      {"availablePackages",
       Array{Dictionary{{"identifier", "$monthly"},
                        {"offeringIdentifier", "main"},
                        {"product", Dictionary{{"identifier", "pro.monthly"}, {"price", 4.99}}}}}}};
  EXPECT_EQ(offerings->response,
            Value(Dictionary{{"all", Dictionary{{"main", offering}}}, {"current", offering}}));
  EXPECT_EQ(placement->response, Value(offering));
  layer.getStorefront([&](Value v) { storefront = v; });
  EXPECT_EQ(storefront, Value(Dictionary{{"countryCode", "FRA"}}));
}

TEST(TallycartTest, OnlyWhatTheStoreSellsCanBeBought) {
  TCCommonFunctionality layer;
  Stock(layer);
  struct Case {
    const char* what;
    std::function<void(TCResponseBlock)> buy;
    std::optional<std::string> product;  // nullopt: refused by the store.
  } cases[] = {
      {"a product on sale",
       [&](TCResponseBlock done) { layer.purchaseProduct(Value("pro.yearly"), Value(), done); },
       "pro.yearly"},
      {"a product the store does not sell",
       [&](TCResponseBlock done) { layer.purchaseProduct(Value("pro.lifetime"), Value(), done); },
       std::nullopt},
      {"no product at all",
       [&](TCResponseBlock done) { layer.purchaseProduct(Value(), Value(), done); }, std::nullopt},
      {"a package of an offering",
       [&](TCResponseBlock done) {
         layer.purchasePackage(Value("$monthly"), Value(Dictionary{{"offeringIdentifier", "main"}}),
                               Value(), done);
       },
       "pro.monthly"},
      {"a package whose product is not on sale",
       [&](TCResponseBlock done) {
         layer.purchasePackage(Value("$gone"), Value(Dictionary{{"offeringIdentifier", "main"}}),
                               Value(), done);
       },
       std::nullopt},
      {"a package of another offering",
       [&](TCResponseBlock done) {
         layer.purchasePackage(Value("$monthly"),
                               Value(Dictionary{{"offeringIdentifier", "other"}}), Value(), done);
       },
       std::nullopt},
      {"a win-back offer on a product not on sale",
       [&](TCResponseBlock done) {
         layer.purchaseProductWithWinBackOffer(Value("pro.lifetime"), Value("w"), done);
       },
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<Outcome> outcome;
    c.buy(Into(outcome));
    ASSERT_TRUE(outcome);
    if (c.product) {
      ASSERT_FALSE(outcome->error);
      EXPECT_EQ(outcome->response.dictionary()->get("productIdentifier"), Value(*c.product));
    } else {
      ASSERT_TRUE(outcome->error);
      EXPECT_EQ(outcome->error->code(), kTCProductNotAvailableForPurchaseError);
      EXPECT_EQ(outcome->error->message(), "The product is not available for purchase.");
    }
  }
  // What was bought shows in the customer information.
  std::optional<Outcome> info;
  layer.getCustomerInfo(Into(info));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->response.dictionary()->get("allPurchasedProductIdentifiers"),
            Value(Array{"pro.yearly", "pro.monthly"}));
}

TEST(TallycartTest, LogOutReturnsToANewAnonymousUser) {
  TCCommonFunctionality layer;
  std::string anonymous = layer.appUserID();
  ASSERT_TRUE(layer.isAnonymous());
  // An anonymous user cannot log out.
  std::optional<Outcome> refused;
  layer.logOut(Into(refused));
  ASSERT_TRUE(refused && refused->error);
  EXPECT_EQ(refused->error->code(), kTCLogOutAnonymousUserError);
  EXPECT_EQ(layer.appUserID(), anonymous);

  std::optional<Outcome> in, again, out;
  layer.logIn(Value("bob"), Into(in));
  ASSERT_TRUE(in && !in->error);
  EXPECT_EQ(in->response.dictionary()->get("created"), Value(true));
  layer.logIn(Value("bob"), Into(again));
  EXPECT_EQ(again->response.dictionary()->get("created"), Value(false));
  EXPECT_FALSE(layer.isAnonymous());

  layer.logOut(Into(out));
  ASSERT_TRUE(out && !out->error);
  EXPECT_TRUE(layer.isAnonymous());
  EXPECT_EQ(layer.appUserID().rfind("$TCAnonymousID:", 0), 0u);
  EXPECT_NE(layer.appUserID(), anonymous);
  EXPECT_EQ(out->response.dictionary()->get("originalAppUserId"), Value(layer.appUserID()));
}

}  // namespace
