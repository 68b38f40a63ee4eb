#include "analytics/engine/azodavevu_storekit2.h"

#include <gtest/gtest.h>

#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/engine/azodavevu.h"
#include "analytics/engine/facade_test_support.h"
#include "analytics/engine/logged_analytics_modifier.h"
#include "analytics/engine/sessions_test_support.h"
#include "platform/swiftui/view.h"

namespace {

const char* kDevice = "0C1F2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F";

// The public interface over a facade of the test's own that records what reaches the purchase
// reporter, on a system of the test's choosing.
class LogTransactionTest : public FacadeTest {
 protected:
  LogTransactionTest() {
    env_.reportTransaction = [this](const ZIVStoreKit2Transaction& t) { reported_.push_back(t); };
    store_.addProduct({"pro", StoreKit::ProductType::autoRenewable, "Pro", "$4.99", 604800.0});
    store_.addProduct({"gems", StoreKit::ProductType::consumable, "Gems", "$0.99", std::nullopt});
    store_.setDeviceVerificationID(fnd::UUID::Parse(kDevice));
    store_.setEnvironment(StoreKit::AppStoreEnvironment::sandbox);
  }

  DEVAzodavevu& api() {
    if (!api_) {
      DEVAzodavevu::Environment env;
      env.analytics = &analytics();
      env.isDefaultAppConfigured = [] { return true; };
      env.classes = &classes_;
      env.notificationCenter = &center_;
      env.isOperatingSystemAtLeast = [this](const fnd::OperatingSystemVersion& v) {
        const auto& s = system_;
        if (s.majorVersion != v.majorVersion) return s.majorVersion > v.majorVersion;
        if (s.minorVersion != v.minorVersion) return s.minorVersion > v.minorVersion;
        return s.patchVersion >= v.patchVersion;
      };
      env.deviceVerificationID = [this] { return store_.deviceVerificationID(); };
      api_ = std::make_unique<DEVAzodavevu>(std::move(env));
    }
    return *api_;
  }

