// The engine with its real attribution component, driven through the facade: a scripted StoreKit
// purchase ends as a stored purchase row with its lifetime value, duplicates are dropped, nothing
// is reported while collection is off, and opened links become stored campaign events.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/attribution/in_app_purchase_product_cache.h"
#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/attribution/measurement_attribution_engine.h"
#include "analytics/attribution/measurement_url.h"
#include "analytics/attribution/purchase_parameters.h"
#include "analytics/attribution/receipt_test_support.h"
#include "analytics/engine/analytics_facade.h"
#include "analytics/engine/facade_link.h"
#include "analytics/engine/identifiers.h"
#include "analytics/engine/measurement_test_support.h"
#include "analytics/engine/runtime_class_registry.h"
#include "platform/dispatch/run_loop.h"

namespace {

using measurement_test::EngineHarness;
using measurement_test::IntParameter;
using measurement_test::StringParameter;

constexpr const char* kCoins = "com.example.coins";
// 2026-03-05 07:08:09 and 08:08:09 UTC.
constexpr double kFirstPurchase = 1772694489;
constexpr double kSecondPurchase = 1772698089;

SKPaymentTransactionPtr Purchased(const std::string& id, double date, int64_t quantity) {
  auto t = std::make_shared<SKPaymentTransaction>();
  t->payment = {kCoins, quantity};
  t->transactionState = SKPaymentTransactionState::kPurchased;
  t->transactionIdentifier = id;
  t->transactionDate = date;
  return t;
}

receipt_test::Purchase Bought(const std::string& id, const std::string& date) {
  receipt_test::Purchase p;
  p.productID = kCoins;
  p.transactionID = id;
  p.originalTransactionID = id;
  p.purchaseDate = date;
  p.purchaseType = receipt_test::Bytes{1};
  return p;
}

class EngineAttributionTest : public ::testing::Test {
 protected:
  EngineAttributionTest() {
    harness_.componentMaker = ZIVAttributionMakeComponents;
    harness_.Open();

    store_->setHoldsRequests(true);
    SKProduct coins;
    coins.productIdentifier = kCoins;
    coins.price = SKDecimalNumber::fromString("4.99");
    coins.currencyCode = "USD";
    coins.localizedTitle = "Coins";
    store_->addProduct(coins);
    SetReceipt({Bought("1001", "2026-03-05T07:08:09Z")});

    ZIVAnalytics::Environment env;
    env.clock = std::shared_ptr<dispatch::Clock>(&harness_.clock(), [](dispatch::Clock*) {});
    env.suiteName = "test.attribution.suite";
    env.consent = &harness_.consent;
    env.engine = std::make_shared<ZIVMeasurementAnalyticsEngine>(harness_.engine);
    env.classes = &classes_;
    env.notificationCenter = &center_;
    env.identity = [this] { return harness_.identity(); };
    env.identifiers = &identifiers_;
    env.persistedConfig = [this] { return harness_.sharedConfig(); };
    env.paymentQueue = &paymentQueue_;
    env.reportFilteredTransactions = [this](const std::vector<SKPaymentTransactionPtr>& kept) {
      reporter_->paymentQueueUpdatedFilteredTransactions(kept);
      std::lock_guard<std::mutex> lock(mu_);
      ++batchesReported_;
      cv_.notify_all();
    };
    analytics_ = std::make_unique<ZIVAnalytics>(std::move(env));

    ZIVInAppPurchaseTransactionReporter::Environment reporterEnv;
    reporterEnv.productCache = cache_;
    reporterEnv.receiptData = [this]() -> std::optional<fnd::Data> {
      std::lock_guard<std::mutex> lock(mu_);
      return receipt_;
    };
    reporterEnv.isSandboxReceipt = [] { return false; };
    reporterEnv.receiptValidates = [] { return true; };
    reporterEnv.logInternalEvent = [this](const std::string& origin, const std::string& name,
                                          const fnd::Dictionary& parameters) {
      analytics_->logInternalEventWithOrigin(origin, name, parameters);
    };
    reporter_ = ZIVInAppPurchaseTransactionReporter::create(reporterEnv);

    analytics_->startWithAppID(harness_.appID, "fa", {});
    dispatch::RunLoop::main().runUntilIdle();  // The observer is added on the main queue.
  }
  ~EngineAttributionTest() override {
    if (analytics_) SettleFacade();
    harness_.Drain();
    reporter_->flush();
    analytics_.reset();
    dispatch::RunLoop::main().runUntilIdle();
  }

