#include "analytics/attribution/purchase_parameters.h"

#include <gtest/gtest.h>

#include <limits>

#include "analytics/foundation/test_support.h"

namespace {

SKDecimalNumber Dec(const char* text) { return *SKDecimalNumber::fromString(text); }

SKProductPtr Product(const char* id = "com.example.gems", const char* price = "9.99",
                     const char* currency = "USD") {
  auto product = std::make_shared<SKProduct>();
  product->productIdentifier = id;
  if (price) product->price = Dec(price);
  if (currency) product->currencyCode = currency;
  product->localizedTitle = "Gems";
  return product;
}

ZIVInAppPurchaseItemPtr Item(const char* product, const char* txID, const char* originalID,
                             const char* date, std::optional<int64_t> type) {
  auto item = std::make_shared<ZIVInAppPurchaseItem>();
  item->productID = product;
  item->transactionID = txID;
  item->originalTransactionID = originalID;
  item->purchaseDateIA5String = date;
  item->purchaseType = type;
  return item;
}

std::optional<int64_t> Int(const ZIVEvent::Parameters& p, const char* key) {
  auto found = p.find(key);
  if (found == p.end() || !found->second->isInt64()) return std::nullopt;
  return found->second->int64Value();
}
bool Has(const ZIVEvent::Parameters& p, const char* key) { return p.count(key) != 0; }

const double kMarch5 = *ZIVIAPDateFromString(std::string("2026-03-05T07:08:09Z"));

class PurchaseParametersTest : public ZIVFoundationTest {};

TEST_F(PurchaseParametersTest, MicrosTruncateTowardZeroAndSaturate) {
  struct Case {
    const char* amount;
    int64_t quantity;
    int64_t expected;
  } cases[] = {
      {"9.99", 1, 9990000},
      {"0.0000019", 1, 1},  // A fraction of a micro is dropped.
      {"-0.0000019", 1, -1},
      {"1.1", 3, 3300000},
      {"0", 5, 0},
      {"99999999999999999999", 1, std::numeric_limits<int64_t>::max()},
      {"-99999999999999999999", 1, std::numeric_limits<int64_t>::min()},
      {"9.99", std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZIVValueInMicrosFromPriceAndQuantity(Dec(c.amount), c.quantity), c.expected)
        << c.amount << " x " << c.quantity;
  }
  EXPECT_EQ(ZIVValueInMicros(Dec("4.99")), 4990000);
}

TEST_F(PurchaseParametersTest, DedupeID) {
  EXPECT_EQ(ZIVTransactionDedupeID(std::string(""), std::nullopt, std::string("p")), -1);
  EXPECT_EQ(ZIVTransactionDedupeID(std::nullopt, std::nullopt, std::string("p")), -1);
  EXPECT_EQ(ZIVTransactionDedupeID(std::string("o"), std::nullopt, std::string("")), -1);
  // MD5("100p") = 0d8b1f6c2f2e4c1ac9ad49c1b2b6c7d5 is not needed: equal texts give equal IDs,
  // and the web order line item ID joins the text.
  EXPECT_EQ(ZIVTransactionDedupeID(std::string("10"), 0ULL, std::string("p")),
            ZIVTransactionDedupeID(std::string("100"), std::nullopt, std::string("p")));
  EXPECT_NE(ZIVTransactionDedupeID(std::string("10"), std::nullopt, std::string("p")), -1);
}

TEST_F(PurchaseParametersTest, NoParametersWithoutProductCurrencyOrQuantity) {
  auto items = ZIVPurchaseItems{Item("com.example.gems", "1", "1", "2026-03-05T07:08:09Z", 1)};
  EXPECT_EQ(ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(nullptr, 1, "1", "1",
                                                                           kMarch5, items),
            std::nullopt);
  ExpectLogged(sharedLog_, 8, 40026, "IAP Transaction cannot be created from nil product");
  EXPECT_EQ(ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(Product(""), 1, "1", "1",
                                                                           kMarch5, items),
            std::nullopt);
  ExpectLogged(sharedLog_, 8, 40027,
               "IAP Transaction cannot be created from empty or nil product ID");
  EXPECT_EQ(ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(
                Product("com.example.gems", "9.99", nullptr), 1, "1", "1", kMarch5, items),
            std::nullopt);
  EXPECT_EQ(ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(Product(), 0, "1", "1",
                                                                           kMarch5, items),
            std::nullopt);
}

TEST_F(PurchaseParametersTest, ConsumableFirstPurchase) {
  auto items = ZIVPurchaseItems{Item("com.example.gems", "7", "7", "2026-03-05T07:08:09Z", 1)};
  auto p = ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(Product(), 2, "7", "7",
                                                                          kMarch5, items);
  ASSERT_TRUE(p);
  EXPECT_EQ(Int(*p, "price"), 9990000);
  EXPECT_EQ(Int(*p, "value"), 19980000);
  EXPECT_EQ(Int(*p, "quantity"), 2);
  EXPECT_EQ(p->at("currency")->stringValue(), "USD");
  EXPECT_EQ(p->at("product_name")->stringValue(), "Gems");
  EXPECT_EQ(Int(*p, "_did"), ZIVTransactionDedupeID(std::string("7"), std::nullopt,
                                                    std::string("com.example.gems")));
  EXPECT_FALSE(Has(*p, "invalid"));
  ExpectLogged(sharedLog_, 8, 40021, "Transaction of consumable item will be reported");
}

TEST_F(PurchaseParametersTest, Classification) {
  const char* kDate = "2026-03-05T07:08:09Z";
  struct Case {
    const char* name;
    ZIVPurchaseItems items;
    const char* txID;
    const char* originalID;
    std::vector<const char*> present;
    std::vector<const char*> absent;
    int64_t code;
  };
  auto trial = Item("com.example.gems", "1", "1", "2026-02-05T07:08:09Z", 3);
  trial->freeTrial = true;
  auto renewal = Item("com.example.gems", "2", "1", kDate, 3);
  auto intro = Item("com.example.gems", "2", "1", kDate, 3);
  intro->introductoryOffer = true;
  auto paid = Item("com.example.gems", "1", "1", "2026-02-05T07:08:09Z", 3);
  std::vector<Case> cases = {
      {"no receipt items", {}, "1", "1", {"invalid"}, {"_did", "subscription"}, 40020},
      {"restored non-consumable",
       {Item("com.example.gems", "1", "1", kDate, 0)},
       "2",
       "1",
       {"invalid"},
       {"_did"},
       40005},
      {"mismatched consumable",
       {Item("com.example.gems", "2", "1", kDate, 1)},
       "2",
       "1",
       {},
       {"invalid", "_did"},
       40007},
      {"subscription not in receipt",
       {Item("com.example.gems", "1", "1", "2026-01-01T00:00:00Z", 3)},
       "1",
       "1",
       {"invalid", "subscription"},
       {},
       40023},
      {"duplicate dates",
       {Item("com.example.gems", "1", "1", kDate, 3), Item("com.example.gems", "2", "1", kDate, 3)},
       "2",
       "1",
       {"invalid", "subscription"},
       {},
       40024},
      {"first auto-renewable",
       {Item("com.example.gems", "1", "1", kDate, 3)},
       "1",
       "1",
       {"subscription", "_did"},
       {"sub_renew", "sub_convert", "invalid"},
       40008},
      {"renewal",
       {paid, renewal},
       "2",
       "1",
       {"sub_renew", "_did"},
       {"subscription", "sub_convert"},
       40008},
      {"conversion after trial",
       {trial, renewal},
       "2",
       "1",
       {"sub_convert", "_did"},
       {"sub_renew"},
       40008},
      {"introductory offer",
       {paid, intro},
       "2",
       "1",
       {"price_is_discounted", "sub_renew"},
       {},
       40018},
      {"non-renewing",
       {Item("com.example.gems", "5", "4", kDate, 2)},
       "5",
       "4",
       {"subscription", "_did"},
       {"invalid"},
       40025},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sharedLog_.clear();
    auto p = ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(
        Product(), 1, c.txID, c.originalID, kMarch5, c.items);
    ASSERT_TRUE(p);
    for (const char* key : c.present) EXPECT_TRUE(Has(*p, key)) << key;
    for (const char* key : c.absent) EXPECT_FALSE(Has(*p, key)) << key;
    EXPECT_EQ(sharedLog_.withCode(c.code).size(), 1u);
  }
}

TEST_F(PurchaseParametersTest, FreeTrialAndIntroductoryPrices) {
  const char* kDate = "2026-03-05T07:08:09Z";
  auto trial = Item("com.example.gems", "1", "1", kDate, 3);
  trial->freeTrial = true;
  auto p = ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(
      Product(), 1, "1", "1", kMarch5, ZIVPurchaseItems{trial});
  ASSERT_TRUE(p);
  EXPECT_EQ(Int(*p, "price"), 0);
  EXPECT_EQ(Int(*p, "value"), 0);
  EXPECT_EQ(Int(*p, "original_price"), 9990000);
  EXPECT_EQ(Int(*p, "price_is_discounted"), 1);
  EXPECT_EQ(Int(*p, "free_trial"), 1);

  auto intro = Item("com.example.gems", "1", "1", kDate, 3);
  intro->introductoryOffer = true;
  auto product = std::make_shared<SKProduct>(*Product());
  auto discount = std::make_shared<SKProductDiscount>();
  discount->price = Dec("1.99");
  discount->paymentMode = SKProductDiscountPaymentMode::kPayUpFront;
  product->introductoryPrice = discount;
  p = ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(product, 3, "1", "1", kMarch5,
                                                                     ZIVPurchaseItems{intro});
  ASSERT_TRUE(p);
  EXPECT_EQ(Int(*p, "price"), 1990000);
  EXPECT_EQ(Int(*p, "value"), 5970000);
  EXPECT_EQ(Int(*p, "original_price"), 9990000);
}

TEST_F(PurchaseParametersTest, MatchingItemsSortsByDate) {
  ZIVPurchaseItems items = {Item("a", "3", "1", "2026-03-01T00:00:00Z", 3),
                            Item("a", "1", "1", "2026-01-01T00:00:00Z", 3),
                            Item("b", "2", "2", "2026-01-01T00:00:00Z", 3)};
  auto byProduct = ZIVMatchingInAppPurchaseItems(items, std::string("a"), std::nullopt);
  ASSERT_TRUE(byProduct);
  ASSERT_EQ(byProduct->size(), 2u);
  EXPECT_EQ((*byProduct)[0]->transactionID, "1");
  auto byDate = ZIVMatchingInAppPurchaseItems(
      items, std::nullopt, ZIVIAPDateFromString(std::string("2026-01-01T00:00:00Z")));
  EXPECT_EQ(byDate->size(), 2u);
  EXPECT_EQ(ZIVMatchingInAppPurchaseItems(items, std::string(""), std::nullopt), std::nullopt);
  EXPECT_EQ(ZIVIAPStringFromDate(kMarch5 + 0.75), "2026-03-05T07:08:09Z");
}

}  // namespace
