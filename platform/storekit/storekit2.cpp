#include "platform/storekit/storekit2.h"

#include <string_view>
#include <utility>

#include "platform/foundation/text.h"
#include "platform/security/digest.h"

namespace StoreKit {

const ProductType ProductType::consumable{"Consumable"};
const ProductType ProductType::nonConsumable{"Non-Consumable"};
const ProductType ProductType::nonRenewable{"Non-Renewing Subscription"};
const ProductType ProductType::autoRenewable{"Auto-Renewable Subscription"};

const AppStoreEnvironment AppStoreEnvironment::production{"Production"};
const AppStoreEnvironment AppStoreEnvironment::sandbox{"Sandbox"};
const AppStoreEnvironment AppStoreEnvironment::xcode{"Xcode"};

const OfferType OfferType::introductory{"Introductory"};
const OfferType OfferType::promotional{"Promotional"};
const OfferType OfferType::code{"Code"};
const OfferType OfferType::winBack{"Win-Back"};

const PaymentMode PaymentMode::freeTrial{"FREE_TRIAL"};
const PaymentMode PaymentMode::payAsYouGo{"PAY_AS_YOU_GO"};
const PaymentMode PaymentMode::payUpFront{"PAY_UP_FRONT"};

fnd::Data DeviceVerification(const std::string& nonce, const std::string& deviceVerificationID) {
  const std::string text = fnd::ToLower(nonce) + fnd::ToLower(deviceVerificationID);
  return security::SHA384(std::string_view(text));
}

Store& Store::shared() {
  static Store& store = *new Store;  // Never destroyed.
  return store;
}

void Store::addProduct(Product product) {
  std::lock_guard<std::mutex> lock(mu_);
  catalogue_[product.id] = std::move(product);
}

std::vector<Product> Store::products(const std::vector<std::string>& ids) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Product> out;
  for (const std::string& id : ids) {
    auto it = catalogue_.find(id);
    if (it != catalogue_.end()) out.push_back(it->second);
  }
  return out;
}

void Store::setEnvironment(AppStoreEnvironment environment) {
  std::lock_guard<std::mutex> lock(mu_);
  environment_ = std::move(environment);
}

AppStoreEnvironment Store::environment() const {
  std::lock_guard<std::mutex> lock(mu_);
  return environment_;
}

void Store::setDeviceVerificationID(std::optional<fnd::UUID> id) {
  std::lock_guard<std::mutex> lock(mu_);
  deviceVerificationID_ = id;
}

std::optional<fnd::UUID> Store::deviceVerificationID() const {
  std::lock_guard<std::mutex> lock(mu_);
  return deviceVerificationID_;
}

Transaction Store::makeLocked(const Product& product, double date, int64_t quantity,
                              std::optional<TransactionOffer> offer) {
  Transaction t;
  t.id = nextID_++;
  t.originalID = t.id;
  t.productID = product.id;
  t.productType = product.type;
  t.purchasedQuantity = quantity;
  t.purchaseDate = date;
  t.originalPurchaseDate = date;
  if (product.type == ProductType::autoRenewable && product.subscriptionPeriod) {
    t.expirationDate = date + *product.subscriptionPeriod;
    t.webOrderLineItemID = std::to_string(t.id + 500000);
  }
  t.offer = std::move(offer);
  t.environment = environment_;
  t.deviceVerificationNonce = fnd::UUID::Random();
  if (deviceVerificationID_) {
    t.deviceVerification = DeviceVerification(t.deviceVerificationNonce.uuidString(),
                                              deviceVerificationID_->uuidString());
  }
  return t;
}

std::optional<Transaction> Store::purchase(const std::string& productID, double date,
                                           int64_t quantity,
                                           std::optional<TransactionOffer> offer) {
  std::lock_guard<std::mutex> lock(mu_);
  auto product = catalogue_.find(productID);
  if (product == catalogue_.end() || quantity < 1) return std::nullopt;
  Transaction t = makeLocked(product->second, date, quantity, std::move(offer));
  transactions_.push_back(t);
  return t;
}

std::optional<Transaction> Store::renew(uint64_t originalID) {
  std::lock_guard<std::mutex> lock(mu_);
  const Transaction* last = nullptr;
  for (const Transaction& t : transactions_) {
    if (t.originalID == originalID) last = &t;
  }
  if (!last || !(last->productType == ProductType::autoRenewable) || !last->expirationDate) {
    return std::nullopt;
  }
  auto product = catalogue_.find(last->productID);
  if (product == catalogue_.end() || !product->second.subscriptionPeriod) return std::nullopt;
  const double start = *last->expirationDate;
  const double originalDate = last->originalPurchaseDate;
  Transaction t = makeLocked(product->second, start, 1, std::nullopt);
  t.originalID = originalID;
  t.originalPurchaseDate = originalDate;
  transactions_.push_back(t);
  return t;
}

std::optional<Transaction> Store::refund(uint64_t transactionID, double date) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Transaction& t : transactions_) {
    if (t.id == transactionID) {
      t.revocationDate = date;
      return t;
    }
  }
  return std::nullopt;
}

std::vector<Transaction> Store::allTransactions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transactions_;
}

std::optional<Transaction> Store::transaction(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Transaction& t : transactions_) {
    if (t.id == id) return t;
  }
  return std::nullopt;
}

std::optional<fnd::UUID> AppStoreDeviceVerificationID() {
  return Store::shared().deviceVerificationID();
}

}  // namespace StoreKit
