#include "analytics/engine/azodavevu_storekit2.h"

#include <string>

#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/engine/azodavevu.h"

int64_t zivIntValue(const StoreKit::ProductType& productType) {
  if (productType == StoreKit::ProductType::consumable) return 1;
  if (productType == StoreKit::ProductType::nonRenewable) return 2;
  if (productType == StoreKit::ProductType::autoRenewable) return 3;
  return 0;  // Non-consumable, and any type the store adds later.
}

void DEVAzodavevu::logTransaction(const StoreKit::Transaction& transaction) {
  const bool offersKnown = isOperatingSystemAtLeast_(fnd::OperatingSystemVersion{14, 2, 0});
  const bool isFreeTrial = offersKnown && transaction.offer && transaction.offer->paymentMode &&
                           *transaction.offer->paymentMode == StoreKit::PaymentMode::freeTrial;
  const bool isIntroductoryOffer = offersKnown && transaction.offer &&
                                   transaction.offer->type == StoreKit::OfferType::introductory;
  std::optional<std::string> environment;
  if (isOperatingSystemAtLeast_(fnd::OperatingSystemVersion{16, 0, 0})) {
    environment = transaction.environment.rawValue;
  }
  std::optional<std::string> deviceID;
  if (std::optional<fnd::UUID> id = deviceVerificationID_()) deviceID = id->uuidString();
  const bool verified = verifyTransactionWithDeviceVerification(
      transaction.deviceVerification, deviceID, transaction.deviceVerificationNonce.uuidString());

  ZIVStoreKit2Transaction report;
  report.productID = transaction.productID;
  report.transactionID = std::to_string(transaction.id);
  report.originalTransactionID = std::to_string(transaction.originalID);
  report.webOrderLineItemID = transaction.webOrderLineItemID;
  report.productType = zivIntValue(transaction.productType);
  report.isFreeTrial = isFreeTrial;
  report.isIntroductoryOffer = isIntroductoryOffer;
  report.paymentQuantity = transaction.purchasedQuantity;
  report.purchaseDate = transaction.purchaseDate;
  report.originalPurchaseDate = transaction.originalPurchaseDate;
  report.subscriptionExpirationDate = transaction.expirationDate;
  report.cancellationDate = transaction.revocationDate;
  report.environment = environment;
  report.isVerified = verified;
  logTransactionWithProductID(report);
}
