#include "plugins/purchases_flutter/purchases_flutter_plugin.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/dispatch/queue.h"

using fnd::Dictionary;
using fnd::Value;

const char* const PurchasesCustomerInfoUpdatedEvent = "Purchases-CustomerInfoUpdated";
const char* const PurchasesReadyForPromotedProductPurchaseEvent =
    "Purchases-ReadyForPromotedProductPurchase";
const char* const PurchasesLogHandlerEvent = "Purchases-LogHandlerEvent";

namespace {

constexpr const char* kInvalidArgumentsCode = "invalid-arguments";
constexpr const char* kUnsupportedErrorDomain = "Tallycart.ErrorCode";
constexpr int64_t kUnsupportedErrorCode = 24;

constexpr const char* kAdServicesWarning =
    "[Purchases] Warning: tried to enable AdServices attribution token collection, but it's only "
    "available on iOS 14.3 or greater or macOS 11.1 or greater.";
constexpr const char* kRecordPurchaseWarning =
    "[Purchases] Warning: tried to call recordPurchaseForProductID, but it's only available on "
    "iOS 15.0 and macOS 12.0 or greater.";
constexpr const char* kCodeRedemptionWarning =
    "[Purchases] Warning: tried to present codeRedemptionSheet, but it's only available on iOS "
    "14.0 or greater.";
constexpr const char* kInAppMessagesWarning =
    "[Purchases] Warning: tried to show in-app messages, but it's only supported on iOS.";
constexpr const char* kWinBackWarning =
    "[Purchases] Warning: Win-back offers are only available on iOS 18.0 or greater.";
constexpr const char* kWinBackUnsupportedDescription =
    "iOS win-back offers are only available on iOS 18.0 or greater.";

// The attribute setters in dispatch order: method name, argument key and the layer's setter of
// the same name.
struct AttributeSetter {
  const char* method;
  const char* key;
  void (TCCommonFunctionality::*setter)(const Value& value);
};
constexpr AttributeSetter kAttributeSetters[] = {
    {"setEmail", "email", &TCCommonFunctionality::setEmail},
    {"setPhoneNumber", "phoneNumber", &TCCommonFunctionality::setPhoneNumber},
    {"setDisplayName", "displayName", &TCCommonFunctionality::setDisplayName},
    {"setPushToken", "pushToken", &TCCommonFunctionality::setPushToken},
    {"setAdjustID", "adjustID", &TCCommonFunctionality::setAdjustID},
    {"setAppsflyerID", "appsflyerID", &TCCommonFunctionality::setAppsflyerID},
    {"setFBAnonymousID", "fbAnonymousID", &TCCommonFunctionality::setFBAnonymousID},
    {"setMparticleID", "mparticleID", &TCCommonFunctionality::setMparticleID},
    {"setCleverTapID", "cleverTapID", &TCCommonFunctionality::setCleverTapID},
    {"setMixpanelDistinctID", "mixpanelDistinctID", &TCCommonFunctionality::setMixpanelDistinctID},
    {"setZudiroruAppInstanceID", "zudiroruAppInstanceID",
     &TCCommonFunctionality::setZudiroruAppInstanceID},
    {"setTenjinAnalyticsInstallationID", "tenjinAnalyticsInstallationID",
     &TCCommonFunctionality::setTenjinAnalyticsInstallationID},
    {"setOnesignalID", "onesignalID", &TCCommonFunctionality::setOnesignalID},
    {"setAirshipChannelID", "airshipChannelID", &TCCommonFunctionality::setAirshipChannelID},
    {"setMediaSource", "mediaSource", &TCCommonFunctionality::setMediaSource},
    {"setCampaign", "campaign", &TCCommonFunctionality::setCampaign},
    {"setAdGroup", "adGroup", &TCCommonFunctionality::setAdGroup},
    {"setAd", "ad", &TCCommonFunctionality::setAd},
    {"setKeyword", "keyword", &TCCommonFunctionality::setKeyword},
    {"setCreative", "creative", &TCCommonFunctionality::setCreative},
};

Value ErrorValue(std::string code, std::string message, Value details) {
  return flutter::FlutterError::errorWithCode(std::move(code), std::move(message),
                                              std::move(details));
}

// Reads the arguments map of one call. Values are passed on as they came; only the arguments
// read as booleans, integers or optional text are checked, and the first problem is kept.
class Arguments {
 public:
  Arguments(const std::string& method, const Value& arguments) : method_(method) {
    if (const Dictionary* map = arguments.dictionary()) {
      map_ = *map;
    } else if (!arguments.isNull()) {
      fail("the arguments must be a map");
    }
  }

