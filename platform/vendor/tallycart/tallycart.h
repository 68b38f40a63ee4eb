// Tallycart: the in-app purchase SDK (TCPurchases) and its cross-platform layer
// (TCCommonFunctionality), simulated in memory. The layer speaks in plain values. It behaves as
// the service over a catalogue that a test (or the app's setup) gives it: the products on sale,
// the offerings that package them, and the storefront. Offerings, the storefront and purchases
// answer from that catalogue: a product or package that the store does not sell cannot be bought
// (kTCProductNotAvailableForPurchaseError); what is bought shows in the buyer's customer
// information; logging out returns to a new anonymous app user id, and an anonymous user cannot
// log out (kTCLogOutAnonymousUserError). A test may also script what an operation completes with
// (a response or a TCErrorContainer, which then wins over the catalogue), and drives the delegate
// (customer-information updates, promoted products) and the log handler.
//
// Maps the layer answers:
//   offerings   {"all": {ID: offering}, "current": offering or null}
//   offering    {"identifier", "serverDescription", "availablePackages": [package]}
//   package     {"identifier", "offeringIdentifier", "product": the product's catalogue map}
//   storefront  {"countryCode"} or null when none is set
//   customer information: the map set by setCustomerInfo, with "originalAppUserId" (the current
//     app user id) unless set, "allPurchasedProductIdentifiers" once something was bought, and
//     "entitlements" (see encodeCustomerInfo)
//   a purchase  {"productIdentifier", "customerInfo"}
//   a log-in    {"customerInfo", "created": whether the app user id was new}
//
// Completions run synchronously on the calling thread. Every operation is recorded in calls(), in
// order, with the values it received.
//
// Thread safety: every method may be called from any thread; blocks are called outside the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// Codes of the layer's own errors (domain "Tallycart.ErrorCode").
inline constexpr int64_t kTCProductNotAvailableForPurchaseError = 5;
inline constexpr int64_t kTCLogOutAnonymousUserError = 22;
// The prefix of every anonymous app user id.
inline constexpr const char* kTCAnonymousIDPrefix = "$TCAnonymousID:";

// The error a completion of the layer reports: the wrapped error's code, its text and extra
// values for Dart.
class TCErrorContainer {
 public:
  TCErrorContainer(int64_t code, std::string message, fnd::Dictionary info);
  // Wraps an error; its localized description becomes the message, and info holds extraPayload
  // with "code" and "message" added.
  static TCErrorContainer initWithError(const fnd::Error& error,
                                        const fnd::Dictionary& extraPayload);

  int64_t code() const { return code_; }
  const std::string& message() const { return message_; }
  const fnd::Dictionary& info() const { return info_; }

 private:
  int64_t code_;
  std::string message_;
  fnd::Dictionary info_;
};

// A completion of the layer: a response (null when there is none) or an error.
using TCResponseBlock =
    std::function<void(const fnd::Value& response, const std::optional<TCErrorContainer>& error)>;
// Starts a promoted product's purchase once the app is ready; completes like a purchase.
using TCStartPurchaseBlock = std::function<void(TCResponseBlock completion)>;

class TCPurchases;

// Told about events of a configured TCPurchases, on the thread that caused them.
class TCPurchasesDelegate {
 public:
  virtual ~TCPurchasesDelegate() = default;
  virtual void purchasesReceivedUpdatedCustomerInfo(TCPurchases& purchases,
                                                    const fnd::Dictionary& customerInfo) = 0;
  virtual void purchasesReadyForPromotedProduct(TCPurchases& purchases,
                                                const std::string& productIdentifier,
                                                TCStartPurchaseBlock startPurchase) = 0;
};

class TCCommonFunctionality;

// The configured SDK instance. Made by TCCommonFunctionality::configure.
class TCPurchases {
 public:
  // What configure received, in its order.
  struct Configuration {
    fnd::Value apiKey;
    std::optional<std::string> appUserID;
    fnd::Value purchasesAreCompletedBy;
    std::optional<std::string> userDefaultsSuiteName;
    std::string platformFlavor;
    std::string platformFlavorVersion;
    fnd::Value storeKitVersion;
    std::optional<fnd::Dictionary> dangerousSettings;
    bool shouldShowInAppMessagesAutomatically = true;
  };

  explicit TCPurchases(Configuration configuration) : configuration_(std::move(configuration)) {}

