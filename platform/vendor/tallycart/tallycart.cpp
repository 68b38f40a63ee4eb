#include "platform/vendor/tallycart/tallycart.h"

#include <utility>

using fnd::Array;
using fnd::Dictionary;
using fnd::Value;

TCErrorContainer::TCErrorContainer(int64_t code, std::string message, Dictionary info)
    : code_(code), message_(std::move(message)), info_(std::move(info)) {}

TCErrorContainer TCErrorContainer::initWithError(const fnd::Error& error,
                                                 const Dictionary& extraPayload) {
  Dictionary info = extraPayload;
  info.set("code", error.code());
  info.set("message", error.localizedDescription());
  return TCErrorContainer(error.code(), error.localizedDescription(), std::move(info));
}

void TCPurchases::setDelegate(std::weak_ptr<TCPurchasesDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<TCPurchasesDelegate> TCPurchases::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void TCPurchases::sendUpdatedCustomerInfo(const Dictionary& customerInfo) {
  if (auto d = delegate()) d->purchasesReceivedUpdatedCustomerInfo(*this, customerInfo);
}

void TCPurchases::offerPromotedProduct(TCCommonFunctionality& layer,
                                       const std::string& productIdentifier) {
  auto d = delegate();
  if (!d) return;
  d->purchasesReadyForPromotedProduct(
      *this, productIdentifier, [&layer, productIdentifier](TCResponseBlock completion) {
        layer.purchaseProduct(Value(productIdentifier), Value(), std::move(completion));
      });
}

TCCommonFunctionality& TCCommonFunctionality::shared() {
  static TCCommonFunctionality& instance = *new TCCommonFunctionality();
  return instance;
}

void TCCommonFunctionality::scriptResponse(const std::string& name, Value response) {
  std::lock_guard<std::mutex> lock(mu_);
  errors_.erase(name);
  responses_[name] = std::move(response);
}

void TCCommonFunctionality::scriptError(const std::string& name, TCErrorContainer error) {
  std::lock_guard<std::mutex> lock(mu_);
  errors_.insert_or_assign(name, std::move(error));
}

void TCCommonFunctionality::setCustomerInfo(Dictionary customerInfo) {
  std::lock_guard<std::mutex> lock(mu_);
  customerInfo_ = std::move(customerInfo);
}

void TCCommonFunctionality::setProducts(Array products) {
  std::lock_guard<std::mutex> lock(mu_);
  products_ = std::move(products);
}

void TCCommonFunctionality::setCanMakePayments(bool can) {
  std::lock_guard<std::mutex> lock(mu_);
  canMakePayments_ = can;
}

std::vector<TCCommonFunctionality::Call> TCCommonFunctionality::calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

void TCCommonFunctionality::emitLog(const Dictionary& entry) {
  std::shared_ptr<const std::function<void(const Dictionary&)>> handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    handler = logHandler_;
  }
  if (handler && *handler) (*handler)(entry);
}

std::shared_ptr<TCPurchases> TCCommonFunctionality::configure(
    TCPurchases::Configuration configuration) {
  auto purchases = std::make_shared<TCPurchases>(configuration);
  std::lock_guard<std::mutex> lock(mu_);
  if (configuration.appUserID) appUserID_ = *configuration.appUserID;
  purchases_ = purchases;
  calls_.push_back({"configure", {configuration.apiKey}});
  return purchases;
}

bool TCCommonFunctionality::isConfigured() const {
  std::lock_guard<std::mutex> lock(mu_);
  return purchases_ != nullptr;
}

std::shared_ptr<TCPurchases> TCCommonFunctionality::purchases() const {
  std::lock_guard<std::mutex> lock(mu_);
  return purchases_;
}

void TCCommonFunctionality::record(const std::string& name, Array arguments) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back({name, std::move(arguments)});
}

void TCCommonFunctionality::complete(const std::string& name, Array arguments,
                                     const Value& fallback, const TCResponseBlock& completion) {
  std::optional<TCErrorContainer> error;
  Value response = fallback;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({name, std::move(arguments)});
    if (auto e = errors_.find(name); e != errors_.end()) error = e->second;
    if (auto r = responses_.find(name); r != responses_.end()) response = r->second;
  }
  if (!completion) return;
  if (error) {
    completion(Value(), error);
  } else {
    completion(response, std::nullopt);
  }
}

namespace {
Value Info(const TCCommonFunctionality& layer, const Dictionary& customerInfo) {
  return Value(layer.encodeCustomerInfo(customerInfo));
}
}  // namespace

void TCCommonFunctionality::setAllowSharingStoreAccount(bool allow) {
  record("setAllowSharingStoreAccount", {allow});
}
void TCCommonFunctionality::getOfferings(TCResponseBlock completion) {
  complete("getOfferings", {}, Value(), completion);
}
void TCCommonFunctionality::getCurrentOfferingForPlacement(const Value& placement,
                                                           TCResponseBlock completion) {
  complete("getCurrentOfferingForPlacement", {placement}, Value(), completion);
}
void TCCommonFunctionality::syncAttributesAndOfferingsIfNeeded(TCResponseBlock completion) {
  complete("syncAttributesAndOfferingsIfNeeded", {}, Value(), completion);
}