  // The receipt the store holds from now on.
  void SetReceipt(const std::vector<receipt_test::Purchase>& purchases) {
    receipt_test::Receipt receipt;
    receipt.purchases = purchases;
    std::lock_guard<std::mutex> lock(mu_);
    receipt_ = receipt_test::ReceiptPayload(receipt);
  }
  // Everything queued on the facade so far has reached the engine's worker queue and run there.
  void SettleFacade() {
    std::promise<void> done;
    analytics_->queueOperationWithBlock([&done] { done.set_value(); });
    done.get_future().wait();
    analytics_->queue()->sync([] {});
    harness_.Drain();
  }
  // Announces a batch and waits until `reported` batches have passed the engine's filter, their
  // products are known and their events are stored.
  void Announce(const std::vector<SKPaymentTransactionPtr>& batch, int reported) {
    paymentQueue_.updateTransactions(batch);
    SettleFacade();
    {
      std::unique_lock<std::mutex> lock(mu_);
      ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(30),
                               [&] { return batchesReported_ >= reported; }));
    }
    for (int i = 0; i < 3; ++i) {
      store_->answerHeldRequests();
      reporter_->flush();
      (void)cache_->validProductCount();
      SettleFacade();
    }
  }
  std::vector<std::shared_ptr<ZIVEvent>> Stored(const std::string& name) {
    std::vector<std::shared_ptr<ZIVEvent>> out;
    for (const auto& raw : harness_.RawEvents()) {
      if (raw->rawEvent()->name() == name) out.push_back(raw->rawEvent());
    }
    return out;
  }
  std::optional<int64_t> LifetimeValue() {
    auto attribute = harness_.UserProperty("_ltv_USD");
    if (!attribute || !attribute->value() || !attribute->value()->isInt64()) return std::nullopt;
    return attribute->value()->int64Value();
  }

  EngineHarness harness_;
  ZIVRuntimeClassRegistry classes_;
  fnd::NotificationCenter center_;
  ZIVIdentifiers identifiers_;
  SKPaymentQueue paymentQueue_;
  std::shared_ptr<SKStoreSimulator> store_ = SKStoreSimulator::create();
  std::shared_ptr<ZIVInAppPurchaseProductCache> cache_ =
      ZIVInAppPurchaseProductCache::create(store_);
  std::optional<fnd::Data> receipt_;
  std::shared_ptr<ZIVInAppPurchaseTransactionReporter> reporter_;
  std::unique_ptr<ZIVAnalytics> analytics_;
  std::mutex mu_;
  std::condition_variable cv_;
  int batchesReported_ = 0;  // Guarded by mu_.
};

TEST_F(EngineAttributionTest, ScriptedPurchaseIsStoredOnceWithItsParametersAndLifetimeValue) {
  EXPECT_EQ(paymentQueue_.observerCount(), 1u);
  Announce({Purchased("1001", kFirstPurchase, 2)}, 1);

  auto purchases = Stored("_iap");
  ASSERT_EQ(purchases.size(), 1u);
  const ZIVEvent& p = *purchases[0];
  EXPECT_EQ(p.origin(), "auto");
  EXPECT_EQ(StringParameter(p, "product_id"), kCoins);
  EXPECT_EQ(StringParameter(p, "product_name"), "Coins");
  EXPECT_EQ(IntParameter(p, "price"), 4990000);
  EXPECT_EQ(IntParameter(p, "value"), 9980000);
  EXPECT_EQ(IntParameter(p, "quantity"), 2);
  EXPECT_EQ(StringParameter(p, "currency"), "USD");
  EXPECT_EQ(StringParameter(p, "_skv"), "1");
  EXPECT_EQ(IntParameter(p, "_did"),
            ZIVTransactionDedupeID(std::string("1001"), std::nullopt, std::string(kCoins)));
  EXPECT_FALSE(p.parameters().count("invalid"));
  EXPECT_EQ(LifetimeValue(), 9980000);

  // The same transaction again, next to a new one: only the new one is reported and counted.
  SetReceipt({Bought("1001", "2026-03-05T07:08:09Z"), Bought("1002", "2026-03-05T08:08:09Z")});
  Announce({Purchased("1001", kFirstPurchase, 2), Purchased("1002", kSecondPurchase, 1)}, 2);
  purchases = Stored("_iap");
  ASSERT_EQ(purchases.size(), 2u);
  EXPECT_EQ(IntParameter(*purchases[1], "value"), 4990000);
  EXPECT_EQ(IntParameter(*purchases[1], "_did"),
            ZIVTransactionDedupeID(std::string("1002"), std::nullopt, std::string(kCoins)));
  EXPECT_EQ(LifetimeValue(), 14970000);
  ExpectLogged(harness_.log(), 4, 23141,
               "Purchase is a duplicate and will not be reported. Product ID");

  // Another launch keeps the total and the fingerprints.
  harness_.Close();
  harness_.Open();
  EXPECT_EQ(LifetimeValue(), 14970000);
}