  const Configuration& configuration() const { return configuration_; }
  // The delegate is held weakly.
  void setDelegate(std::weak_ptr<TCPurchasesDelegate> delegate);
  std::shared_ptr<TCPurchasesDelegate> delegate() const;

  // Simulation: tell the delegate about new customer information, or a promoted product whose
  // start block buys productIdentifier through `layer`.
  void sendUpdatedCustomerInfo(const fnd::Dictionary& customerInfo);
  void offerPromotedProduct(TCCommonFunctionality& layer, const std::string& productIdentifier);

 private:
  const Configuration configuration_;
  mutable std::mutex mu_;
  std::weak_ptr<TCPurchasesDelegate> delegate_;  // Guarded by mu_.
};

class TCCommonFunctionality {
 public:
  // One recorded operation.
  struct Call {
    std::string name;
    fnd::Array arguments;
    bool operator==(const Call&) const = default;
  };

  static TCCommonFunctionality& shared();
  TCCommonFunctionality() = default;
  TCCommonFunctionality(const TCCommonFunctionality&) = delete;
  TCCommonFunctionality& operator=(const TCCommonFunctionality&) = delete;

  // --- Simulation hooks.
  // What the completion-based operation `name` (e.g. "getOfferings") completes with. Unscripted
  // operations complete with null, or with the customer information for those that return it.
  void scriptResponse(const std::string& name, fnd::Value response);
  void scriptError(const std::string& name, TCErrorContainer error);
  void setCustomerInfo(fnd::Dictionary customerInfo);
  // Products on sale, each a map with at least "identifier".
  void setProducts(fnd::Array products);
  // Offerings, each {"identifier", "serverDescription" (optional), "packages": [{"identifier",
  // "product": a product identifier}]}, and the identifier of the current one (none: null).
  // A package whose product is not on sale is left out of what the layer answers.
  void setOfferings(fnd::Array offerings, std::optional<std::string> currentOffering);
  // The storefront's country code; nullopt: the store has none to tell.
  void setStorefront(std::optional<std::string> countryCode);
  void setCanMakePayments(bool can);
  std::vector<Call> calls() const;
  // Sends one log line to the installed log handler, if any.
  void emitLog(const fnd::Dictionary& entry);

  // --- Configuration.
  std::shared_ptr<TCPurchases> configure(TCPurchases::Configuration configuration);
  bool isConfigured() const;
  std::shared_ptr<TCPurchases> purchases() const;

