#include "analytics/attribution/in_app_purchase_transaction_reporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "analytics/attribution/attribution_test_support.h"
#include "analytics/attribution/purchase_parameters.h"
#include "analytics/attribution/receipt_test_support.h"
#include "analytics/foundation/additions.h"

namespace {

using attribution_test::LoggedEvent;

SKProduct Product(const std::string& id, const char* price = "0.99") {
  SKProduct product;
  product.productIdentifier = id;
  product.price = SKDecimalNumber::fromString(price);
  product.currencyCode = "USD";
  product.localizedTitle = "Title " + id;
  return product;
}

SKPaymentTransactionPtr Transaction(const std::string& product, const std::string& id,
                                    SKPaymentTransactionState state,
                                    std::optional<double> date = 1772694489, int64_t quantity = 1) {
  auto t = std::make_shared<SKPaymentTransaction>();
  t->payment = {product, quantity};
  t->transactionState = state;
  t->transactionIdentifier = id;
  t->transactionDate = date;
  return t;
}

class PurchaseReporterTest : public ZIVFoundationTest {
 protected:
  void SetUp() override {
    ZIVInAppPurchaseTransactionReporter::Environment environment;
    environment.productCache = cache_;
    environment.receiptData = [this]() -> std::optional<fnd::Data> {
      ++receiptReads_;
      return receipt_;
    };
    environment.isSandboxReceipt = [] { return false; };
    environment.receiptValidates = [this] { return validates_; };
    environment.logInternalEvent = [this](const std::string& origin, const std::string& name,
                                          const fnd::Dictionary& parameters) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back({origin, name, parameters});
    };
    reporter_ = ZIVInAppPurchaseTransactionReporter::create(environment);
  }
  // Lets every queued report, product request and merge run.
  void Settle() {
    for (int i = 0; i < 4; ++i) {
      store_->answerHeldRequests();
      reporter_->flush();
      cache_->validProductCount();
    }
  }
  std::vector<LoggedEvent> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  // A receipt listing one purchase of each (product, transaction, original, date, type).
  void SetReceipt(const std::vector<receipt_test::Purchase>& purchases) {
    receipt_test::Receipt r;
    r.purchases = purchases;
    receipt_ = receipt_test::ReceiptPayload(r);
  }

  std::shared_ptr<SKStoreSimulator> store_ = [] {
    auto store = SKStoreSimulator::create();
    store->setHoldsRequests(true);
    return store;
  }();
  std::shared_ptr<ZIVInAppPurchaseProductCache> cache_ =
      ZIVInAppPurchaseProductCache::create(store_);
  std::shared_ptr<ZIVInAppPurchaseTransactionReporter> reporter_;
  std::optional<fnd::Data> receipt_;
  std::atomic<int> receiptReads_{0};
  bool validates_ = true;
  std::mutex mu_;
  std::vector<LoggedEvent> events_;
};

receipt_test::Purchase Bought(const std::string& product, const std::string& id,
                              const std::string& original, const std::string& date, uint8_t type) {
  receipt_test::Purchase p;
  p.productID = product;
  p.transactionID = id;
  p.originalTransactionID = original;
  p.purchaseDate = date;
  p.purchaseType = fnd::Data{type};
  return p;
}

