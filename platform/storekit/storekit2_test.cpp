#include "platform/storekit/storekit2.h"

#include <gtest/gtest.h>

#include "platform/security/hex.h"

namespace {

const char* kNonce = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
const char* kDevice = "0C1F2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F";
// printf '%s' "<lower-case nonce><lower-case device id>" | openssl dgst -sha384 -hex
const char* kGolden =
    "8fc92280675a4b4ee66bd139d63b26a247a8b5c20f1539b995df9f5a392f7a39"
    "c1557f14dbe858f0af52e1bbc900965e";

TEST(StoreKit2Test, DeviceVerificationIsSHA384OfLowerCaseNonceAndDeviceID) {
  EXPECT_EQ(security::HexString(StoreKit::DeviceVerification(kNonce, kDevice)), kGolden);
  // Case does not matter; order does.
  EXPECT_EQ(StoreKit::DeviceVerification(kNonce, kDevice),
            StoreKit::DeviceVerification("e621e1f8-c36c-495a-93fc-0c247a3e6e5f",
                                         "0c1f2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"));
  EXPECT_NE(StoreKit::DeviceVerification(kDevice, kNonce),
            StoreKit::DeviceVerification(kNonce, kDevice));
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() {
    store_.addProduct({"gems", StoreKit::ProductType::consumable, "Gems", "$0.99", std::nullopt});
    store_.addProduct({"pro", StoreKit::ProductType::autoRenewable, "Pro", "$4.99", 30 * 86400.0});
    store_.setDeviceVerificationID(fnd::UUID::Parse(kDevice));
  }
  StoreKit::Store store_;
};

TEST_F(StoreTest, PurchaseIsVerifiedAgainstTheDeviceIDOfItsTime) {
  store_.setEnvironment(StoreKit::AppStoreEnvironment::sandbox);
  auto gems = store_.purchase("gems", 1700000000, 3);
  ASSERT_TRUE(gems);
  EXPECT_EQ(gems->id, 1000u);
  EXPECT_EQ(gems->originalID, 1000u);
  EXPECT_EQ(gems->productType, StoreKit::ProductType::consumable);
  EXPECT_EQ(gems->purchasedQuantity, 3);
  EXPECT_EQ(gems->environment.rawValue, "Sandbox");
  EXPECT_FALSE(gems->expirationDate);
  EXPECT_FALSE(gems->webOrderLineItemID);
  EXPECT_EQ(gems->deviceVerification,
            StoreKit::DeviceVerification(gems->deviceVerificationNonce.uuidString(), kDevice));

  store_.setDeviceVerificationID(std::nullopt);
  auto unverifiable = store_.purchase("gems", 1700000001);
  ASSERT_TRUE(unverifiable);
  EXPECT_TRUE(unverifiable->deviceVerification.empty());
  EXPECT_NE(unverifiable->deviceVerificationNonce, gems->deviceVerificationNonce);

  EXPECT_FALSE(store_.purchase("unknown", 1700000000));
  EXPECT_FALSE(store_.purchase("gems", 1700000000, 0));
}

TEST_F(StoreTest, RenewalsKeepTheOriginalAndRefundsRevoke) {
  StoreKit::TransactionOffer trial{std::nullopt, StoreKit::OfferType::introductory,
                                   StoreKit::PaymentMode::freeTrial};
  auto first = store_.purchase("pro", 1700000000, 1, trial);
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->expirationDate);
  EXPECT_EQ(*first->expirationDate, 1700000000 + 30 * 86400.0);
  EXPECT_TRUE(first->webOrderLineItemID);
  auto renewal = store_.renew(first->originalID);
  ASSERT_TRUE(renewal);
  EXPECT_NE(renewal->id, first->id);
  EXPECT_EQ(renewal->originalID, first->id);
  EXPECT_EQ(renewal->originalPurchaseDate, 1700000000);
  EXPECT_EQ(renewal->purchaseDate, *first->expirationDate);
  EXPECT_FALSE(renewal->offer);

  auto refunded = store_.refund(renewal->id, 1700500000);
  ASSERT_TRUE(refunded);
  EXPECT_EQ(refunded->revocationDate, 1700500000);
  EXPECT_EQ(store_.transaction(renewal->id)->revocationDate, 1700500000);
  EXPECT_EQ(store_.allTransactions().size(), 2u);

  auto gems = store_.purchase("gems", 1700000000);
  EXPECT_FALSE(store_.renew(gems->id));
  EXPECT_FALSE(store_.refund(999999, 1700000000));
}

}  // namespace
