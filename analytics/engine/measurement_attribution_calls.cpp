// The engine's entries for attribution and purchase measurement: URLs opened while the app runs,
// user data for on-device conversion and the de-duplication of store purchases by fingerprint.
#include <utility>

#include "analytics/attribution/in_app_purchase_transaction_reporter.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/scheduler.h"
#include "analytics/storage/database.h"
#include "platform/dispatch/queue.h"
#include "platform/storekit/storekit.h"

void ZIVMeasurement::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds,
                                                const std::optional<std::string>& referrerURL) {
  components().attribution->handleNonFirstOpenEventURL(url, eventTimestampInSeconds, referrerURL);
}

void ZIVMeasurement::setUserData(const fnd::Dictionary& userData) {
  scheduleWeak("ZIVMeasurement:3457", [userData](ZIVMeasurement& self) {
    self.components().attribution->setUserDataOnWorkerQueue(userData);
  });
}

void ZIVMeasurement::filterPurchaseTransactions(PurchaseCandidates transactions,
                                                std::function<void(PurchaseCandidates)> callback) {
  scheduleWeak("ZIVMeasurement:3935", [transactions = std::move(transactions),
                                       callback = std::move(callback)](ZIVMeasurement& self) {
    std::shared_ptr<ZIVDatabase> database = self.database();
    PurchaseCandidates kept;
    for (const auto& transaction : transactions) {
      if (!transaction || transaction->transactionState != SKPaymentTransactionState::kPurchased) {
        continue;
      }
      const std::string& productID = transaction->payment.productIdentifier;
      const std::string fingerprint =
          ZIVInAppPurchaseTransactionReporter::transactionFingerprint(transaction).value_or("");
      if (fingerprint.empty()) {
        self.log()->logWithLevel(2, 23139,
                                 "Purchase has nil or empty fingerprint. Purchase will not be "
                                 "checked for duplicates. Product ID",
                                 fnd::Value(productID));
        kept.push_back(transaction);
        continue;
      }
      fnd::Error error;
      std::optional<bool> isNew =
          database ? database->insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error)
                   : std::nullopt;
      if (!isNew) {
        // Without an open database the fingerprint cannot be checked either: the purchase is
        // reported rather than lost.
        self.log()->logWithLevel(1, 23140,
                                 "Failed to save purchase fingerprint. Purchase will not be "
                                 "checked for duplicates. Product ID, error",
                                 fnd::Value(productID), fnd::Value(error.description()));
        kept.push_back(transaction);
      } else if (*isNew) {
        kept.push_back(transaction);
      } else {
        self.log()->logWithLevel(4, 23141,
                                 "Purchase is a duplicate and will not be reported. Product ID",
                                 fnd::Value(productID));
      }
    }
    if (!callback) return;
    dispatch::Queue::global()->async(
        [callback, kept = std::move(kept)]() mutable { callback(std::move(kept)); });
  });
}
