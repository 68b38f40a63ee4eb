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

const PurchasesFlutterPlugin::Methods& PurchasesFlutterPlugin::methods() {
  static const Methods* table = MakeMethods();
  return *table;
}

PurchasesFlutterPlugin::Methods* PurchasesFlutterPlugin::MakeMethods() {
  using Self = PurchasesFlutterPlugin;
  using Args = flutter::ChannelArguments;
  using Result = flutter::FlutterResult;
  // Every entry answers the call exactly once, also when its arguments are refused.
  // A method that hands one argument to the layer and answers null.
  auto setter = [](const char* key, void (TCCommonFunctionality::*set)(const Value&)) {
    return Method([key, set](Self& self, Args& args, const Result& result) {
      Value value = args.any(key);
      if (args.refused(result, kInvalidArgumentsCode)) return;
      (self.layer_.*set)(value);
      result(Value());
    });
  };
  // A method that hands one boolean argument to the layer and answers null.
  auto booleanSetter = [](const char* key, void (TCCommonFunctionality::*set)(bool)) {
    return Method([key, set](Self& self, Args& args, const Result& result) {
      bool value = args.boolean(key);
      if (args.refused(result, kInvalidArgumentsCode)) return;
      (self.layer_.*set)(value);
      result(Value());
    });
  };
  // A method that hands one argument to the layer, whose completion is the answer.
  auto completingWith =
      [](const char* key, void (TCCommonFunctionality::*operation)(const Value&, TCResponseBlock)) {
        return Method([key, operation](Self& self, Args& args, const Result& result) {
          Value value = args.any(key);
          if (args.refused(result, kInvalidArgumentsCode)) return;
          (self.layer_.*operation)(value, getResponseCompletionBlock(result));
        });
      };
  // A method without arguments whose answer is the layer's completion.
  auto completing = [](void (TCCommonFunctionality::*operation)(TCResponseBlock)) {
    return Method([operation](Self& self, Args&, const Result& result) {
      (self.layer_.*operation)(getResponseCompletionBlock(result));
    });
  };
  // A method that answers null and calls nothing.
  auto answerNull = [](Self&, Args&, const Result& result) { result(Value()); };
  // A win-back method: on macOS 15 or later `read` takes the arguments and gives the layer's
  // call, which completes the answer; before, the unsupported error.
  using Call = std::function<void(TCResponseBlock)>;
  auto winBack = [](std::function<Call(Self&, Args&)> read) {
    return Method([read](Self& self, Args& args, const Result& result) {
      if (!self.systemAtLeast(15, 0)) {
        self.log_(kWinBackWarning);
        rejectWithResult(result,
                         TCErrorContainer::initWithError(
                             createUnsupportedErrorWithDescription(kWinBackUnsupportedDescription),
                             Dictionary{}));
        return;
      }
      Call call = read(self, args);
      if (args.refused(result, kInvalidArgumentsCode)) return;
      call(getResponseCompletionBlock(result));
    });
  };

  std::vector<std::pair<std::string_view, Method>> entries{
      {"setupPurchases",
       [](Self& self, Args& args, const Result& result) {
         bool show = args.has("shouldShowInAppMessagesAutomatically")
                         ? args.boolean("shouldShowInAppMessagesAutomatically")
                         : true;
         TCPurchases::Configuration configuration;
         configuration.apiKey = args.any("apiKey");
         configuration.appUserID = args.string("appUserId");
         configuration.purchasesAreCompletedBy = args.any("purchasesAreCompletedBy");
         configuration.userDefaultsSuiteName = args.string("userDefaultsSuiteName");
         configuration.platformFlavor = kPurchasesPlatformFlavor;
         configuration.platformFlavorVersion = kPurchasesPlatformFlavorVersion;
         configuration.storeKitVersion = args.any("storeKitVersion");
         configuration.dangerousSettings = std::nullopt;
         configuration.shouldShowInAppMessagesAutomatically = show;
         if (args.refused(result, kInvalidArgumentsCode)) return;
         std::shared_ptr<TCPurchases> purchases = self.layer_.configure(std::move(configuration));
         if (purchases) purchases->setDelegate(self.self_);
         result(Value());
       }},
      {"setAllowSharingStoreAccount",
       booleanSetter("allowSharing", &TCCommonFunctionality::setAllowSharingStoreAccount)},
      {"getOfferings", completing(&TCCommonFunctionality::getOfferings)},
      {"getCurrentOfferingForPlacement",
       completingWith("placementIdentifier",
                      &TCCommonFunctionality::getCurrentOfferingForPlacement)},
      {"syncAttributesAndOfferingsIfNeeded",
       completing(&TCCommonFunctionality::syncAttributesAndOfferingsIfNeeded)},
      {"getProductInfo",
       [](Self& self, Args& args, const Result& result) {
         Value identifiers = args.any("productIdentifiers");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.layer_.getProductInfo(
             identifiers, [result](fnd::Array products) { result(Value(std::move(products))); });
       }},
      {"purchaseProduct",
       [](Self& self, Args& args, const Result& result) {
         Value product = args.any("productIdentifier");
         Value timestamp = args.any("signedDiscountTimestamp");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.layer_.purchaseProduct(product, timestamp, getResponseCompletionBlock(result));
       }},
      {"purchasePackage",
       [](Self& self, Args& args, const Result& result) {
         Value package = args.any("packageIdentifier");
         Value context = args.any("presentedOfferingContext");
         Value timestamp = args.any("signedDiscountTimestamp");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.layer_.purchasePackage(package, context, timestamp,
                                     getResponseCompletionBlock(result));
       }},
      {"getAppUserID",
       [](Self& self, Args&, const Result& result) { result(Value(self.layer_.appUserID())); }},
      {"getStorefront",
       [](Self& self, Args&, const Result& result) {
         self.layer_.getStorefront([result](Value storefront) { result(storefront); });
       }},
      {"restorePurchases", completing(&TCCommonFunctionality::restorePurchases)},
      {"logOut", completing(&TCCommonFunctionality::logOut)},
      {"logIn", completingWith("appUserID", &TCCommonFunctionality::logIn)},
      {"setDebugLogsEnabled",
       booleanSetter("enabled", &TCCommonFunctionality::setDebugLogsEnabled)},
      {"setLogLevel", setter("level", &TCCommonFunctionality::setLogLevel)},
      {"setSimulatesAskToBuyInSandbox",
       booleanSetter("enabled", &TCCommonFunctionality::setSimulatesAskToBuyInSandbox)},
      {"setProxyURLString", setter("proxyURLString", &TCCommonFunctionality::setProxyURLString)},
      {"getCustomerInfo", completing(&TCCommonFunctionality::getCustomerInfo)},
      {"syncPurchases", completing(&TCCommonFunctionality::syncPurchases)},
      {"enableAdServicesAttributionTokenCollection",
       [](Self& self, Args&, const Result& result) {
         if (self.systemAtLeast(11, 1)) {
           self.layer_.enableAdServicesAttributionTokenCollection();
         } else {
           self.log_(kAdServicesWarning);
         }
         result(Value());
       }},
      {"recordPurchaseForProductID",
       [](Self& self, Args& args, const Result& result) {
         if (!self.systemAtLeast(12, 0)) {
           self.log_(kRecordPurchaseWarning);
           result(Value());
           return;
         }
         Value product = args.any("productIdentifier");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.layer_.recordPurchaseForProductID(product, getResponseCompletionBlock(result));
       }},
      {"isAnonymous",
       [](Self& self, Args&, const Result& result) { result(Value(self.layer_.isAnonymous())); }},
      {"isConfigured",
       [](Self& self, Args&, const Result& result) { result(Value(self.layer_.isConfigured())); }},
      {"checkTrialOrIntroductoryPriceEligibility",
       [](Self& self, Args& args, const Result& result) {
         Value identifiers = args.any("productIdentifiers");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.layer_.checkTrialOrIntroductoryPriceEligibility(
             identifiers,
             [result](Dictionary eligibility) { result(Value(std::move(eligibility))); });
       }},
      {"invalidateCustomerInfoCache",
       [](Self& self, Args&, const Result& result) {
         self.layer_.invalidateCustomerInfoCache();
         result(Value());
       }},
      {"presentCodeRedemptionSheet",
       [](Self& self, Args&, const Result& result) {
         self.log_(kCodeRedemptionWarning);
         result(Value());
       }},
      {"setAttributes", setter("attributes", &TCCommonFunctionality::setAttributes)},
  };
  for (const AttributeSetter& s : kAttributeSetters) {
    entries.emplace_back(s.method, setter(s.key, s.setter));
  }
  std::vector<std::pair<std::string_view, Method>> rest{
      {"collectDeviceIdentifiers",
       [](Self& self, Args&, const Result& result) {
         self.layer_.collectDeviceIdentifiers();
         result(Value());
       }},
      {"canMakePayments",
       [](Self& self, Args& args, const Result& result) {
         Value features = args.any("features");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         result(Value(self.layer_.canMakePaymentsWithFeatures(features)));
       }},
      {"beginRefundRequestForActiveEntitlement", answerNull},
      {"beginRefundRequestForProduct", answerNull},
      {"beginRefundRequestForEntitlement", answerNull},
      {"getPromotionalOffer",
       [](Self& self, Args& args, const Result& result) {
         Value product = args.any("productIdentifier");
         Value discount = args.any("discountIdentifier");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.layer_.promotionalOfferForProductIdentifier(product, discount,
                                                          getResponseCompletionBlock(result));
       }},
      {"startPromotedProductPurchase",
       [](Self& self, Args& args, const Result& result) {
         int64_t callbackID = args.integer("callbackID");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         TCStartPurchaseBlock startPurchase;
         {
           std::lock_guard<std::mutex> lock(self.mu_);
           if (callbackID >= 0 &&
               static_cast<uint64_t>(callbackID) < self.startPurchaseBlocks_.size()) {
             startPurchase = self.startPurchaseBlocks_[static_cast<size_t>(callbackID)];
           }
         }
         if (!startPurchase) {
           args.fail("no promoted product has callback ID " + std::to_string(callbackID));
           args.refused(result, kInvalidArgumentsCode);
           return;
         }
         self.layer_.makeDeferredPurchase(startPurchase, getResponseCompletionBlock(result));
       }},
      {"showInAppMessages",
       [](Self& self, Args& args, const Result& result) {
         (void)args.any("types");  // Read for symmetry with other platforms; it has no effect.
         if (args.refused(result, kInvalidArgumentsCode)) return;
         self.log_(kInAppMessagesWarning);
         result(Value());
       }},
      {"close", answerNull},
      {"setLogHandler",
       [](Self& self, Args&, const Result& result) {
         std::weak_ptr<PurchasesFlutterPlugin> weak = self.self_;
         self.layer_.setLogHanderOnLogReceived([weak](const Dictionary& entry) {
           if (auto plugin = weak.lock())
             plugin->invokeDart(PurchasesLogHandlerEvent, Value(entry));
         });
         result(Value());
       }},
      {"syncAmazonPurchase", answerNull},
      {"eligibleWinBackOffersForProduct", winBack([](Self& self, Args& args) -> Call {
         Value product = args.any("productIdentifier");
         return [&self, product](TCResponseBlock done) {
           self.layer_.eligibleWinBackOffersForProductIdentifier(product, std::move(done));
         };
       })},
      {"purchaseProductWithWinBackOffer", winBack([](Self& self, Args& args) -> Call {
         Value product = args.any("productIdentifier");
         Value offer = args.any("winBackOfferIdentifier");
         return [&self, product, offer](TCResponseBlock done) {
           self.layer_.purchaseProductWithWinBackOffer(product, offer, std::move(done));
         };
       })},
      {"purchasePackageWithWinBackOffer", winBack([](Self& self, Args& args) -> Call {
         Value package = args.any("packageIdentifier");
         Value context = args.any("presentedOfferingContext");
         Value offer = args.any("winBackOfferIdentifier");
         return [&self, package, context, offer](TCResponseBlock done) {
           self.layer_.purchasePackageWithWinBackOffer(package, context, offer, std::move(done));
         };
       })},
      {"isWebPurchaseRedemptionURL",
       [](Self& self, Args& args, const Result& result) {
         Value url = args.any("urlString");
         if (args.refused(result, kInvalidArgumentsCode)) return;
         result(Value(self.layer_.isWebPurchaseRedemptionURL(url)));
       }},
      {"redeemWebPurchase",
       completingWith("redemptionLink", &TCCommonFunctionality::redeemWebPurchaseWithUrlString)},
  };
  for (auto& entry : rest) entries.push_back(std::move(entry));
  return new Methods(std::move(entries));
}

void PurchasesFlutterPlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                              flutter::FlutterResult result) {
  const Method* method = methods().find(call.method());
  if (!method) {
    result(flutter::FlutterMethodNotImplemented());
    return;
  }
  // Arguments that are no map are refused only by a method that reads them.
  flutter::ChannelArguments args =
      flutter::ChannelArguments::ofMap(call.method(), call.arguments());
  (*method)(*this, args, result);
}
