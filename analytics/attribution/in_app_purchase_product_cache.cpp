#include "analytics/attribution/in_app_purchase_product_cache.h"

#include "analytics/foundation/errors.h"

// ---- ZIVProductsRequest

ZIVProductsRequest::ZIVProductsRequest(std::shared_ptr<SKProductsRequest> request)
    : productsRequest_(std::move(request)) {}

std::shared_ptr<ZIVProductsRequest> ZIVProductsRequest::initWithProductIdentifiers(
    const std::set<std::string>& identifiers, std::shared_ptr<SKStoreSimulator> store) {
  if (identifiers.empty()) return nullptr;
  auto request = SKProductsRequest::initWithProductIdentifiers(identifiers, std::move(store));
  if (!request) return nullptr;
  return std::shared_ptr<ZIVProductsRequest>(new ZIVProductsRequest(std::move(request)));
}

void ZIVProductsRequest::requestProductsWithProductIdentifiers(
    const std::set<std::string>& identifiers, std::shared_ptr<dispatch::Queue> queue,
    ZIVProductsCompletion completion, std::shared_ptr<SKStoreSimulator> store) {
  if (!queue || !completion) return;
  auto request = initWithProductIdentifiers(identifiers, std::move(store));
  if (!request) {
    queue->async(
        [completion] { completion({}, {}, ziv_errorWithCode(1, "Invalid product identifiers")); });
    return;
  }
  // The completion holds the request, which keeps it alive until it has answered.
  request->requestWithQueue(
      std::move(queue),
      [request, completion](
          const ZIVProductsDictionary& products, const std::set<std::string>& invalid,
          const std::optional<fnd::Error>& error) { completion(products, invalid, error); });
}

void ZIVProductsRequest::requestWithQueue(std::shared_ptr<dispatch::Queue> queue,
                                          ZIVProductsCompletion completion) {
  std::shared_ptr<SKProductsRequest> request;
  {
    std::lock_guard<std::mutex> lock(mu_);
    completionHandler_ = std::move(completion);
    queue_ = std::move(queue);
    request = productsRequest_;
  }
  if (!request) return;
  request->setDelegate(weak_from_this());
  request->start();
}

void ZIVProductsRequest::clearInstance() {
  std::shared_ptr<SKProductsRequest> request;
  ZIVProductsCompletion completion;
  {
    std::lock_guard<std::mutex> lock(mu_);
    request.swap(productsRequest_);
    completion.swap(completionHandler_);
    queue_.reset();
  }
  if (request) request->cancel();
  // `completion` (which may hold this object) is released here, outside the lock.
}

void ZIVProductsRequest::productsRequestDidReceiveResponse(SKProductsRequest& /*request*/,
                                                           const SKProductsResponse& response) {
  ZIVProductsDictionary products;
  for (const auto& product : response.products) {
    if (product && !product->productIdentifier.empty()) {
      products[product->productIdentifier] = product;
    }
  }
  std::set<std::string> invalid(response.invalidProductIdentifiers.begin(),
                                response.invalidProductIdentifiers.end());
  finish(std::move(products), std::move(invalid), std::nullopt);
}

void ZIVProductsRequest::requestDidFailWithError(SKProductsRequest& /*request*/,
                                                 const fnd::Error& error) {
  finish({}, {}, error);
}

void ZIVProductsRequest::finish(ZIVProductsDictionary products, std::set<std::string> invalid,
                                std::optional<fnd::Error> error) {
  std::shared_ptr<dispatch::Queue> queue;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue = queue_;
  }
  if (!queue) return;
  std::weak_ptr<ZIVProductsRequest> weakSelf = weak_from_this();
  queue->async([weakSelf, products = std::move(products), invalid = std::move(invalid),
                error = std::move(error)] {
    auto self = weakSelf.lock();
    if (!self) return;
    ZIVProductsCompletion completion;
    {
      std::lock_guard<std::mutex> lock(self->mu_);
      completion = self->completionHandler_;
    }
    if (!completion) return;
    completion(products, invalid, error);
    self->clearInstance();
  });
}

// ---- ZIVInAppPurchaseProductCache

ZIVInAppPurchaseProductCache::ZIVInAppPurchaseProductCache(std::shared_ptr<SKStoreSimulator> store)
    : store_(std::move(store)),
      lockQueue_(dispatch::Queue::create("com.rivado.measurement.InAppPurchaseProductCache")) {}

const std::shared_ptr<ZIVInAppPurchaseProductCache>&
ZIVInAppPurchaseProductCache::sharedInstance() {
  static const auto* shared = new std::shared_ptr<ZIVInAppPurchaseProductCache>(create());
  return *shared;
}

std::shared_ptr<ZIVInAppPurchaseProductCache> ZIVInAppPurchaseProductCache::create(
    std::shared_ptr<SKStoreSimulator> store) {
  return std::shared_ptr<ZIVInAppPurchaseProductCache>(
      new ZIVInAppPurchaseProductCache(std::move(store)));
}

SKProductPtr ZIVInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& identifier) {
  SKProductPtr product;
  lockQueue_->sync([&] {
    auto found = validProducts_.find(identifier);
    if (found != validProducts_.end()) product = found->second;
  });
  return product;
}

size_t ZIVInAppPurchaseProductCache::validProductCount() {
  size_t count = 0;
  lockQueue_->sync([&] { count = validProducts_.size(); });
  return count;
}

size_t ZIVInAppPurchaseProductCache::invalidIdentifierCount() {
  size_t count = 0;
  lockQueue_->sync([&] { count = invalidProductIdentifiers_.size(); });
  return count;
}

void ZIVInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& identifiers, std::shared_ptr<dispatch::Queue> queue,
    ZIVProductsCompletion completion) {
  if (!queue || !completion) return;
  std::weak_ptr<ZIVInAppPurchaseProductCache> weakSelf = shared_from_this();
  ZIVProductsRequest::requestProductsWithProductIdentifiers(
      identifiers, lockQueue_,
      [weakSelf, queue, completion](const ZIVProductsDictionary& products,
                                    const std::set<std::string>& invalid,
                                    const std::optional<fnd::Error>& error) {
        if (auto self = weakSelf.lock()) {
          for (const auto& [identifier, product] : products)
            self->validProducts_[identifier] = product;
          for (const auto& identifier : invalid) self->validProducts_.erase(identifier);
          self->invalidProductIdentifiers_.insert(invalid.begin(), invalid.end());
          for (const auto& entry : products) self->invalidProductIdentifiers_.erase(entry.first);
          if (self->validProducts_.size() + self->invalidProductIdentifiers_.size() >
              kZIVProductCacheMaxEntries) {
            self->validProducts_ = products;
            self->invalidProductIdentifiers_ = invalid;
          }
        }
        queue->async(
            [completion, products, invalid, error] { completion(products, invalid, error); });
      },
      store_);
}
