#include "platform/vendor/tallycart/tallycart.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "platform/foundation/uuid.h"

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

void TCCommonFunctionality::setOfferings(Array offerings,
                                         std::optional<std::string> currentOffering) {
  std::lock_guard<std::mutex> lock(mu_);
  offerings_ = std::move(offerings);
  currentOffering_ = std::move(currentOffering);
}

void TCCommonFunctionality::setStorefront(std::optional<std::string> countryCode) {
  std::lock_guard<std::mutex> lock(mu_);
  storefront_ = std::move(countryCode);
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
  purchased_.try_emplace(appUserID_);
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

TCErrorContainer LayerError(int64_t code, const std::string& description,
                            const char* readableCode) {
  return TCErrorContainer::initWithError(
      fnd::Error::withDescription("Tallycart.ErrorCode", code, description),
      Dictionary{{"readableErrorCode", readableCode}});
}

// A new anonymous app user id: the prefix and 32 lower-case hexadecimal digits.
std::string NewAnonymousID() {
  std::string id = kTCAnonymousIDPrefix;
  for (char c : fnd::UUID::Random().uuidString()) {
    if (c != '-') id += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return id;
}

}  // namespace

bool TCCommonFunctionality::scriptedLocked(const std::string& name,
                                           std::optional<TCErrorContainer>* error,
                                           Value* response) const {
  if (auto e = errors_.find(name); e != errors_.end()) {
    *error = e->second;
    return true;
  }
  if (auto r = responses_.find(name); r != responses_.end()) {
    *response = r->second;
    return true;
  }
  return false;
}

std::optional<std::string> TCCommonFunctionality::productOnSaleLocked(
    const Value& identifier) const {
  if (!identifier.isString()) return std::nullopt;
  for (const Value& product : products_) {
    const Dictionary* map = product.dictionary();
    if (map && map->get("identifier") == identifier) return identifier.asString();
  }
  return std::nullopt;
}

Value TCCommonFunctionality::offeringLocked(const std::string& identifier) const {
  for (const Value& offering : offerings_) {
    const Dictionary* map = offering.dictionary();
    if (!map || map->get("identifier") != Value(identifier)) continue;
    Array packages;
    if (const Array* listed = map->get("packages").array()) {
      for (const Value& package : *listed) {
        const Dictionary* p = package.dictionary();
        if (!p) continue;
        for (const Value& product : products_) {
          const Dictionary* productMap = product.dictionary();
          if (!productMap || productMap->get("identifier") != p->get("product")) continue;
          packages.push_back(Dictionary{{"identifier", p->get("identifier")},
                                        {"offeringIdentifier", identifier},
                                        {"product", product}});
          break;
        }
      }
    }
    Dictionary out{{"identifier", identifier}};
    if (map->contains("serverDescription")) {
      out.set("serverDescription", map->get("serverDescription"));
    }
    out.set("availablePackages", std::move(packages));
    return Value(std::move(out));
  }
  return Value();
}

Value TCCommonFunctionality::offeringsLocked() const {
  Dictionary all;
  for (const Value& offering : offerings_) {
    const Dictionary* map = offering.dictionary();
    if (map && map->get("identifier").isString()) {
      all.set(map->get("identifier"), offeringLocked(map->get("identifier").asString()));
    }
  }
  Value current = currentOffering_ ? offeringLocked(*currentOffering_) : Value();
  return Value(Dictionary{{"all", std::move(all)}, {"current", std::move(current)}});
}

std::optional<std::string> TCCommonFunctionality::packageProductLocked(
    const Value& package, const Value& offering) const {
  for (const Value& candidate : offerings_) {
    const Dictionary* map = candidate.dictionary();
    if (!map || (!offering.isNull() && map->get("identifier") != offering)) continue;
    const Array* packages = map->get("packages").array();
    if (!packages) continue;
    for (const Value& p : *packages) {
      const Dictionary* pm = p.dictionary();
      if (pm && pm->get("identifier") == package) return productOnSaleLocked(pm->get("product"));
    }
  }
  return std::nullopt;
}

Dictionary TCCommonFunctionality::customerInfoLocked() const {
  Dictionary info = customerInfo_;
  if (!info.contains("originalAppUserId")) info.set("originalAppUserId", appUserID_);
  auto bought = purchased_.find(appUserID_);
  if (bought != purchased_.end() && !bought->second.empty()) {
    info.set("allPurchasedProductIdentifiers", Array(bought->second.begin(), bought->second.end()));
  }
  return info;
}

void TCCommonFunctionality::buy(const std::string& name, Array arguments,
                                const std::optional<std::string>& product,
                                const TCResponseBlock& completion) {
  std::optional<TCErrorContainer> error;
  Value response;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({name, std::move(arguments)});
    if (!scriptedLocked(name, &error, &response)) {
      if (!product) {
        error = LayerError(kTCProductNotAvailableForPurchaseError,
                           "The product is not available for purchase.",
                           "PRODUCT_NOT_AVAILABLE_FOR_PURCHASE");
      } else {
        auto& bought = purchased_[appUserID_];
        if (std::find(bought.begin(), bought.end(), *product) == bought.end()) {
          bought.push_back(*product);
        }
        response = Dictionary{{"productIdentifier", *product},
                              {"customerInfo", Info(*this, customerInfoLocked())}};
      }
    }
  }
  if (!completion) return;
  if (error) {
    completion(Value(), error);
  } else {
    completion(response, std::nullopt);
  }
}

