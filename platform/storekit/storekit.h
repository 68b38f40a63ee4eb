// StoreKit, simulated in memory: store products and their introductory offers, product requests
// with their delegate, the payment queue with its transaction observers, and payment
// transactions. Nothing reaches a real store: an SKStoreSimulator holds the catalogue that
// product requests are answered from and the scripted failures, and a test drives the payment
// queue by handing it transactions to announce.
//
// Delivery: a product request answers its delegate on the simulator's own serial queue
// ("SKStoreSimulatorQueue"), asynchronously, unless the simulator holds requests; held requests
// are answered by answerHeldRequests(). The payment queue announces transactions to its observers
// on the thread that calls updateTransactions(), in the order the observers were added.
//
// Thread safety: every method may be called from any thread; delegate and observer calls are made
// outside every lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/storekit/decimal_number.h"

// How an introductory offer is paid.
enum class SKProductDiscountPaymentMode : int64_t {
  kPayAsYouGo = 0,
  kPayUpFront = 1,
  kFreeTrial = 2,
};

// An introductory offer of a product.
struct SKProductDiscount {
  std::optional<SKDecimalNumber> price;
  SKProductDiscountPaymentMode paymentMode = SKProductDiscountPaymentMode::kPayAsYouGo;
};

// A product as the store describes it. Fields left empty are what the store did not give.
struct SKProduct {
  std::string productIdentifier;
  std::optional<std::string> localizedTitle;
  std::optional<SKDecimalNumber> price;
  // The currency code of the product's price locale ("USD").
  std::optional<std::string> currencyCode;
  std::shared_ptr<const SKProductDiscount> introductoryPrice;
};
using SKProductPtr = std::shared_ptr<const SKProduct>;

// What a product request answers.
struct SKProductsResponse {
  std::vector<SKProductPtr> products;
  std::vector<std::string> invalidProductIdentifiers;
};

class SKProductsRequest;

// Told how one product request ended: a response, or a failure; then that the request finished.
class SKProductsRequestDelegate {
 public:
  virtual ~SKProductsRequestDelegate() = default;
  virtual void productsRequestDidReceiveResponse(SKProductsRequest& request,
                                                 const SKProductsResponse& response) = 0;
  virtual void requestDidFailWithError(SKProductsRequest& request, const fnd::Error& error) = 0;
  virtual void requestDidFinish(SKProductsRequest& /*request*/) {}
};

// The store that requests are answered from. A test fills the catalogue and scripts failures.
class SKStoreSimulator : public std::enable_shared_from_this<SKStoreSimulator> {
 public:
  // The process's store, made once (an empty catalogue).
  static const std::shared_ptr<SKStoreSimulator>& sharedSimulator();
  static std::shared_ptr<SKStoreSimulator> create();

  // Adds or replaces a product of the catalogue.
  void addProduct(SKProduct product);
  void removeAllProducts();
  // The next requests fail with this error (nullopt: answer from the catalogue again).
  void setRequestError(std::optional<fnd::Error> error);
  // While holding, requests wait until answerHeldRequests().
  void setHoldsRequests(bool holds);
  // Answers every held request now, on the calling thread. Returns how many were answered.
  size_t answerHeldRequests();
  // How many requests were started, and the identifiers each one asked for.
  std::vector<std::set<std::string>> startedRequests() const;

  // Answer for a set of identifiers: catalogue products, the rest invalid.
  SKProductsResponse responseForIdentifiers(const std::set<std::string>& identifiers) const;

 private:
  friend class SKProductsRequest;
  SKStoreSimulator();
  // Queues or holds the answer of one started request.
  void startRequest(const std::shared_ptr<SKProductsRequest>& request);
  void answer(const std::shared_ptr<SKProductsRequest>& request);