  // --- Operations.
  void setAllowSharingStoreAccount(bool allow);
  void getOfferings(TCResponseBlock completion);
  void getCurrentOfferingForPlacement(const fnd::Value& placement, TCResponseBlock completion);
  void syncAttributesAndOfferingsIfNeeded(TCResponseBlock completion);
  void getProductInfo(const fnd::Value& identifiers, std::function<void(fnd::Array)> completion);
  void purchaseProduct(const fnd::Value& identifier, const fnd::Value& signedDiscountTimestamp,
                       TCResponseBlock completion);
  void purchasePackage(const fnd::Value& identifier, const fnd::Value& presentedOfferingContext,
                       const fnd::Value& signedDiscountTimestamp, TCResponseBlock completion);
  std::string appUserID() const;
  void getStorefront(std::function<void(fnd::Value)> completion);
  void restorePurchases(TCResponseBlock completion);
  void logOut(TCResponseBlock completion);
  void logIn(const fnd::Value& appUserID, TCResponseBlock completion);
  void setDebugLogsEnabled(bool enabled);
  void setLogLevel(const fnd::Value& level);
  void setSimulatesAskToBuyInSandbox(bool enabled);
  void setProxyURLString(const fnd::Value& url);
  void getCustomerInfo(TCResponseBlock completion);
  void syncPurchases(TCResponseBlock completion);
  void enableAdServicesAttributionTokenCollection();
  void recordPurchaseForProductID(const fnd::Value& identifier, TCResponseBlock completion);
  bool isAnonymous() const;
  void checkTrialOrIntroductoryPriceEligibility(const fnd::Value& identifiers,
                                                std::function<void(fnd::Dictionary)> completion);
  void invalidateCustomerInfoCache();
  void setAttributes(const fnd::Value& attributes);
  // Subscriber attributes, one setter each; null clears the attribute.
  void setEmail(const fnd::Value& value);
  void setPhoneNumber(const fnd::Value& value);
  void setDisplayName(const fnd::Value& value);
  void setPushToken(const fnd::Value& value);
  void setAdjustID(const fnd::Value& value);
  void setAppsflyerID(const fnd::Value& value);
  void setFBAnonymousID(const fnd::Value& value);
  void setMparticleID(const fnd::Value& value);
  void setCleverTapID(const fnd::Value& value);
  void setMixpanelDistinctID(const fnd::Value& value);
  void setZudiroruAppInstanceID(const fnd::Value& value);
  void setTenjinAnalyticsInstallationID(const fnd::Value& value);
  void setOnesignalID(const fnd::Value& value);
  void setAirshipChannelID(const fnd::Value& value);
  void setMediaSource(const fnd::Value& value);
  void setCampaign(const fnd::Value& value);
  void setAdGroup(const fnd::Value& value);
  void setAd(const fnd::Value& value);
  void setKeyword(const fnd::Value& value);
  void setCreative(const fnd::Value& value);
  void collectDeviceIdentifiers();
  bool canMakePaymentsWithFeatures(const fnd::Value& features);
  void promotionalOfferForProductIdentifier(const fnd::Value& identifier,
                                            const fnd::Value& discount, TCResponseBlock completion);
  void makeDeferredPurchase(const TCStartPurchaseBlock& startPurchase, TCResponseBlock completion);
  void setLogHanderOnLogReceived(std::function<void(const fnd::Dictionary&)> handler);
  void eligibleWinBackOffersForProductIdentifier(const fnd::Value& identifier,
                                                 TCResponseBlock completion);
  void purchaseProductWithWinBackOffer(const fnd::Value& identifier, const fnd::Value& offer,
                                       TCResponseBlock completion);
  void purchasePackageWithWinBackOffer(const fnd::Value& identifier, const fnd::Value& context,
                                       const fnd::Value& offer, TCResponseBlock completion);
  bool isWebPurchaseRedemptionURL(const fnd::Value& url);
  void redeemWebPurchaseWithUrlString(const fnd::Value& url, TCResponseBlock completion);
  fnd::Dictionary encodeCustomerInfo(const fnd::Dictionary& customerInfo) const;

 private:
  void record(const std::string& name, fnd::Array arguments);
  // The scripted error or response of `name`, if any. REQUIRES: mu_.
  bool scriptedLocked(const std::string& name, std::optional<TCErrorContainer>* error,
                      fnd::Value* response) const;
  // The catalogue's offering map, or null. REQUIRES: mu_.
  fnd::Value offeringLocked(const std::string& identifier) const;
  fnd::Value offeringsLocked() const;
  // The product identifier of a package of an offering (any offering when `offering` is null),
  // or nullopt. REQUIRES: mu_.
  std::optional<std::string> packageProductLocked(const fnd::Value& package,
                                                  const fnd::Value& offering) const;
  // The current user's customer information, before encoding. REQUIRES: mu_.
  fnd::Dictionary customerInfoLocked() const;
  // Records the call and buys `product` (nullopt: the store does not sell it) for the current
  // user, unless a script says otherwise.
  void buy(const std::string& name, fnd::Array arguments, const std::optional<std::string>& product,
           const TCResponseBlock& completion);
  // The product identifier if it is text naming a product on sale. REQUIRES: mu_.
  std::optional<std::string> productOnSaleLocked(const fnd::Value& identifier) const;
  // Records the call and completes as scripted; `fallback` when nothing is scripted.
  void complete(const std::string& name, fnd::Array arguments, const fnd::Value& fallback,
                const TCResponseBlock& completion);

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::vector<Call> calls_;
  std::map<std::string, fnd::Value> responses_;
  std::map<std::string, TCErrorContainer> errors_;
  fnd::Dictionary customerInfo_;
  fnd::Array products_;
  fnd::Array offerings_;
  std::optional<std::string> currentOffering_;
  std::optional<std::string> storefront_;
  bool canMakePayments_ = true;
  std::string appUserID_ = std::string(kTCAnonymousIDPrefix) + "0";
  // App user ids seen by configure or logIn, and what each bought, in order.
  std::map<std::string, std::vector<std::string>> purchased_;
  std::shared_ptr<TCPurchases> purchases_;
  std::shared_ptr<const std::function<void(const fnd::Dictionary&)>> logHandler_;
};
