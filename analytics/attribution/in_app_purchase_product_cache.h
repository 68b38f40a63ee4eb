// ZIVInAppPurchaseProductCache: the store products the purchase reporter needs (price, currency,
// title, introductory offer), kept by product identifier together with the identifiers the store
// called invalid, and asked of the store when missing. ZIVProductsRequest wraps one store product
// request and turns its delegate callbacks into one completion on a queue the caller names.
//
// The cache is bounded: when a merge brings valid products and invalid identifiers together above
// 100, only that response is kept.
//
// Thread safety: every method may be called from any thread. The two collections are touched only
// on the cache's own serial queue; completions run on the caller's queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/storekit/storekit.h"

using ZIVProductsDictionary = std::map<std::string, SKProductPtr>;
using ZIVProductsCompletion = std::function<void(
    const ZIVProductsDictionary& products, const std::set<std::string>& invalidProductIdentifiers,
    const std::optional<fnd::Error>& error)>;

inline constexpr size_t kZIVProductCacheMaxEntries = 100;

// One product request. Alive from start until its completion has run.
class ZIVProductsRequest : public SKProductsRequestDelegate,
                           public std::enable_shared_from_this<ZIVProductsRequest> {
 public:
  // Starts a request whose completion runs once on `queue`. Nothing happens for a null queue or
  // completion. A request that cannot be made completes with error 1 "Invalid product
  // identifiers".
  static void requestProductsWithProductIdentifiers(
      const std::set<std::string>& identifiers, std::shared_ptr<dispatch::Queue> queue,
      ZIVProductsCompletion completion, std::shared_ptr<SKStoreSimulator> store = nullptr);
  // Null when the store request cannot be made (no identifiers).
  static std::shared_ptr<ZIVProductsRequest> initWithProductIdentifiers(
      const std::set<std::string>& identifiers, std::shared_ptr<SKStoreSimulator> store = nullptr);

  void requestWithQueue(std::shared_ptr<dispatch::Queue> queue, ZIVProductsCompletion completion);
  // Drops the store request, the completion and the queue; later callbacks do nothing.
  void clearInstance();

  // SKProductsRequestDelegate.
  void productsRequestDidReceiveResponse(SKProductsRequest& request,
                                         const SKProductsResponse& response) override;
  void requestDidFailWithError(SKProductsRequest& request, const fnd::Error& error) override;

 private:
  explicit ZIVProductsRequest(std::shared_ptr<SKProductsRequest> request);
  void finish(ZIVProductsDictionary products, std::set<std::string> invalid,
              std::optional<fnd::Error> error);

  std::mutex mu_;
  std::shared_ptr<SKProductsRequest> productsRequest_;  // Guarded by mu_.
  ZIVProductsCompletion completionHandler_;             // Guarded by mu_.
  std::shared_ptr<dispatch::Queue> queue_;              // Guarded by mu_.
};

class ZIVInAppPurchaseProductCache
    : public std::enable_shared_from_this<ZIVInAppPurchaseProductCache> {
 public:
  static const std::shared_ptr<ZIVInAppPurchaseProductCache>& sharedInstance();
  // A cache asking `store` (the shared simulator when null).
  static std::shared_ptr<ZIVInAppPurchaseProductCache> create(
      std::shared_ptr<SKStoreSimulator> store = nullptr);

  // The cached product, or null (also for an identifier the store called invalid).
  SKProductPtr cachedProductForProductIdentifier(const std::string& identifier);
  // Asks the store; merges the answer; runs `completion` on `queue` with the answer unchanged.
  void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                             std::shared_ptr<dispatch::Queue> queue,
                                             ZIVProductsCompletion completion);
  // Sizes, for tests.
  size_t validProductCount();
  size_t invalidIdentifierCount();

 private:
  explicit ZIVInAppPurchaseProductCache(std::shared_ptr<SKStoreSimulator> store);

  const std::shared_ptr<SKStoreSimulator> store_;
  const std::shared_ptr<dispatch::Queue> lockQueue_;
  // On lockQueue_ only.
  ZIVProductsDictionary validProducts_;
  std::set<std::string> invalidProductIdentifiers_;
};