  const std::shared_ptr<dispatch::Queue> queue_;
  mutable std::mutex mu_;
  std::map<std::string, SKProductPtr> catalogue_;                 // Guarded by mu_.
  std::optional<fnd::Error> requestError_;                        // Guarded by mu_.
  bool holdsRequests_ = false;                                    // Guarded by mu_.
  std::vector<std::shared_ptr<SKProductsRequest>> heldRequests_;  // Guarded by mu_.
  std::vector<std::set<std::string>> startedRequests_;            // Guarded by mu_.
};

// One request for products by identifier. Keeps itself alive from start() until its delegate has
// been told the outcome.
class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
 public:
  // A request against `store` (the shared simulator when null).
  static std::shared_ptr<SKProductsRequest> initWithProductIdentifiers(
      std::set<std::string> productIdentifiers, std::shared_ptr<SKStoreSimulator> store = nullptr);

  const std::set<std::string>& productIdentifiers() const { return productIdentifiers_; }
  // The delegate is held weakly.
  void setDelegate(std::weak_ptr<SKProductsRequestDelegate> delegate);
  // Sends the request once; later calls do nothing.
  void start();
  // Drops the delegate: no callback is made after this.
  void cancel();

 private:
  friend class SKStoreSimulator;
  SKProductsRequest(std::set<std::string> productIdentifiers,
                    std::shared_ptr<SKStoreSimulator> store);
  std::shared_ptr<SKProductsRequestDelegate> delegate() const;

  const std::set<std::string> productIdentifiers_;
  const std::shared_ptr<SKStoreSimulator> store_;
  mutable std::mutex mu_;
  std::weak_ptr<SKProductsRequestDelegate> delegate_;  // Guarded by mu_.
  bool started_ = false;                               // Guarded by mu_.
};

// States of a payment transaction.
enum class SKPaymentTransactionState : int64_t {
  kPurchasing = 0,
  kPurchased = 1,
  kFailed = 2,
  kRestored = 3,
  kDeferred = 4,
};

// What the user asked to buy.
struct SKPayment {
  std::string productIdentifier;
  int64_t quantity = 1;
};

// One payment as the queue reports it.
struct SKPaymentTransaction {
  SKPayment payment;
  SKPaymentTransactionState transactionState = SKPaymentTransactionState::kPurchasing;
  std::optional<std::string> transactionIdentifier;
  // Seconds since 1970.
  std::optional<double> transactionDate;
  // The purchase this one restores or renews.
  std::shared_ptr<const SKPaymentTransaction> originalTransaction;
  std::optional<fnd::Error> error;
};
using SKPaymentTransactionPtr = std::shared_ptr<const SKPaymentTransaction>;

class SKPaymentQueue;

// Told about transactions that changed.
class SKPaymentTransactionObserver {
 public:
  virtual ~SKPaymentTransactionObserver() = default;
  virtual void paymentQueueUpdatedTransactions(
      SKPaymentQueue& queue, const std::vector<SKPaymentTransactionPtr>& transactions) = 0;
};

class SKPaymentQueue {
 public:
  // The process's queue, made once.
  static SKPaymentQueue& defaultQueue();

  SKPaymentQueue() = default;
  SKPaymentQueue(const SKPaymentQueue&) = delete;
  SKPaymentQueue& operator=(const SKPaymentQueue&) = delete;

  // Observers are held weakly; adding one twice keeps one entry.
  void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
  void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
  size_t observerCount() const;

  // The store announces changed transactions: every live observer hears them, in the order the
  // observers were added, on the calling thread. Transactions not yet finished stay in
  // transactions().
  void updateTransactions(const std::vector<SKPaymentTransactionPtr>& transactions);
  // Removes a transaction from the unfinished ones.
  void finishTransaction(const SKPaymentTransactionPtr& transaction);
  std::vector<SKPaymentTransactionPtr> transactions() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;  // Guarded by mu_.
  std::vector<SKPaymentTransactionPtr> transactions_;                   // Guarded by mu_.
};
