// StoreKit 2, simulated in memory: product types, store environments, offer types and payment
// modes, products and transactions with the fields the application reads, the device-verification
// rule, and a scripted store (StoreKit::Store) that a test or the application's setup fills:
// catalogue, environment, device-verification ID, purchases, renewals and refunds. Nothing reaches
// a real store.
//
// The kinds that the platform models as open sets of raw strings (product types, environments,
// offer types, payment modes) are small value types with a raw string and the known values as
// constants, so an unknown raw value can be represented and compared.
//
// Device verification: a transaction's deviceVerification is the SHA-384 digest of the lower-case
// text of its deviceVerificationNonce followed by the lower-case text of the device-verification
// ID the store had when the transaction was made; empty when the store had none.
//
// Thread safety: the value types are plain values. Every Store method may be called from any
// thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/uuid.h"
#include "platform/foundation/value.h"

namespace StoreKit {

// Product.ProductType.
struct ProductType {
  std::string rawValue;
  static const ProductType consumable;     // "Consumable"
  static const ProductType nonConsumable;  // "Non-Consumable"
  static const ProductType nonRenewable;   // "Non-Renewing Subscription"
  static const ProductType autoRenewable;  // "Auto-Renewable Subscription"
  bool operator==(const ProductType&) const = default;
};

// AppStore.Environment.
struct AppStoreEnvironment {
  std::string rawValue;
  static const AppStoreEnvironment production;  // "Production"
  static const AppStoreEnvironment sandbox;     // "Sandbox"
  static const AppStoreEnvironment xcode;       // "Xcode"
  bool operator==(const AppStoreEnvironment&) const = default;
};

// Transaction.OfferType.
struct OfferType {
  std::string rawValue;
  static const OfferType introductory;  // "Introductory"
  static const OfferType promotional;   // "Promotional"
  static const OfferType code;          // "Code"
  static const OfferType winBack;       // "Win-Back"
  bool operator==(const OfferType&) const = default;
};

// Transaction.Offer.PaymentMode.
struct PaymentMode {
  std::string rawValue;
  static const PaymentMode freeTrial;   // "FREE_TRIAL"
  static const PaymentMode payAsYouGo;  // "PAY_AS_YOU_GO"
  static const PaymentMode payUpFront;  // "PAY_UP_FRONT"
  bool operator==(const PaymentMode&) const = default;
};

// Transaction.Offer: the offer a purchase was made with.
struct TransactionOffer {
  std::optional<std::string> id;
  OfferType type = OfferType::introductory;
  std::optional<PaymentMode> paymentMode;
};

// A product of the catalogue.
struct Product {
  std::string id;
  ProductType type = ProductType::consumable;
  std::string displayName;
  std::string displayPrice;
  // Length of one period of a subscription, in seconds; nullopt for other products.
  std::optional<double> subscriptionPeriod;
};

// One transaction as the store reports it. Dates are seconds since 1970.
struct Transaction {
  uint64_t id = 0;
  uint64_t originalID = 0;
  std::optional<std::string> webOrderLineItemID;
  std::string productID;
  ProductType productType = ProductType::consumable;
  int64_t purchasedQuantity = 1;
  double purchaseDate = 0;
  double originalPurchaseDate = 0;
  std::optional<double> expirationDate;
  std::optional<double> revocationDate;
  std::optional<TransactionOffer> offer;
  AppStoreEnvironment environment = AppStoreEnvironment::production;
  fnd::Data deviceVerification;
  fnd::UUID deviceVerificationNonce;
};

// SHA-384 of lower-case(nonce) followed by lower-case(device-verification ID).
fnd::Data DeviceVerification(const std::string& nonce, const std::string& deviceVerificationID);

// The scripted store. Transaction IDs count up from 1000 in the order transactions are made.
class Store {
 public:
  // The process's store (production, no device-verification ID, empty catalogue).
  static Store& shared();

  Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Adds or replaces a product.
  void addProduct(Product product);
  // The catalogue's products among `ids`, in the order asked; unknown IDs are left out.
  std::vector<Product> products(const std::vector<std::string>& ids) const;

  void setEnvironment(AppStoreEnvironment environment);
  AppStoreEnvironment environment() const;
  // AppStore.deviceVerificationID; nullopt when the device has none.
  void setDeviceVerificationID(std::optional<fnd::UUID> id);
  std::optional<fnd::UUID> deviceVerificationID() const;

  // Buys a catalogue product at `date`: a new transaction with a fresh nonce, verified against the
  // current device-verification ID. A subscription gets an expiration one period later and a web
  // order line item ID. nullopt for a product that is not in the catalogue or a quantity below 1.
  std::optional<Transaction> purchase(const std::string& productID, double date,
                                      int64_t quantity = 1,
                                      std::optional<TransactionOffer> offer = std::nullopt);
  // Renews the subscription that `originalID` started: a new transaction with the same original
  // ID and original purchase date, starting at the last period's expiration. nullopt when there is
  // no such auto-renewable subscription.
  std::optional<Transaction> renew(uint64_t originalID);
  // Refunds a transaction at `date`: its revocation date is set. nullopt for an unknown ID.
  std::optional<Transaction> refund(uint64_t transactionID, double date);

  // Every transaction, in the order made, as it stands now.
  std::vector<Transaction> allTransactions() const;
  std::optional<Transaction> transaction(uint64_t id) const;

 private:
  Transaction makeLocked(const Product& product, double date, int64_t quantity,
                         std::optional<TransactionOffer> offer);

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::map<std::string, Product> catalogue_;
  AppStoreEnvironment environment_ = AppStoreEnvironment::production;
  std::optional<fnd::UUID> deviceVerificationID_;
  std::vector<Transaction> transactions_;
  uint64_t nextID_ = 1000;
};

// AppStore.deviceVerificationID of the shared store.
std::optional<fnd::UUID> AppStoreDeviceVerificationID();

}  // namespace StoreKit