TEST_F(PurchaseReporterTest, AScriptedPaymentQueueTransactionBecomesAPurchaseEvent) {
  // The application's observer hands the queue's transactions to the reporter.
  struct Observer : SKPaymentTransactionObserver {
    explicit Observer(std::shared_ptr<ZIVInAppPurchaseTransactionReporter> r) : reporter(r) {}
    void paymentQueueUpdatedTransactions(SKPaymentQueue&,
                                         const std::vector<SKPaymentTransactionPtr>& t) override {
      reporter->paymentQueueUpdatedFilteredTransactions(t);
    }
    std::shared_ptr<ZIVInAppPurchaseTransactionReporter> reporter;
  };
  SKPaymentQueue queue;
  auto observer = std::make_shared<Observer>(reporter_);
  queue.addTransactionObserver(observer);
  store_->addProduct(Product("com.example.coins", "4.99"));
  SetReceipt({Bought("com.example.coins", "1001", "1001", "2026-03-05T07:08:09Z", 1)});
  queue.updateTransactions({Transaction("com.example.coins", "1001",
                                        SKPaymentTransactionState::kPurchased, 1772694489, 2)});
  Settle();
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].name, "_iap");
  const fnd::Dictionary& p = events[0].parameters;
  auto value = [&](const char* key) { return p.get(key).recordAs<ZIVValue>(); };
  EXPECT_EQ(value("product_id")->stringValue(), "com.example.coins");
  EXPECT_EQ(value("product_name")->stringValue(), "Title com.example.coins");
  EXPECT_EQ(value("price")->int64Value(), 4990000);
  EXPECT_EQ(value("value")->int64Value(), 9980000);
  EXPECT_EQ(value("quantity")->int64Value(), 2);
  EXPECT_EQ(value("currency")->stringValue(), "USD");
  EXPECT_EQ(value("_skv")->stringValue(), "1");
  EXPECT_EQ(value("_did")->int64Value(), ZIVTransactionDedupeID(std::string("1001"), std::nullopt,
                                                                std::string("com.example.coins")));
  EXPECT_FALSE(p.contains("validated"));
  EXPECT_FALSE(p.contains("invalid"));
  EXPECT_FALSE(reporter_->allPurchaseItems());  // Cleared after the batch.
}

TEST_F(PurchaseReporterTest, BatchesThatReportNothing) {
  store_->addProduct(Product("p"));
  reporter_->paymentQueueUpdatedFilteredTransactions(
      {Transaction("p", "1", SKPaymentTransactionState::kFailed),
       Transaction("p", "2", SKPaymentTransactionState::kRestored),
       Transaction("p", "3", SKPaymentTransactionState::kPurchasing),
       Transaction("", "4", SKPaymentTransactionState::kPurchased), nullptr});
  Settle();
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(store_->startedRequests().empty());
}

TEST_F(PurchaseReporterTest, ProductRequestsAndTheirFailures) {
  store_->addProduct(Product("p"));
  store_->setRequestError(fnd::Error("SKErrorDomain", 0));
  reporter_->paymentQueueUpdatedFilteredTransactions(
      {Transaction("p", "1", SKPaymentTransactionState::kPurchased)});
  Settle();
  EXPECT_TRUE(Events().empty());
  ExpectLogged(sharedLog_, 1, 21027, "Cannot request product information. Error");

  store_->setRequestError(std::nullopt);
  reporter_->paymentQueueUpdatedFilteredTransactions(
      {Transaction("p", "1", SKPaymentTransactionState::kPurchased),
       Transaction("unknown", "2", SKPaymentTransactionState::kPurchased)});
  Settle();
  // Every kept transaction is reported; the one without a product yields no event. Without
  // receipt items the purchase is "invalid" and goes out as "_iapx".
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_iapx");
  EXPECT_FALSE(events[0].parameters.contains("invalid"));
  EXPECT_EQ(store_->startedRequests().size(), 2u);

  // Everything cached: no further request; each batch reads the receipt again.
  const int reads = receiptReads_;
  reporter_->paymentQueueUpdatedFilteredTransactions(
      {Transaction("p", "3", SKPaymentTransactionState::kPurchased)});
  Settle();
  reporter_->paymentQueueUpdatedFilteredTransactions(
      {Transaction("p", "4", SKPaymentTransactionState::kPurchased)});
  Settle();
  EXPECT_EQ(store_->startedRequests().size(), 2u);
  EXPECT_EQ(receiptReads_, reads + 2);
}

