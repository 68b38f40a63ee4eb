#include "analytics/attribution/in_app_purchase_product_cache.h"

#include <gtest/gtest.h>

#include <atomic>

#include "analytics/foundation/test_support.h"

namespace {

SKProduct MakeProduct(const std::string& id) {
  SKProduct product;
  product.productIdentifier = id;
  product.price = SKDecimalNumber::fromString("1.99");
  product.currencyCode = "EUR";
  return product;
}

class ProductCacheTest : public ZIVFoundationTest {
 protected:
  // Requests and waits for the completion; returns (products, invalid, error).
  struct Answer {
    ZIVProductsDictionary products;
    std::set<std::string> invalid;
    std::optional<fnd::Error> error;
    int calls = 0;
  };
  Answer Request(const std::set<std::string>& ids) {
    Answer answer;
    cache_->requestProductsWithProductIdentifiers(
        ids, queue_,
        [&answer](const ZIVProductsDictionary& p, const std::set<std::string>& i,
                  const std::optional<fnd::Error>& e) {
          answer.products = p;
          answer.invalid = i;
          answer.error = e;
          ++answer.calls;
        });
    store_->answerHeldRequests();
    for (int i = 0; i < 3; ++i) queue_->sync([] {});
    cache_->validProductCount();  // Waits for the merge.
    for (int i = 0; i < 3; ++i) queue_->sync([] {});
    return answer;
  }

  std::shared_ptr<SKStoreSimulator> store_ = [] {
    auto store = SKStoreSimulator::create();
    store->setHoldsRequests(true);
    return store;
  }();
  std::shared_ptr<ZIVInAppPurchaseProductCache> cache_ =
      ZIVInAppPurchaseProductCache::create(store_);
  std::shared_ptr<dispatch::Queue> queue_ = dispatch::Queue::create("com.example.products");
};

TEST_F(ProductCacheTest, ProductsAndInvalidIdentifiers) {
  store_->addProduct(MakeProduct("a"));
  store_->addProduct(MakeProduct(""));
  Answer answer = Request({"a", "b", ""});
  EXPECT_EQ(answer.calls, 1);
  EXPECT_EQ(answer.products.size(), 1u);  // The product without identifier is left out.
  EXPECT_EQ(answer.invalid, (std::set<std::string>{"b"}));
  EXPECT_TRUE(cache_->cachedProductForProductIdentifier("a"));
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("b"));
  // The store now calls "a" invalid: the cached product goes.
  store_->removeAllProducts();
  Request({"a"});
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("a"));
  EXPECT_EQ(cache_->invalidIdentifierCount(), 2u);
  EXPECT_EQ(cache_->validProductCount(), 0u);
}

TEST_F(ProductCacheTest, AMergeAbove100KeepsOnlyThatResponse) {
  std::set<std::string> first;
  for (int i = 0; i < 100; ++i) {
    store_->addProduct(MakeProduct("p" + std::to_string(i)));
    first.insert("p" + std::to_string(i));
  }
  Request(first);
  EXPECT_EQ(cache_->validProductCount(), 100u);
  Request({"p0", "unknown"});  // 100 products + 1 invalid = 101.
  EXPECT_EQ(cache_->validProductCount(), 1u);
  EXPECT_EQ(cache_->invalidIdentifierCount(), 1u);
  EXPECT_TRUE(cache_->cachedProductForProductIdentifier("p0"));
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("p1"));
}

TEST_F(ProductCacheTest, FailuresAndMissingArguments) {
  store_->addProduct(MakeProduct("a"));
  store_->setRequestError(fnd::Error("SKErrorDomain", 2));
  Answer answer = Request({"a"});
  EXPECT_EQ(answer.calls, 1);
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->code(), 2);
  EXPECT_TRUE(answer.products.empty());
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("a"));

  std::atomic<int> calls{0};
  cache_->requestProductsWithProductIdentifiers({"a"}, nullptr,
                                                [&](auto&, auto&, auto&) { ++calls; });
  cache_->requestProductsWithProductIdentifiers({"a"}, queue_, nullptr);
  EXPECT_EQ(store_->answerHeldRequests(), 0u);
  queue_->sync([] {});
  EXPECT_EQ(calls, 0);

  Answer none = Request({});
  EXPECT_EQ(none.calls, 1);
  ASSERT_TRUE(none.error);
  EXPECT_EQ(none.error->code(), 1);
}

}  // namespace