  fnd::OperatingSystemVersion system_ = fnd::kDefaultOperatingSystemVersion;
  StoreKit::Store store_;
  std::vector<ZIVStoreKit2Transaction> reported_;
  std::unique_ptr<DEVAzodavevu> api_;
};

TEST_F(LogTransactionTest, ReportsEveryFieldWithTheVersionGates) {
  StoreKit::TransactionOffer trial{std::nullopt, StoreKit::OfferType::introductory,
                                   StoreKit::PaymentMode::freeTrial};
  auto first = store_.purchase("pro", 1700000000, 1, trial);
  auto renewal = store_.renew(first->id);
  auto refunded = store_.refund(renewal->id, 1700100000);
  ASSERT_TRUE(refunded);

  struct Case {
    fnd::OperatingSystemVersion system;
    bool offers;
    bool environment;
  };
  const Case cases[] = {
      {{14, 1, 9}, false, false},
      {{14, 2, 0}, true, false},
      {{15, 9, 0}, true, false},
      {{16, 0, 0}, true, true},
      {fnd::kDefaultOperatingSystemVersion, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.system.majorVersion << "." << c.system.minorVersion);
    system_ = c.system;
    reported_.clear();
    api().logTransaction(*first);
    ASSERT_EQ(reported_.size(), 1u);
    const ZIVStoreKit2Transaction& r = reported_[0];
    EXPECT_EQ(r.productID, "pro");
    EXPECT_EQ(r.transactionID, std::to_string(first->id));
    EXPECT_EQ(r.originalTransactionID, std::to_string(first->originalID));
    EXPECT_EQ(r.webOrderLineItemID, first->webOrderLineItemID);
    EXPECT_EQ(r.productType, 3);
    EXPECT_EQ(r.isFreeTrial, c.offers);
    EXPECT_EQ(r.isIntroductoryOffer, c.offers);
    EXPECT_EQ(r.paymentQuantity, 1);
    EXPECT_EQ(r.purchaseDate, 1700000000);
    EXPECT_EQ(r.originalPurchaseDate, 1700000000);
    EXPECT_EQ(r.subscriptionExpirationDate, first->expirationDate);
    EXPECT_FALSE(r.cancellationDate);
    EXPECT_EQ(r.environment, c.environment ? std::optional<std::string>("Sandbox") : std::nullopt);
    EXPECT_TRUE(r.isVerified);
  }

  reported_.clear();
  api().logTransaction(*refunded);
  ASSERT_EQ(reported_.size(), 1u);
  EXPECT_EQ(reported_[0].transactionID, std::to_string(renewal->id));
  EXPECT_EQ(reported_[0].originalTransactionID, std::to_string(first->id));
  EXPECT_EQ(reported_[0].cancellationDate, 1700100000);
  EXPECT_FALSE(reported_[0].isFreeTrial);
  EXPECT_TRUE(reported_[0].isVerified);
  // Every call reports again.
  api().logTransaction(*refunded);
  EXPECT_EQ(reported_.size(), 2u);
}

TEST_F(LogTransactionTest, WithoutADeviceVerificationIDTheTransactionIsNotVerified) {
  auto gems = store_.purchase("gems", 1700000000, 2);
  store_.setDeviceVerificationID(std::nullopt);
  api().logTransaction(*gems);
  ASSERT_EQ(reported_.size(), 1u);
  EXPECT_FALSE(reported_[0].isVerified);
  EXPECT_EQ(reported_[0].productType, 1);
  EXPECT_EQ(reported_[0].paymentQuantity, 2);
  EXPECT_FALSE(reported_[0].subscriptionExpirationDate);
  EXPECT_EQ(log_.withCode(25058).size(), 1u);
  // A verification made for another device fails too.
  store_.setDeviceVerificationID(fnd::UUID::Random());
  api().logTransaction(*gems);
  EXPECT_FALSE(reported_[1].isVerified);
}

TEST(ZIVIntValueTest, ProductTypeCodes) {
  EXPECT_EQ(zivIntValue(StoreKit::ProductType::nonConsumable), 0);
  EXPECT_EQ(zivIntValue(StoreKit::ProductType::consumable), 1);
  EXPECT_EQ(zivIntValue(StoreKit::ProductType::nonRenewable), 2);
  EXPECT_EQ(zivIntValue(StoreKit::ProductType::autoRenewable), 3);
  EXPECT_EQ(zivIntValue(StoreKit::ProductType{"Lifetime Pass"}), 0);
}

TEST(LoggedAnalyticsModifierTest, EachAppearanceLogsAScreenView) {
  sessions_test::SessionsRig rig;
  rig.Open({{"measurement.session.event_user_engagement_interval", "86400000"}});
  rig.Activate();
  DEVAzodavevu::Environment env;
  env.analytics = rig.analytics.get();
  env.isDefaultAppConfigured = [] { return true; };
  env.monitor = rig.h.monitor().get();
  env.notificationCenter = &rig.h.center;
  DEVAzodavevu api(std::move(env));

  SwiftUI::ViewPtr screen =
      analyticsScreen(SwiftUI::View::create("home"), "Home", "HomeView",
                      fnd::Dictionary{{"screen_name", "Other"}, {"tab", "main"}}, &api);
  SwiftUI::HostingView host(screen);
  host.setHidden(false);
  rig.Drain();
  host.setHidden(true);
  host.setHidden(false);
  rig.Drain();

  auto views = rig.Events("_vs");
  ASSERT_EQ(views.size(), 2u);
  for (const auto& view : views) {
    EXPECT_EQ(sessions_test::StringParameter(*view, "_sn"), "Home");
    EXPECT_EQ(sessions_test::StringParameter(*view, "_sc"), "HomeView");
    EXPECT_EQ(sessions_test::StringParameter(*view, "tab"), "main");
  }
  EXPECT_EQ(sessions_test::StringParameter(*views[1], "_pn"), "Home");
  EXPECT_NE(sessions_test::IntParameter(*views[0], "_si"),
            sessions_test::IntParameter(*views[1], "_si"));
}

}  // namespace