void TCCommonFunctionality::getProductInfo(const Value& identifiers,
                                           std::function<void(Array)> completion) {
  Array found;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({"getProductInfo", {identifiers}});
    if (const Array* wanted = identifiers.array()) {
      for (const Value& product : products_) {
        const Dictionary* map = product.dictionary();
        if (!map) continue;
        for (const Value& id : *wanted) {
          if (map->get("identifier") == id) {
            found.push_back(product);
            break;
          }
        }
      }
    }
  }
  if (completion) completion(std::move(found));
}

void TCCommonFunctionality::purchaseProduct(const Value& identifier,
                                            const Value& signedDiscountTimestamp,
                                            TCResponseBlock completion) {
  Dictionary info;
  {
    std::lock_guard<std::mutex> lock(mu_);
    info = customerInfo_;
  }
  complete("purchaseProduct", {identifier, signedDiscountTimestamp},
           Dictionary{{"productIdentifier", identifier}, {"customerInfo", Info(*this, info)}},
           completion);
}

void TCCommonFunctionality::purchasePackage(const Value& identifier,
                                            const Value& presentedOfferingContext,
                                            const Value& signedDiscountTimestamp,
                                            TCResponseBlock completion) {
  complete("purchasePackage", {identifier, presentedOfferingContext, signedDiscountTimestamp},
           Value(), completion);
}

std::string TCCommonFunctionality::appUserID() const {
  std::lock_guard<std::mutex> lock(mu_);
  return appUserID_;
}

void TCCommonFunctionality::getStorefront(std::function<void(Value)> completion) {
  Value storefront;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({"getStorefront", {}});
    if (auto r = responses_.find("getStorefront"); r != responses_.end()) storefront = r->second;
  }
  if (completion) completion(storefront);
}

