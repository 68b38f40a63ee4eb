#include "platform/storekit/storekit.h"

#include <algorithm>

// ---- SKStoreSimulator

SKStoreSimulator::SKStoreSimulator() : queue_(dispatch::Queue::create("SKStoreSimulatorQueue")) {}

const std::shared_ptr<SKStoreSimulator>& SKStoreSimulator::sharedSimulator() {
  static const auto* shared = new std::shared_ptr<SKStoreSimulator>(create());
  return *shared;
}

std::shared_ptr<SKStoreSimulator> SKStoreSimulator::create() {
  return std::shared_ptr<SKStoreSimulator>(new SKStoreSimulator());
}

void SKStoreSimulator::addProduct(SKProduct product) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string identifier = product.productIdentifier;
  catalogue_[identifier] = std::make_shared<const SKProduct>(std::move(product));
}

void SKStoreSimulator::removeAllProducts() {
  std::lock_guard<std::mutex> lock(mu_);
  catalogue_.clear();
}

void SKStoreSimulator::setRequestError(std::optional<fnd::Error> error) {
  std::lock_guard<std::mutex> lock(mu_);
  requestError_ = std::move(error);
}

void SKStoreSimulator::setHoldsRequests(bool holds) {
  std::lock_guard<std::mutex> lock(mu_);
  holdsRequests_ = holds;
}

size_t SKStoreSimulator::answerHeldRequests() {
  std::vector<std::shared_ptr<SKProductsRequest>> held;
  {
    std::lock_guard<std::mutex> lock(mu_);
    held.swap(heldRequests_);
  }
  for (const auto& request : held) answer(request);
  return held.size();
}

std::vector<std::set<std::string>> SKStoreSimulator::startedRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return startedRequests_;
}

SKProductsResponse SKStoreSimulator::responseForIdentifiers(
    const std::set<std::string>& identifiers) const {
  std::lock_guard<std::mutex> lock(mu_);
  SKProductsResponse response;
  for (const std::string& identifier : identifiers) {
    auto found = catalogue_.find(identifier);
    if (found != catalogue_.end()) {
      response.products.push_back(found->second);
    } else {
      response.invalidProductIdentifiers.push_back(identifier);
    }
  }
  return response;
}

void SKStoreSimulator::startRequest(const std::shared_ptr<SKProductsRequest>& request) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    startedRequests_.push_back(request->productIdentifiers());
    if (holdsRequests_) {
      heldRequests_.push_back(request);
      return;
    }
  }
  std::weak_ptr<SKStoreSimulator> weakSelf = shared_from_this();
  queue_->async([weakSelf, request] {
    if (auto self = weakSelf.lock()) self->answer(request);
  });
}

void SKStoreSimulator::answer(const std::shared_ptr<SKProductsRequest>& request) {
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = requestError_;
  }
  std::shared_ptr<SKProductsRequestDelegate> delegate = request->delegate();
  if (!delegate) return;
  if (error) {
    delegate->requestDidFailWithError(*request, *error);
  } else {
    delegate->productsRequestDidReceiveResponse(
        *request, responseForIdentifiers(request->productIdentifiers()));
  }
  delegate->requestDidFinish(*request);
}

// ---- SKProductsRequest

SKProductsRequest::SKProductsRequest(std::set<std::string> productIdentifiers,
                                     std::shared_ptr<SKStoreSimulator> store)
    : productIdentifiers_(std::move(productIdentifiers)), store_(std::move(store)) {}

std::shared_ptr<SKProductsRequest> SKProductsRequest::initWithProductIdentifiers(
    std::set<std::string> productIdentifiers, std::shared_ptr<SKStoreSimulator> store) {
  if (!store) store = SKStoreSimulator::sharedSimulator();
  return std::shared_ptr<SKProductsRequest>(
      new SKProductsRequest(std::move(productIdentifiers), std::move(store)));
}

void SKProductsRequest::setDelegate(std::weak_ptr<SKProductsRequestDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<SKProductsRequestDelegate> SKProductsRequest::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void SKProductsRequest::start() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (started_) return;
    started_ = true;
  }
  store_->startRequest(shared_from_this());
}

void SKProductsRequest::cancel() {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_.reset();
}

// ---- SKPaymentQueue

SKPaymentQueue& SKPaymentQueue::defaultQueue() {
  static auto* queue = new SKPaymentQueue();
  return *queue;
}

void SKPaymentQueue::addTransactionObserver(
    const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
  if (!observer) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& existing : observers_) {
    if (existing.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
  std::lock_guard<std::mutex> lock(mu_);
  observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                  [observer](const auto& weak) {
                                    auto strong = weak.lock();
                                    return !strong || strong.get() == observer;
                                  }),
                   observers_.end());
}

size_t SKPaymentQueue::observerCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<size_t>(std::count_if(observers_.begin(), observers_.end(),
                                           [](const auto& weak) { return !weak.expired(); }));
}

void SKPaymentQueue::updateTransactions(const std::vector<SKPaymentTransactionPtr>& transactions) {
  std::vector<std::shared_ptr<SKPaymentTransactionObserver>> observers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& transaction : transactions) {
      if (!transaction) continue;
      if (std::find(transactions_.begin(), transactions_.end(), transaction) ==
          transactions_.end()) {
        transactions_.push_back(transaction);
      }
    }
    for (const auto& weak : observers_) {
      if (auto observer = weak.lock()) observers.push_back(std::move(observer));
    }
  }
  for (const auto& observer : observers)
    observer->paymentQueueUpdatedTransactions(*this, transactions);
}

void SKPaymentQueue::finishTransaction(const SKPaymentTransactionPtr& transaction) {
  std::lock_guard<std::mutex> lock(mu_);
  transactions_.erase(std::remove(transactions_.begin(), transactions_.end(), transaction),
                      transactions_.end());
}

std::vector<SKPaymentTransactionPtr> SKPaymentQueue::transactions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transactions_;
}