TEST_F(EngineAttributionTest, NothingIsReportedWhileCollectionIsOffAndNothingAfterDestruction) {
  analytics_->setAnalyticsEnabled(false);
  SettleFacade();
  paymentQueue_.updateTransactions({Purchased("1001", kFirstPurchase, 1)});
  SettleFacade();
  store_->answerHeldRequests();
  reporter_->flush();
  SettleFacade();
  EXPECT_TRUE(Stored("_iap").empty());
  EXPECT_EQ(LifetimeValue(), std::nullopt);
  {
    std::lock_guard<std::mutex> lock(mu_);
    EXPECT_EQ(batchesReported_, 0);
  }
  // The facade stops observing when it goes.
  SettleFacade();
  analytics_.reset();
  EXPECT_EQ(paymentQueue_.observerCount(), 0u);
  paymentQueue_.updateTransactions({Purchased("1002", kSecondPurchase, 1)});
  harness_.Drain();
  EXPECT_TRUE(Stored("_iap").empty());
}

TEST_F(EngineAttributionTest, OpenedLinksAndUserActivitiesBecomeStoredCampaignEvents) {
  harness_.clock().setWallTime(measurement_test::kLaunchTime + 60);
  analytics_->handleOpenURL(
      "quellmark://open?utm_source=newsletter&utm_medium=email&utm_campaign=spring&utm_term=x");
  analytics_->handleUserActivity(ZIVUserActivity(kZIVUserActivityTypeBrowsingWeb,
                                                 std::string("https://quellmark.example/p?gclid=G1"
                                                             "&utm_source=ads"),
                                                 std::string("https://www.rivado.com/search")));
  // Not a campaign link, and not a browsing-web activity: no event.
  analytics_->handleOpenURL("quellmark://open?utm_content=banner");
  analytics_->handleUserActivity(
      ZIVUserActivity("com.example.handoff", std::string("https://quellmark.example/?utm_id=1")));
  analytics_->queue()->sync([] {});
  harness_.Drain();

  auto campaigns = Stored("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  const ZIVEvent& link = *campaigns[0];
  EXPECT_EQ(link.origin(), "auto");
  EXPECT_EQ(StringParameter(link, "source"), "newsletter");
  EXPECT_EQ(StringParameter(link, "medium"), "email");
  EXPECT_EQ(StringParameter(link, "campaign"), "spring");
  EXPECT_EQ(StringParameter(link, "term"), "x");
  EXPECT_DOUBLE_EQ(link.timestamp(), measurement_test::kLaunchTime + 60);
  const ZIVEvent& activity = *campaigns[1];
  EXPECT_EQ(activity.origin(), "gs");
  EXPECT_EQ(StringParameter(activity, "source"), "ads");
  ExpectLogged(harness_.log(), 3, 23001,
               "Deep Link does not contain valid required params. URL "
               "params");
  // A link can switch the server-side tag manager's preview on for the process, and off.
  analytics_->handleOpenURL("quellmark://open?sgtm_debug_enable=1&sgtm_preview_key=KEY");
  EXPECT_EQ(ZIVMeasurementURL::SGTMPreviewHeaders(),
            (fnd::Dictionary{{ZIVMeasurementSGTMPreviewHTTPHeaderName, "KEY"}}));
  analytics_->handleOpenURL("quellmark://open?sgtm_debug_enable=0");
  EXPECT_EQ(ZIVMeasurementURL::SGTMPreviewHeaders(), std::nullopt);
}

}  // namespace