void TCCommonFunctionality::setAllowSharingStoreAccount(bool allow) {
  record("setAllowSharingStoreAccount", {allow});
}
void TCCommonFunctionality::getOfferings(TCResponseBlock completion) {
  Value offerings;
  {
    std::lock_guard<std::mutex> lock(mu_);
    offerings = offeringsLocked();
  }
  complete("getOfferings", {}, offerings, completion);
}
// The catalogue has no placements: every placement shows the current offering.
void TCCommonFunctionality::getCurrentOfferingForPlacement(const Value& placement,
                                                           TCResponseBlock completion) {
  Value current;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (currentOffering_) current = offeringLocked(*currentOffering_);
  }
  complete("getCurrentOfferingForPlacement", {placement}, current, completion);
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
  std::optional<std::string> product;
  {
    std::lock_guard<std::mutex> lock(mu_);
    product = productOnSaleLocked(identifier);
  }
  buy("purchaseProduct", {identifier, signedDiscountTimestamp}, product, completion);
}

void TCCommonFunctionality::purchasePackage(const Value& identifier,
                                            const Value& presentedOfferingContext,
                                            const Value& signedDiscountTimestamp,
                                            TCResponseBlock completion) {
  std::optional<std::string> product;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Dictionary* context = presentedOfferingContext.dictionary();
    product =
        packageProductLocked(identifier, context ? context->get("offeringIdentifier") : Value());
  }
  buy("purchasePackage", {identifier, presentedOfferingContext, signedDiscountTimestamp}, product,
      completion);
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
    if (storefront_) storefront = Dictionary{{"countryCode", *storefront_}};
    if (auto r = responses_.find("getStorefront"); r != responses_.end()) storefront = r->second;
  }
  if (completion) completion(storefront);
}

void TCCommonFunctionality::restorePurchases(TCResponseBlock completion) {
  complete("restorePurchases", {}, Value(), completion);
}
void TCCommonFunctionality::logOut(TCResponseBlock completion) {
  std::optional<TCErrorContainer> error;
  Value response;
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({"logOut", {}});
    if (!scriptedLocked("logOut", &error, &response)) {
      if (appUserID_.rfind(kTCAnonymousIDPrefix, 0) == 0) {
        error = LayerError(kTCLogOutAnonymousUserError,
                           "LogOut was called but the current user is anonymous.",
                           "LOGOUT_CALLED_WITH_ANONYMOUS_USER");
      } else {
        appUserID_ = NewAnonymousID();
        purchased_.try_emplace(appUserID_);
        response = Info(*this, customerInfoLocked());
      }
    }
  }
  if (!completion) return;
  if (error) {
    completion(Value(), error);
  } else {
    completion(response, std::nullopt);
  }
}
void TCCommonFunctionality::logIn(const Value& appUserID, TCResponseBlock completion) {
  Value response;
  if (appUserID.isString()) {
    std::lock_guard<std::mutex> lock(mu_);
    appUserID_ = appUserID.asString();
    bool created = purchased_.try_emplace(appUserID_).second;
    response =
        Dictionary{{"customerInfo", Info(*this, customerInfoLocked())}, {"created", created}};
  }
  complete("logIn", {appUserID}, response, completion);
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
    info = customerInfoLocked();
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
  std::optional<std::string> product;
  {
    std::lock_guard<std::mutex> lock(mu_);
    product = productOnSaleLocked(identifier);
  }
  buy("purchaseProductWithWinBackOffer", {identifier, offer}, product, completion);
}
void TCCommonFunctionality::purchasePackageWithWinBackOffer(const Value& identifier,
                                                            const Value& context,
                                                            const Value& offer,
                                                            TCResponseBlock completion) {
  std::optional<std::string> product;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Dictionary* map = context.dictionary();
    product = packageProductLocked(identifier, map ? map->get("offeringIdentifier") : Value());
  }
  buy("purchasePackageWithWinBackOffer", {identifier, context, offer}, product, completion);
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
