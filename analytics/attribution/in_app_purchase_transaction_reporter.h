// ZIVInAppPurchaseTransactionReporter: turns completed store purchases into internal events of
// origin "auto": "_iap" (a purchase), "_iapx" (one the receipt does not confirm), "_assr" (a
// renewal of an auto-renewable subscription) and "_assc" (a free trial that converts to paid).
// Payment-queue transactions arrive in batches (after the engine's de-duplication by
// fingerprint); StoreKit 2 transactions arrive one at a time with their fields. Both end in one
// single-transaction report that builds the parameters against the receipt's purchase items,
// names the event and hands it to the facade. The reporter only measures: it never finishes,
// refuses or restores a transaction.
//
// The receipt's purchase items are read, replaced and extended only on the reporter's own serial
// queue ("ZIVInAppPurchaseTransactionReporter"), where every report runs.
//
// Log codes 21014 to 21028 through the monitor.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/attribution/in_app_purchase_item.h"
#include "analytics/attribution/in_app_purchase_product_cache.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"
#include "platform/storekit/storekit.h"

class ZIVMonitor;

inline constexpr const char* ZIVStoreKitVersion1 = "1";
inline constexpr const char* ZIVStoreKitVersion2 = "2";

// What the reporter reads from its surroundings; empty members take the process's own.
struct ZIVInAppPurchaseTransactionReporterEnvironment {
  std::shared_ptr<ZIVMonitor> monitor;                         // [ZIVMeasurement::monitor()]
  std::shared_ptr<ZIVInAppPurchaseProductCache> productCache;  // [the shared cache]
  // The receipt file's bytes, nullopt when there is none or it is switched off [APMAEU].
  std::function<std::optional<fnd::Data>()> receiptData;
  std::function<bool()> isSandboxReceipt;  // [APMAEU::isASRS()]
  std::function<bool()> receiptValidates;  // [ZIVParseData()]
  // The facade's internal-event entry [the installed engine facade, else the engine].
  std::function<void(const std::string& origin, const std::string& name,
                     const fnd::Dictionary& parameters)>
      logInternalEvent;
};

// The fields of a StoreKit 2 transaction.
struct ZIVStoreKit2Transaction {
  std::string productID;
  std::string transactionID;
  std::string originalTransactionID;
  std::optional<std::string> webOrderLineItemID;
  int64_t productType = 0;
  bool isFreeTrial = false;
  bool isIntroductoryOffer = false;
  int64_t paymentQuantity = 1;
  // Seconds since 1970.
  std::optional<double> purchaseDate;
  std::optional<double> originalPurchaseDate;
  std::optional<double> subscriptionExpirationDate;
  std::optional<double> cancellationDate;
  std::optional<std::string> environment;
  bool isVerified = false;
};

class ZIVInAppPurchaseTransactionReporter
    : public std::enable_shared_from_this<ZIVInAppPurchaseTransactionReporter> {
 public:
  using Environment = ZIVInAppPurchaseTransactionReporterEnvironment;

  static const std::shared_ptr<ZIVInAppPurchaseTransactionReporter>& sharedInstance();
  static std::shared_ptr<ZIVInAppPurchaseTransactionReporter> create(Environment environment = {});

  // MD5 (lower-case hex) of a purchased transaction's identifier; nullopt (logged) for none,
  // another state, an empty identifier or one made only of "0" and "-".
  static std::optional<std::string> transactionFingerprint(
      const SKPaymentTransactionPtr& transaction);

  // A batch that passed de-duplication: purchased transactions with a product identifier are
  // reported once their products are known.
  void paymentQueueUpdatedFilteredTransactions(
      const std::vector<SKPaymentTransactionPtr>& transactions);
  // StoreKit 2 entry.
  void reportTransaction(const ZIVStoreKit2Transaction& transaction);

  // The receipt date text of a time, nullopt for none.
  static std::optional<std::string> ia5StringFromDate(const std::optional<double>& date);

  // Waits until every report queued so far has run (for tests and orderly shutdown).
  void flush();
  // A copy of the current purchase items, read on the reporter's queue.
  std::optional<std::vector<ZIVInAppPurchaseItemPtr>> allPurchaseItems();

 private:
  explicit ZIVInAppPurchaseTransactionReporter(Environment environment);

  // REQUIRES: on queue_.
  void reportTransactionsFromArray(const std::vector<SKPaymentTransactionPtr>& transactions);
  void parsePurchasedItemsFromReceipt();
  void reportTransactionWithProduct(const SKProductPtr& product, uint64_t quantity,
                                    const std::optional<std::string>& transactionID,
                                    const std::optional<std::string>& originalTransactionID,
                                    const std::optional<double>& transactionDate,
                                    bool verifyReceipt,
                                    const std::optional<std::string>& environment,
                                    const std::string& storeKitVersion);

  // Constant after construction.
  const Environment environment_;
  const std::shared_ptr<dispatch::Queue> queue_;
  // On queue_ only.
  std::optional<std::vector<ZIVInAppPurchaseItemPtr>> allPurchaseItems_;
};
