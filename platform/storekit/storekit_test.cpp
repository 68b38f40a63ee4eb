#include "platform/storekit/storekit.h"

#include <gtest/gtest.h>

namespace {

TEST(SKDecimalNumberTest, ParsesAndScalesExactly) {
  struct Case {
    const char* text;
    const char* expected;  // stringValue, or nullptr when refused.
  } cases[] = {
      {"9.99", "9.99"},    {"-0.50", "-0.5"}, {"+12", "12"},        {"1e3", "1000"},
      {"1.5E-2", "0.015"}, {"0.000", "0"},    {"", nullptr},        {".", nullptr},
      {"1..2", nullptr},   {"1e", nullptr},   {"1e99999", nullptr}, {"abc", nullptr},
      {"1 ", nullptr},
  };
  for (const auto& c : cases) {
    auto value = SKDecimalNumber::fromString(c.text);
    if (c.expected == nullptr) {
      EXPECT_FALSE(value) << c.text;
    } else {
      ASSERT_TRUE(value) << c.text;
      EXPECT_EQ(value->stringValue(), c.expected) << c.text;
    }
  }
  auto price = *SKDecimalNumber::fromString("19.99");
  EXPECT_EQ(price.multiplying(SKDecimalNumber::fromInt64(3)).stringValue(), "59.97");
  EXPECT_EQ(price.multiplyingByPowerOf10(6).stringValue(), "19990000");
  EXPECT_EQ(SKDecimalNumber::fromInt64(INT64_MIN).stringValue(), "-9223372036854775808");
  EXPECT_DOUBLE_EQ(price.doubleValue(), 19.99);
}

struct Recorder : SKPaymentTransactionObserver {
  void paymentQueueUpdatedTransactions(SKPaymentQueue&,
                                       const std::vector<SKPaymentTransactionPtr>& t) override {
    seen.push_back(t.size());
  }
  std::vector<size_t> seen;
};

TEST(SKPaymentQueueTest, ObserversHearUpdatesUntilRemovedOrGone) {
  SKPaymentQueue queue;
  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  queue.addTransactionObserver(first);
  queue.addTransactionObserver(first);
  queue.addTransactionObserver(second);
  EXPECT_EQ(queue.observerCount(), 2u);
  auto t = std::make_shared<SKPaymentTransaction>();
  queue.updateTransactions({t});
  queue.removeTransactionObserver(first.get());
  second.reset();
  queue.updateTransactions({t, t});
  EXPECT_EQ(first->seen, (std::vector<size_t>{1}));
  EXPECT_EQ(queue.transactions().size(), 1u);
  queue.finishTransaction(t);
  EXPECT_TRUE(queue.transactions().empty());
}

struct Delegate : SKProductsRequestDelegate {
  void productsRequestDidReceiveResponse(SKProductsRequest&, const SKProductsResponse& r) override {
    products = r.products.size();
    invalid = r.invalidProductIdentifiers;
  }
  void requestDidFailWithError(SKProductsRequest&, const fnd::Error& e) override { error = e; }
  size_t products = 0;
  std::vector<std::string> invalid;
  std::optional<fnd::Error> error;
};

TEST(SKProductsRequestTest, AnswersFromTheCatalogueOrFails) {
  auto store = SKStoreSimulator::create();
  store->setHoldsRequests(true);
  SKProduct product;
  product.productIdentifier = "a";
  store->addProduct(product);
  auto delegate = std::make_shared<Delegate>();
  auto request = SKProductsRequest::initWithProductIdentifiers({"a", "b"}, store);
  request->setDelegate(delegate);
  request->start();
  request->start();
  EXPECT_EQ(store->answerHeldRequests(), 1u);
  EXPECT_EQ(delegate->products, 1u);
  EXPECT_EQ(delegate->invalid, (std::vector<std::string>{"b"}));
  store->setRequestError(fnd::Error("SKErrorDomain", 2));
  auto failing = SKProductsRequest::initWithProductIdentifiers({"a"}, store);
  failing->setDelegate(delegate);
  failing->start();
  store->answerHeldRequests();
  ASSERT_TRUE(delegate->error);
  EXPECT_EQ(delegate->error->code(), 2);
}

}  // namespace