TEST_F(PurchaseReporterTest, Fingerprints) {
  EXPECT_FALSE(ZIVInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
  ExpectLogged(sharedLog_, 2, 21014, "Transaction is nil");
  EXPECT_FALSE(ZIVInAppPurchaseTransactionReporter::transactionFingerprint(
      Transaction("p", "0-00-0", SKPaymentTransactionState::kPurchased)));
  ExpectLogged(sharedLog_, 2, 21017, "Transaction identifier is only zeroes. Code");
  EXPECT_FALSE(ZIVInAppPurchaseTransactionReporter::transactionFingerprint(
      Transaction("p", "", SKPaymentTransactionState::kPurchased)));
  ExpectLogged(sharedLog_, 2, 21016, "Transaction identifier is empty. Code");
  EXPECT_FALSE(ZIVInAppPurchaseTransactionReporter::transactionFingerprint(
      Transaction("p", "1", SKPaymentTransactionState::kFailed)));
  EXPECT_EQ(ZIVInAppPurchaseTransactionReporter::transactionFingerprint(
                Transaction("p", "0-01", SKPaymentTransactionState::kPurchased)),
            ziv_MD5String("0-01"));
}

TEST_F(PurchaseReporterTest, StoreKit2Transactions) {
  store_->addProduct(Product("sub"));
  validates_ = false;
  struct Case {
    const char* name;
    bool verified;
    std::optional<std::string> environment;
    const char* event;
    bool validated;
    bool sandbox;
  } cases[] = {
      {"verified", true, std::nullopt, "_iap", true, false},
      {"verified sandbox", true, "SandBox", "_iap", true, true},
      {"verified xcode", true, "xcode", "_iap", true, true},
      {"unverified", false, "Production", "_iapx", false, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.clear();
    }
    ZIVStoreKit2Transaction t;
    t.productID = "sub";
    t.transactionID = "sk2-" + std::to_string(++n);
    t.originalTransactionID = t.transactionID;
    t.productType = 1;
    t.purchaseDate = 1772694489.75;
    t.environment = c.environment;
    t.isVerified = c.verified;
    reporter_->reportTransaction(t);
    Settle();
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, c.event);
    EXPECT_EQ(events[0].parameters.contains("validated"), c.validated);
    EXPECT_EQ(events[0].parameters.contains("sandbox"), c.sandbox);
    EXPECT_FALSE(events[0].parameters.contains("invalid"));
    EXPECT_EQ(events[0].parameters.get("_skv").recordAs<ZIVValue>()->stringValue(), "2");
  }
}

TEST_F(PurchaseReporterTest, ARenewalAfterAFreeTrialConverts) {
  store_->addProduct(Product("sub"));
  auto trial = Bought("sub", "1", "1", "2026-02-05T07:08:09Z", 3);
  trial.freeTrial = fnd::Data{1};
  SetReceipt({trial});
  ZIVStoreKit2Transaction t;
  t.productID = "sub";
  t.transactionID = "2";
  t.originalTransactionID = "1";
  t.productType = 3;
  t.webOrderLineItemID = "55";
  t.purchaseDate = *ZIVIAPDateFromString(std::string("2026-03-05T07:08:09Z"));
  t.isVerified = true;
  reporter_->reportTransaction(t);
  Settle();
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_assc");
  EXPECT_FALSE(events[0].parameters.contains("sub_convert"));
  EXPECT_FALSE(events[0].parameters.contains("sub_renew"));
  auto items = reporter_->allPurchaseItems();
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ((*items)[0]->transactionID, "2");  // The StoreKit 2 item goes in front.
  EXPECT_EQ((*items)[0]->webOrderLineItemID, 55u);
}

}  // namespace

namespace {

TEST_F(PurchaseReporterTest, ReportsFromManyThreadsKeepEveryPurchaseItem) {
  store_->addProduct(Product("p"));
  cache_->requestProductsWithProductIdentifiers({"p"}, dispatch::Queue::create("t"),
                                                [](auto&, auto&, auto&) {});
  Settle();
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([this, thread] {
      for (int i = 0; i < 25; ++i) {
        ZIVStoreKit2Transaction t;
        t.productID = "p";
        t.transactionID = std::to_string(thread) + "-" + std::to_string(i);
        t.originalTransactionID = t.transactionID;
        t.productType = 1;
        t.purchaseDate = 1772694489;
        t.isVerified = true;
        reporter_->reportTransaction(t);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Settle();
  EXPECT_EQ(Events().size(), 100u);
  auto items = reporter_->allPurchaseItems();
  ASSERT_TRUE(items);
  EXPECT_EQ(items->size(), 100u);
}

}  // namespace
