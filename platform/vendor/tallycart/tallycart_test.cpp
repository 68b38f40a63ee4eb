#include "platform/vendor/tallycart/tallycart.h"

#include <gtest/gtest.h>

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

}  // namespace