void TCCommonFunctionality::restorePurchases(TCResponseBlock completion) {
  complete("restorePurchases", {}, Value(), completion);
}
void TCCommonFunctionality::logOut(TCResponseBlock completion) {
  complete("logOut", {}, Value(), completion);
}
void TCCommonFunctionality::logIn(const Value& appUserID, TCResponseBlock completion) {
  if (appUserID.isString()) {
    std::lock_guard<std::mutex> lock(mu_);
    appUserID_ = appUserID.asString();
  }
  complete("logIn", {appUserID}, Value(), completion);
}
void TCCommonFunctionality::setDebugLogsEnabled(bool enabled) {
  record("setDebugLogsEnabled", {enabled});
}
void TCCommonFunctionality::setLogLevel(const Value& level) { record("setLogLevel", {level}); }
void TCCommonFunctionality::setSimulatesAskToBuyInSandbox(bool enabled) {
  record("setSimulatesAskToBuyInSandbox", {enabled});
}
void TCCommonFunctionality::setProxyURLString(const Value& url) {
  record("setProxyURLString", {url});
}
void TCCommonFunctionality::getCustomerInfo(TCResponseBlock completion) {
  Dictionary info;
  {
    std::lock_guard<std::mutex> lock(mu_);
    info = customerInfo_;
  }
  complete("getCustomerInfo", {}, Info(*this, info), completion);
}
void TCCommonFunctionality::syncPurchases(TCResponseBlock completion) {
  complete("syncPurchases", {}, Value(), completion);
}
void TCCommonFunctionality::enableAdServicesAttributionTokenCollection() {
  record("enableAdServicesAttributionTokenCollection", {});
}
void TCCommonFunctionality::recordPurchaseForProductID(const Value& identifier,
                                                       TCResponseBlock completion) {
  complete("recordPurchaseForProductID", {identifier}, Value(), completion);
}
bool TCCommonFunctionality::isAnonymous() const {
  std::lock_guard<std::mutex> lock(mu_);
  return appUserID_.rfind("$TCAnonymousID:", 0) == 0;
}
void TCCommonFunctionality::checkTrialOrIntroductoryPriceEligibility(
    const Value& identifiers, std::function<void(Dictionary)> completion) {
  Value scripted;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({"checkTrialOrIntroductoryPriceEligibility", {identifiers}});
    if (auto r = responses_.find("checkTrialOrIntroductoryPriceEligibility"); r != responses_.end())
      scripted = r->second;
  }
  Dictionary result;
  if (const Dictionary* map = scripted.dictionary()) result = *map;
  if (completion) completion(std::move(result));
}
void TCCommonFunctionality::invalidateCustomerInfoCache() {
  record("invalidateCustomerInfoCache", {});
}
void TCCommonFunctionality::setAttributes(const Value& attributes) {
  record("setAttributes", {attributes});
}
void TCCommonFunctionality::setEmail(const Value& value) { record("setEmail", {value}); }
void TCCommonFunctionality::setPhoneNumber(const Value& value) {
  record("setPhoneNumber", {value});
}
void TCCommonFunctionality::setDisplayName(const Value& value) {
  record("setDisplayName", {value});
}
void TCCommonFunctionality::setPushToken(const Value& value) { record("setPushToken", {value}); }
void TCCommonFunctionality::setAdjustID(const Value& value) { record("setAdjustID", {value}); }
void TCCommonFunctionality::setAppsflyerID(const Value& value) {
  record("setAppsflyerID", {value});
}
void TCCommonFunctionality::setFBAnonymousID(const Value& value) {
  record("setFBAnonymousID", {value});
}
void TCCommonFunctionality::setMparticleID(const Value& value) {
  record("setMparticleID", {value});
}
void TCCommonFunctionality::setCleverTapID(const Value& value) {
  record("setCleverTapID", {value});
}
void TCCommonFunctionality::setMixpanelDistinctID(const Value& value) {
  record("setMixpanelDistinctID", {value});
}
void TCCommonFunctionality::setZudiroruAppInstanceID(const Value& value) {
  record("setZudiroruAppInstanceID", {value});
}
void TCCommonFunctionality::setTenjinAnalyticsInstallationID(const Value& value) {
  record("setTenjinAnalyticsInstallationID", {value});
}
void TCCommonFunctionality::setOnesignalID(const Value& value) {
  record("setOnesignalID", {value});
}
void TCCommonFunctionality::setAirshipChannelID(const Value& value) {
  record("setAirshipChannelID", {value});
}
void TCCommonFunctionality::setMediaSource(const Value& value) {
  record("setMediaSource", {value});
}
void TCCommonFunctionality::setCampaign(const Value& value) { record("setCampaign", {value}); }
void TCCommonFunctionality::setAdGroup(const Value& value) { record("setAdGroup", {value}); }
void TCCommonFunctionality::setAd(const Value& value) { record("setAd", {value}); }
void TCCommonFunctionality::setKeyword(const Value& value) { record("setKeyword", {value}); }
void TCCommonFunctionality::setCreative(const Value& value) { record("setCreative", {value}); }
void TCCommonFunctionality::collectDeviceIdentifiers() { record("collectDeviceIdentifiers", {}); }
bool TCCommonFunctionality::canMakePaymentsWithFeatures(const Value& features) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back({"canMakePayments", {features}});
  return canMakePayments_;
}
void TCCommonFunctionality::promotionalOfferForProductIdentifier(const Value& identifier,
                                                                 const Value& discount,
                                                                 TCResponseBlock completion) {
  complete("getPromotionalOffer", {identifier, discount}, Value(), completion);
}
void TCCommonFunctionality::makeDeferredPurchase(const TCStartPurchaseBlock& startPurchase,
                                                 TCResponseBlock completion) {
  record("makeDeferredPurchase", {});
  if (startPurchase) startPurchase(std::move(completion));
}
void TCCommonFunctionality::setLogHanderOnLogReceived(
    std::function<void(const Dictionary&)> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back({"setLogHandler", {}});
  logHandler_ = std::make_shared<const std::function<void(const Dictionary&)>>(std::move(handler));
}
void TCCommonFunctionality::eligibleWinBackOffersForProductIdentifier(const Value& identifier,
                                                                      TCResponseBlock completion) {
  complete("eligibleWinBackOffersForProduct", {identifier}, Value(Array{}), completion);
}
void TCCommonFunctionality::purchaseProductWithWinBackOffer(const Value& identifier,
                                                            const Value& offer,
                                                            TCResponseBlock completion) {
  complete("purchaseProductWithWinBackOffer", {identifier, offer}, Value(), completion);
}
void TCCommonFunctionality::purchasePackageWithWinBackOffer(const Value& identifier,
                                                            const Value& context,
                                                            const Value& offer,
                                                            TCResponseBlock completion) {
  complete("purchasePackageWithWinBackOffer", {identifier, context, offer}, Value(), completion);
}
bool TCCommonFunctionality::isWebPurchaseRedemptionURL(const Value& url) {
  record("isWebPurchaseRedemptionURL", {url});
  return url.isString() && url.asString().rfind("tallycart://redeem", 0) == 0;
}
void TCCommonFunctionality::redeemWebPurchaseWithUrlString(const Value& url,
                                                           TCResponseBlock completion) {
  complete("redeemWebPurchase", {url}, Value(), completion);
}
Dictionary TCCommonFunctionality::encodeCustomerInfo(const Dictionary& customerInfo) const {
  Dictionary encoded = customerInfo;
  if (!encoded.contains("entitlements")) encoded.set("entitlements", Dictionary{});
  return encoded;
}
