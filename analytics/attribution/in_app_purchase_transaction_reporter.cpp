#include "analytics/attribution/in_app_purchase_transaction_reporter.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "analytics/attribution/purchase_parameters.h"
#include "analytics/attribution/receipt_parser.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/measurement_components.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/text.h"

namespace {

ZIVInAppPurchaseTransactionReporterEnvironment Complete(
    ZIVInAppPurchaseTransactionReporterEnvironment environment) {
  if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
  if (!environment.productCache)
    environment.productCache = ZIVInAppPurchaseProductCache::sharedInstance();
  if (!environment.receiptData) {
    environment.receiptData = []() -> std::optional<fnd::Data> {
      std::optional<std::string> path = APMAEU::appStoreRURL();
      if (!path) return std::nullopt;
      return fnd::ReadFileData(*path);
    };
  }
  if (!environment.isSandboxReceipt) environment.isSandboxReceipt = [] { return APMAEU::isASRS(); };
  if (!environment.receiptValidates) environment.receiptValidates = [] { return ZIVParseData(); };
  if (!environment.logInternalEvent) {
    environment.logInternalEvent = [](const std::string& origin, const std::string& name,
                                      const fnd::Dictionary& parameters) {
      // The facade queues the event behind earlier public calls; without one nothing is logged.
      (void)ZIVMeasurementInstalledComponents().facade->logInternalEvent(origin, name, parameters);
    };
  }
  return environment;
}

bool IsOne(const ZIVEvent::Parameters& parameters, const char* key) {
  auto found = parameters.find(key);
  return found != parameters.end() && found->second && found->second->isInt64() &&
         found->second->int64Value() == 1;
}

}  // namespace

ZIVInAppPurchaseTransactionReporter::ZIVInAppPurchaseTransactionReporter(Environment environment)
    : environment_(Complete(std::move(environment))),
      queue_(dispatch::Queue::create("ZIVInAppPurchaseTransactionReporter")) {}

const std::shared_ptr<ZIVInAppPurchaseTransactionReporter>&
ZIVInAppPurchaseTransactionReporter::sharedInstance() {
  static const auto* shared = new std::shared_ptr<ZIVInAppPurchaseTransactionReporter>(create());
  return *shared;
}

std::shared_ptr<ZIVInAppPurchaseTransactionReporter> ZIVInAppPurchaseTransactionReporter::create(
    Environment environment) {
  return std::shared_ptr<ZIVInAppPurchaseTransactionReporter>(
      new ZIVInAppPurchaseTransactionReporter(std::move(environment)));
}

std::optional<std::string> ZIVInAppPurchaseTransactionReporter::transactionFingerprint(
    const SKPaymentTransactionPtr& transaction) {
  ZIVMonitor& monitor = *ZIVMeasurement::monitor();
  if (!transaction) {
    monitor.logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != SKPaymentTransactionState::kPurchased) return std::nullopt;
  const fnd::Value code =
      transaction->error ? fnd::Value::Int64(transaction->error->code()) : fnd::Value();
  if (!transaction->transactionIdentifier) {
    monitor.logWithLevel(2, 21015, "Transaction identifier is nil. Code", code);
    return std::nullopt;
  }
  const std::string& identifier = *transaction->transactionIdentifier;
  if (identifier.empty()) {
    monitor.logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (identifier.find_first_not_of("0-") == std::string::npos) {
    monitor.logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return ziv_MD5String(identifier);
}

void ZIVInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::vector<SKPaymentTransactionPtr>& transactions) {
  std::vector<SKPaymentTransactionPtr> kept;
  std::set<std::string> missing;
  for (const auto& transaction : transactions) {
    if (!transaction || transaction->transactionState != SKPaymentTransactionState::kPurchased) {
      continue;
    }
    const std::string identifier = transaction->payment.productIdentifier;
    if (identifier.empty()) continue;
    kept.push_back(transaction);
    if (!environment_.productCache->cachedProductForProductIdentifier(identifier)) {
      missing.insert(identifier);
    }
  }
  if (kept.empty()) return;
  std::weak_ptr<ZIVInAppPurchaseTransactionReporter> weakSelf = shared_from_this();
  if (missing.empty()) {
    queue_->async([weakSelf, kept] {
      if (auto self = weakSelf.lock()) self->reportTransactionsFromArray(kept);
    });
    return;
  }
  environment_.productCache->requestProductsWithProductIdentifiers(
      missing, queue_,
      [weakSelf, kept](const ZIVProductsDictionary& products, const std::set<std::string>&,
                       const std::optional<fnd::Error>& error) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (!error || !products.empty()) {
          self->reportTransactionsFromArray(kept);
        } else {
          self->environment_.monitor->logWithLevel(
              1, 21027, "Cannot request product information. Error", ZIVErrorContext(*error));
        }
      });
}

void ZIVInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<SKPaymentTransactionPtr>& transactions) {
  parsePurchasedItemsFromReceipt();
  for (const auto& transaction : transactions) {
    SKProductPtr product = environment_.productCache->cachedProductForProductIdentifier(
        transaction->payment.productIdentifier);
    const std::optional<std::string> originalID =
        transaction->originalTransaction ? transaction->originalTransaction->transactionIdentifier
                                         : std::nullopt;
    reportTransactionWithProduct(
        product, static_cast<uint64_t>(std::max<int64_t>(0, transaction->payment.quantity)),
        transaction->transactionIdentifier, originalID, transaction->transactionDate, true,
        std::nullopt, ZIVStoreKitVersion1);
  }
  allPurchaseItems_.reset();
}

void ZIVInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() {
  std::optional<fnd::Data> receipt = environment_.receiptData();
  if (!receipt || receipt->empty()) return;
  allPurchaseItems_ = ZIVParsePurchaseItems(*receipt);
  environment_.monitor->logWithLevel(7, 21028, "Parsed purchase items from receipt");
}

std::optional<std::string> ZIVInAppPurchaseTransactionReporter::ia5StringFromDate(
    const std::optional<double>& date) {
  if (!date || !std::isfinite(*date)) return std::nullopt;
  return ZIVIAPStringFromDate(*date);
}

void ZIVInAppPurchaseTransactionReporter::reportTransaction(const ZIVStoreKit2Transaction& t) {
  std::weak_ptr<ZIVInAppPurchaseTransactionReporter> weakSelf = shared_from_this();
  queue_->async([weakSelf, t] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->parsePurchasedItemsFromReceipt();
    bool known = false;
    if (self->allPurchaseItems_) {
      for (const auto& item : *self->allPurchaseItems_) {
        if (item && item->transactionID == t.transactionID) known = true;
      }
    }
    if (t.isVerified && !known) {
      auto item = std::make_shared<ZIVInAppPurchaseItem>();
      item->freeTrial = t.isFreeTrial;
      item->introductoryOffer = t.isIntroductoryOffer;
      item->subscriptionExpirationDateIA5String = ia5StringFromDate(t.subscriptionExpirationDate);
      item->originalPurchaseDateIA5String = ia5StringFromDate(t.originalPurchaseDate);
      item->purchaseDateIA5String = ia5StringFromDate(t.purchaseDate);
      item->cancellationDateIA5String = ia5StringFromDate(t.cancellationDate);
      item->productID = t.productID;
      item->originalTransactionID = t.originalTransactionID;
      item->transactionID = t.transactionID;
      if (t.webOrderLineItemID) {
        // The integer value of the text, as far as it reads; 0 leaves no number.
        const std::string& text = *t.webOrderLineItemID;
        uint64_t value = 0;
        for (char c : text) {
          if (c < '0' || c > '9') break;
          value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX
                                                : value * 10 + static_cast<uint64_t>(c - '0');
        }
        item->webOrderLineItemID = value;
      }
      item->purchaseType = t.productType;
      std::vector<ZIVInAppPurchaseItemPtr> items{item};
      if (self->allPurchaseItems_) {
        items.insert(items.end(), self->allPurchaseItems_->begin(), self->allPurchaseItems_->end());
      }
      self->allPurchaseItems_ = std::move(items);
    }
    // Whole seconds, as the receipt writes them.
    const std::optional<double> transactionDate =
        ZIVIAPDateFromString(ia5StringFromDate(t.purchaseDate));
    auto continuation = [weakSelf, t, transactionDate](const SKProductPtr& product) {
      if (auto self = weakSelf.lock()) {
        self->reportTransactionWithProduct(
            product, static_cast<uint64_t>(std::max<int64_t>(0, t.paymentQuantity)),
            t.transactionID, t.originalTransactionID, transactionDate, !t.isVerified, t.environment,
            ZIVStoreKitVersion2);
      }
    };
    if (SKProductPtr product =
            self->environment_.productCache->cachedProductForProductIdentifier(t.productID)) {
      continuation(product);
      return;
    }
    self->environment_.productCache->requestProductsWithProductIdentifiers(
        {t.productID}, self->queue_,
        [weakSelf, continuation](const ZIVProductsDictionary& products,
                                 const std::set<std::string>&,
                                 const std::optional<fnd::Error>& error) {
          auto self = weakSelf.lock();
          if (!self) return;
          if (!products.empty()) {
            continuation(products.begin()->second);
            return;
          }
          self->environment_.monitor->logWithLevel(1, 21027,
                                                   "Cannot request product information. Error",
                                                   error ? ZIVErrorContext(*error) : fnd::Value());
        });
  });
}

void ZIVInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const SKProductPtr& product, uint64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID,
    const std::optional<double>& transactionDate, bool verifyReceipt,
    const std::optional<std::string>& environment, const std::string& storeKitVersion) {
  std::optional<ZIVEvent::Parameters> built =
      ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(
          product, quantity, transactionID, originalTransactionID, transactionDate,
          allPurchaseItems_);
  if (!built || built->empty()) return;
  const std::string lowered = environment ? fnd::ToLower(*environment) : std::string();
  const bool sandbox =
      lowered == "sandbox" || lowered == "xcode" || environment_.isSandboxReceipt();
  ZIVEvent::Parameters parameters = *built;
  const bool invalid = IsOne(parameters, kZIVParameterInAppPurchaseInvalid);
  std::string name;
  auto one = ZIVValue::initWithInt64(1);
  if (verifyReceipt) {
    if (environment_.receiptValidates() && !invalid) {
      name = "_iap";
    } else {
      if (sandbox) parameters["sandbox"] = one;
      parameters.erase(kZIVParameterInAppPurchaseInvalid);
      name = "_iapx";
    }
  } else if (!invalid) {
    parameters["validated"] = one;
    if (sandbox) parameters["sandbox"] = one;
    name = "_iap";
  } else {
    if (sandbox) parameters["sandbox"] = one;
    parameters.erase(kZIVParameterInAppPurchaseInvalid);
    name = "_iapx";
  }
  if (IsOne(parameters, kZIVParameterIsSubscriptionRenewal)) {
    parameters.erase(kZIVParameterIsSubscriptionRenewal);
    name = "_assr";
  }
  if (IsOne(parameters, kZIVParameterIsSubscriptionConversion)) {
    parameters.erase(kZIVParameterIsSubscriptionConversion);
    name = "_assc";
  }
  parameters["_skv"] = ZIVValue::initWithString(storeKitVersion);
  environment_.logInternalEvent("auto", name, ZIVParametersAsDictionary(parameters));
}

void ZIVInAppPurchaseTransactionReporter::flush() {
  queue_->sync([] {});
}

std::optional<std::vector<ZIVInAppPurchaseItemPtr>>
ZIVInAppPurchaseTransactionReporter::allPurchaseItems() {
  std::optional<std::vector<ZIVInAppPurchaseItemPtr>> copy;
  queue_->sync([&] { copy = allPurchaseItems_; });
  return copy;
}