  Value any(const char* key) const { return map_.get(key); }
  bool has(const char* key) const { return !map_.get(key).isNull(); }

  // Booleans and numbers; absent or null is false.
  bool boolean(const char* key) {
    Value v = map_.get(key);
    if (v.isBool() || v.isNumber()) return v.asBool();
    if (!v.isNull()) fail(std::string("\"") + key + "\" must be a boolean");
    return false;
  }

  // A whole number; absent, null or another kind is a problem.
  int64_t integer(const char* key) {
    Value v = map_.get(key);
    if (v.isInt() || v.isBool()) return v.asInt();
    if (v.isDouble()) {
      double d = v.asDouble();
      if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.0e18)
        return static_cast<int64_t>(d);
    }
    fail(std::string("\"") + key + "\" must be an integer");
    return 0;
  }

  // Text, or absent for null.
  std::optional<std::string> optionalString(const char* key) {
    Value v = map_.get(key);
    if (v.isString()) return v.asString();
    if (!v.isNull()) fail(std::string("\"") + key + "\" must be a string");
    return std::nullopt;
  }

  bool ok() const { return problem_.empty(); }
  std::string message() const { return "Invalid arguments for " + method_ + ": " + problem_ + "."; }
  void fail(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
  }

 private:
  const std::string& method_;
  Dictionary map_;
  std::string problem_;
};

void StandardErrorLog(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

void PurchasesFlutterPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  registerWithRegistrar(registrar, TCCommonFunctionality::shared(),
                        fnd::ProcessInfo::processInfo());
}

std::shared_ptr<PurchasesFlutterPlugin> PurchasesFlutterPlugin::registerWithRegistrar(
    flutter::FlutterPluginRegistrar& registrar, TCCommonFunctionality& layer,
    const fnd::ProcessInfo& processInfo, SystemLog log) {
  auto channel = flutter::FlutterMethodChannel::methodChannelWithName(kPurchasesFlutterChannelName,
                                                                      registrar.messenger());
  auto plugin =
      std::make_shared<PurchasesFlutterPlugin>(channel, layer, processInfo, std::move(log));
  plugin->self_ = plugin;
  registrar.addMethodCallDelegate(plugin, channel);
  return plugin;
}

PurchasesFlutterPlugin::PurchasesFlutterPlugin(
    std::shared_ptr<flutter::FlutterMethodChannel> channel, TCCommonFunctionality& layer,
    const fnd::ProcessInfo& processInfo, SystemLog log)
    : channel_(std::move(channel)),
      layer_(layer),
      processInfo_(processInfo),
      log_(log ? std::move(log) : StandardErrorLog) {}

TCResponseBlock PurchasesFlutterPlugin::getResponseCompletionBlock(flutter::FlutterResult result) {
  return [result = std::move(result)](const Value& response,
                                      const std::optional<TCErrorContainer>& error) {
    if (error) {
      rejectWithResult(result, *error);
    } else {
      result(response);
    }
  };
}

void PurchasesFlutterPlugin::rejectWithResult(const flutter::FlutterResult& result,
                                              const TCErrorContainer& error) {
  result(ErrorValue(std::to_string(error.code()), error.message(), Value(error.info())));
}

fnd::Error PurchasesFlutterPlugin::createUnsupportedErrorWithDescription(
    const std::string& description) {
  return fnd::Error::withDescription(kUnsupportedErrorDomain, kUnsupportedErrorCode, description);
}

bool PurchasesFlutterPlugin::systemAtLeast(int64_t major, int64_t minor) const {
  return processInfo_.isOperatingSystemAtLeastVersion({major, minor, 0});
}

void PurchasesFlutterPlugin::invokeDart(const char* method, Value arguments) {
  auto channel = channel_;
  std::string name = method;
  dispatch::Queue::main()->async([channel, name, arguments = std::move(arguments)] {
    channel->invokeMethod(name, arguments);
  });
}

void PurchasesFlutterPlugin::purchasesReceivedUpdatedCustomerInfo(TCPurchases& purchases,
                                                                  const Dictionary& customerInfo) {
  (void)purchases;
  invokeDart(PurchasesCustomerInfoUpdatedEvent, Value(layer_.encodeCustomerInfo(customerInfo)));
}

void PurchasesFlutterPlugin::purchasesReadyForPromotedProduct(TCPurchases& purchases,
                                                              const std::string& productIdentifier,
                                                              TCStartPurchaseBlock startPurchase) {
  (void)purchases;
  int64_t callbackID;
  {
    std::lock_guard<std::mutex> lock(mu_);
    startPurchaseBlocks_.push_back(std::move(startPurchase));
    callbackID = static_cast<int64_t>(startPurchaseBlocks_.size()) - 1;
  }
  invokeDart(PurchasesReadyForPromotedProductPurchaseEvent,
             Value(Dictionary{{"callbackID", callbackID}, {"productID", productIdentifier}}));
}

void PurchasesFlutterPlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                              flutter::FlutterResult result) {
  const std::string& method = call.method();
  Arguments args(method, call.arguments());
  // Answers a call whose arguments cannot be used; true when that happened.
  auto refused = [&] {
    if (args.ok()) return false;
    result(ErrorValue(kInvalidArgumentsCode, args.message(), Value()));
    return true;
  };
  if (refused()) return;
  auto adapter = [&] { return getResponseCompletionBlock(result); };
  // Answers the unsupported-feature error of a win-back method.
  auto unsupportedWinBack = [&] {
    log_(kWinBackWarning);
    rejectWithResult(
        result,
        TCErrorContainer::initWithError(
            createUnsupportedErrorWithDescription(kWinBackUnsupportedDescription), Dictionary{}));
  };

  if (method == "setupPurchases") {
    Value showValue = args.any("shouldShowInAppMessagesAutomatically");
    bool show = showValue.isNull() ? true : args.boolean("shouldShowInAppMessagesAutomatically");
    TCPurchases::Configuration configuration;
    configuration.apiKey = args.any("apiKey");
    configuration.appUserID = args.optionalString("appUserId");
    configuration.purchasesAreCompletedBy = args.any("purchasesAreCompletedBy");
    configuration.userDefaultsSuiteName = args.optionalString("userDefaultsSuiteName");
    configuration.platformFlavor = kPurchasesPlatformFlavor;
    configuration.platformFlavorVersion = kPurchasesPlatformFlavorVersion;
    configuration.storeKitVersion = args.any("storeKitVersion");
    configuration.dangerousSettings = std::nullopt;
    configuration.shouldShowInAppMessagesAutomatically = show;
    if (refused()) return;
    std::shared_ptr<TCPurchases> purchases = layer_.configure(std::move(configuration));
    if (purchases) purchases->setDelegate(self_);
    result(Value());
  } else if (method == "setAllowSharingStoreAccount") {
    bool allow = args.boolean("allowSharing");
    if (refused()) return;
    layer_.setAllowSharingStoreAccount(allow);
    result(Value());
  } else if (method == "getOfferings") {
    layer_.getOfferings(adapter());
  } else if (method == "getCurrentOfferingForPlacement") {
    layer_.getCurrentOfferingForPlacement(args.any("placementIdentifier"), adapter());
  } else if (method == "syncAttributesAndOfferingsIfNeeded") {
    layer_.syncAttributesAndOfferingsIfNeeded(adapter());
  } else if (method == "getProductInfo") {
    layer_.getProductInfo(args.any("productIdentifiers"),
                          [result](fnd::Array products) { result(Value(std::move(products))); });
  } else if (method == "purchaseProduct") {
    layer_.purchaseProduct(args.any("productIdentifier"), args.any("signedDiscountTimestamp"),
                           adapter());
  } else if (method == "purchasePackage") {
    layer_.purchasePackage(args.any("packageIdentifier"), args.any("presentedOfferingContext"),
                           args.any("signedDiscountTimestamp"), adapter());
  } else if (method == "getAppUserID") {
    result(Value(layer_.appUserID()));
  } else if (method == "getStorefront") {
    layer_.getStorefront([result](Value storefront) { result(storefront); });
  } else if (method == "restorePurchases") {
    layer_.restorePurchases(adapter());
  } else if (method == "logOut") {
    layer_.logOut(adapter());
  } else if (method == "logIn") {
    layer_.logIn(args.any("appUserID"), adapter());
  } else if (method == "setDebugLogsEnabled") {
    bool enabled = args.boolean("enabled");
    if (refused()) return;
    layer_.setDebugLogsEnabled(enabled);
    result(Value());
  } else if (method == "setLogLevel") {
    layer_.setLogLevel(args.any("level"));
    result(Value());
  } else if (method == "setSimulatesAskToBuyInSandbox") {
    bool enabled = args.boolean("enabled");
    if (refused()) return;
    layer_.setSimulatesAskToBuyInSandbox(enabled);
    result(Value());
  } else if (method == "setProxyURLString") {
    layer_.setProxyURLString(args.any("proxyURLString"));
    result(Value());
  } else if (method == "getCustomerInfo") {
    layer_.getCustomerInfo(adapter());
  } else if (method == "syncPurchases") {
    layer_.syncPurchases(adapter());
  } else if (method == "enableAdServicesAttributionTokenCollection") {
    if (systemAtLeast(11, 1)) {
      layer_.enableAdServicesAttributionTokenCollection();
    } else {
      log_(kAdServicesWarning);
    }
    result(Value());
  } else if (method == "recordPurchaseForProductID") {
    if (systemAtLeast(12, 0)) {
      layer_.recordPurchaseForProductID(args.any("productIdentifier"), adapter());
    } else {
      log_(kRecordPurchaseWarning);
      result(Value());
    }
  } else if (method == "isAnonymous") {
    result(Value(layer_.isAnonymous()));
  } else if (method == "isConfigured") {
    result(Value(layer_.isConfigured()));
  } else if (method == "checkTrialOrIntroductoryPriceEligibility") {
    layer_.checkTrialOrIntroductoryPriceEligibility(
        args.any("productIdentifiers"),
        [result](Dictionary eligibility) { result(Value(std::move(eligibility))); });
  } else if (method == "invalidateCustomerInfoCache") {
    layer_.invalidateCustomerInfoCache();
    result(Value());
  } else if (method == "presentCodeRedemptionSheet") {
    log_(kCodeRedemptionWarning);
    result(Value());
  } else if (method == "setAttributes") {
    layer_.setAttributes(args.any("attributes"));
    result(Value());
  } else if (const AttributeSetter* setter = [&]() -> const AttributeSetter* {
               for (const AttributeSetter& s : kAttributeSetters) {
                 if (method == s.method) return &s;
               }
               return nullptr;
             }()) {
    (layer_.*(setter->setter))(args.any(setter->key));
    result(Value());
  } else if (method == "collectDeviceIdentifiers") {
    layer_.collectDeviceIdentifiers();
    result(Value());
  } else if (method == "canMakePayments") {
    result(Value(layer_.canMakePaymentsWithFeatures(args.any("features"))));
  } else if (method == "beginRefundRequestForActiveEntitlement" ||
             method == "beginRefundRequestForProduct" ||
             method == "beginRefundRequestForEntitlement") {
    result(Value());
  } else if (method == "getPromotionalOffer") {
    layer_.promotionalOfferForProductIdentifier(args.any("productIdentifier"),
                                                args.any("discountIdentifier"), adapter());
  } else if (method == "startPromotedProductPurchase") {
    int64_t callbackID = args.integer("callbackID");
    if (refused()) return;
    TCStartPurchaseBlock startPurchase;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (callbackID >= 0 && static_cast<uint64_t>(callbackID) < startPurchaseBlocks_.size()) {
        startPurchase = startPurchaseBlocks_[static_cast<size_t>(callbackID)];
      }
    }
    if (!startPurchase) {
      args.fail("no promoted product has callback ID " + std::to_string(callbackID));
      refused();
      return;
    }
    layer_.makeDeferredPurchase(startPurchase, adapter());
  } else if (method == "showInAppMessages") {
    (void)args.any("types");  // Read for symmetry with other platforms; it has no effect here.
    log_(kInAppMessagesWarning);
    result(Value());
  } else if (method == "close") {
    result(Value());
  } else if (method == "setLogHandler") {
    std::weak_ptr<PurchasesFlutterPlugin> weak = self_;
    layer_.setLogHanderOnLogReceived([weak](const Dictionary& entry) {
      if (auto plugin = weak.lock()) plugin->invokeDart(PurchasesLogHandlerEvent, Value(entry));
    });
    result(Value());
  } else if (method == "syncAmazonPurchase") {
    result(Value());
  } else if (method == "eligibleWinBackOffersForProduct") {
    if (!systemAtLeast(15, 0)) return unsupportedWinBack();
    layer_.eligibleWinBackOffersForProductIdentifier(args.any("productIdentifier"), adapter());
  } else if (method == "purchaseProductWithWinBackOffer") {
    if (!systemAtLeast(15, 0)) return unsupportedWinBack();
    layer_.purchaseProductWithWinBackOffer(args.any("productIdentifier"),
                                           args.any("winBackOfferIdentifier"), adapter());
  } else if (method == "purchasePackageWithWinBackOffer") {
    if (!systemAtLeast(15, 0)) return unsupportedWinBack();
    layer_.purchasePackageWithWinBackOffer(args.any("packageIdentifier"),
                                           args.any("presentedOfferingContext"),
                                           args.any("winBackOfferIdentifier"), adapter());
  } else if (method == "isWebPurchaseRedemptionURL") {
    result(Value(layer_.isWebPurchaseRedemptionURL(args.any("urlString"))));
  } else if (method == "redeemWebPurchase") {
    layer_.redeemWebPurchaseWithUrlString(args.any("redemptionLink"), adapter());
  } else {
    result(flutter::FlutterMethodNotImplemented());
  }
}
