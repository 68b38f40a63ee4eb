#include "analytics/attribution/purchase_parameters.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analytics/attribution/saturating_int.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/date.h"

namespace {

void Log(int64_t code, const std::string& message) {
  ZIVMeasurement::monitor()->logWithLevel(8, code, message);
}
void Log(int64_t code, const std::string& message, const fnd::Value& context) {
  ZIVMeasurement::monitor()->logWithLevel(8, code, message, context);
}

bool NonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

void SetInt(ZIVEvent::Parameters& parameters, const char* key, int64_t value) {
  parameters[key] = ZIVValue::initWithInt64(value);
}

bool IsOne(const ZIVEvent::Parameters& parameters, const char* key) {
  auto found = parameters.find(key);
  return found != parameters.end() && found->second && found->second->isInt64() &&
         found->second->int64Value() == 1;
}

int64_t QuantityAsInt64(uint64_t quantity) {
  return quantity > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
             ? std::numeric_limits<int64_t>::max()
             : static_cast<int64_t>(quantity);
}

// "original_price" <- "price" (when there is one), then the discounted price.
void ApplyFreeTrial(ZIVEvent::Parameters& r) {
  auto price = r.find(kZIVParameterPrice);
  if (price != r.end()) r[kZIVParameterOriginalPrice] = price->second;
  SetInt(r, kZIVParameterPriceIsDiscounted, 1);
  SetInt(r, kZIVParameterPrice, 0);
  SetInt(r, kZIVParameterValue, 0);
}

// The receipt's view of the transaction (step 3 of the build), added to `p`.
ZIVEvent::Parameters Classify(const ZIVEvent::Parameters& p, const std::string& productID,
                              const std::optional<std::string>& transactionID,
                              const std::optional<std::string>& originalTransactionID,
                              const std::optional<double>& transactionDate,
                              const std::optional<ZIVPurchaseItems>& items) {
  ZIVEvent::Parameters r = p;
  if (!NonEmpty(transactionID)) Log(40003, "Transaction ID cannot be nil or empty.");
  std::optional<ZIVPurchaseItems> productItems =
      ZIVMatchingInAppPurchaseItems(items, productID, std::nullopt);
  if (!productItems || productItems->empty()) {
    Log(40020, "Transaction missing in receipt will be reported as invalid", fnd::Value(productID));
    SetInt(r, kZIVParameterInAppPurchaseInvalid, 1);
    return r;
  }
  const ZIVInAppPurchaseItemPtr latest = productItems->back();
  const std::optional<int64_t> type = latest->purchaseType;
  if (type == ZIVInAppPurchaseTypeNonConsumable && NonEmpty(transactionID) &&
      NonEmpty(originalTransactionID) && *transactionID != *originalTransactionID) {
    Log(40005, "Restore/repurchase of non-consumable item will be reported as invalid");
    SetInt(r, kZIVParameterInAppPurchaseInvalid, 1);
    return r;
  }
  const bool isSubscription = type == ZIVInAppPurchaseTypeAutoRenewableSubscription ||
                              type == ZIVInAppPurchaseTypeNonRenewingSubscription ||
                              latest->webOrderLineItemID.has_value();
  const bool sameIDs = latest->transactionID == latest->originalTransactionID;
  if (!isSubscription) {
    if (sameIDs) {
      if (type == ZIVInAppPurchaseTypeConsumable) {
        Log(40021, "Transaction of consumable item will be reported");
      } else if (type == ZIVInAppPurchaseTypeNonConsumable) {
        Log(40022, "Transaction of non-consumable item will be reported");
      }
      SetInt(
          r, kZIVParameterDedupeID,
          ZIVTransactionDedupeID(latest->originalTransactionID, std::nullopt, latest->productID));
      return r;
    }
    Log(40007,
        "Transaction with mismatched transaction ID and original transaction ID will be reported "
        "as consumable");
    return r;
  }

  ZIVPurchaseItems dated;
  for (const auto& item : *productItems) {
    std::optional<double> date = ZIVIAPDateFromString(item->purchaseDateIA5String);
    if (date && transactionDate && *date == *transactionDate) dated.push_back(item);
  }
  if (dated.empty()) {
    Log(40023, "Subscription transaction missing in receipt will be reported as invalid",
        fnd::Value(productID));
    SetInt(r, kZIVParameterInAppPurchaseInvalid, 1);
    SetInt(r, kZIVParameterSubscription, 1);
    return r;
  }
  if (dated.size() >= 2) {
    ZIVMeasurement::monitor()->logWithLevel(
        8, 40024,
        "Subscription transaction with duplicate transaction date will be reported as invalid",
        fnd::Value(productID), fnd::Value::Int64(static_cast<int64_t>(dated.size())));
    SetInt(r, kZIVParameterInAppPurchaseInvalid, 1);
    SetInt(r, kZIVParameterSubscription, 1);
    return r;
  }
  const ZIVInAppPurchaseItemPtr& item = dated.front();
  if (item->purchaseType == ZIVInAppPurchaseTypeNonRenewingSubscription) {
    SetInt(r, kZIVParameterSubscription, 1);
    SetInt(r, kZIVParameterDedupeID,
           ZIVTransactionDedupeID(item->originalTransactionID, std::nullopt, item->productID));
    Log(40025, "Transaction of non-renewing subscription will be reported");
    return r;
  }
  if (item->originalTransactionID == item->transactionID) SetInt(r, kZIVParameterSubscription, 1);
  SetInt(r, kZIVParameterDedupeID,
         ZIVTransactionDedupeID(item->originalTransactionID, item->webOrderLineItemID,
                                item->productID));
  if (item->isFreeTrial() || item->isIntroductoryOffer()) {
    if (item->isFreeTrial()) {
      SetInt(r, kZIVParameterFreeTrial, 1);
      if (NonEmpty(transactionID) && NonEmpty(originalTransactionID) &&
          *transactionID != *originalTransactionID) {
        Log(40011,
            "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
        SetInt(r, kZIVParameterInAppPurchaseInvalid, 1);
        return r;
      }
      Log(40009, "Transaction of free-trial auto-renewable subscription will be reported");
    }
    if (item->isIntroductoryOffer()) {
      SetInt(r, kZIVParameterPriceIsDiscounted, 1);
      ZIVMaybeAddSubscriptionParameters(r, *productItems, item);
      Log(40018, "Transaction of introductory offer will be reported");
    }
    Log(40010, "Transaction of auto-renewable subscription renewal will be reported");
    return r;
  }
  Log(40008, "Transaction of auto-renewable subscription will be reported");
  ZIVMaybeAddSubscriptionParameters(r, *productItems, item);
  return r;
}

}  // namespace

int64_t ZIVValueInMicros(const SKDecimalNumber& amount) {
  return ZIVSaturatingInt64FromDouble(amount.multiplyingByPowerOf10(6).doubleValue());
}

int64_t ZIVValueInMicrosFromPriceAndQuantity(const SKDecimalNumber& price, int64_t quantity) {
  return ZIVValueInMicros(SKDecimalNumber::fromInt64(quantity).multiplying(price));
}

int64_t ZIVTransactionDedupeID(const std::optional<std::string>& originalTransactionID,
                               const std::optional<uint64_t>& webOrderLineItemID,
                               const std::optional<std::string>& productID) {
  if (!NonEmpty(originalTransactionID) || !NonEmpty(productID)) return -1;
  std::string text = *originalTransactionID;
  if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
  text += *productID;
  return static_cast<int64_t>(ziv_64LSBMD5(fnd::Data(text.begin(), text.end())));
}

std::optional<double> ZIVIAPDateFromString(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  // The receipt form has whole seconds and a zone: "2024-03-05T07:08:09Z" or "...+01:00".
  if (text->size() < 20 || (*text)[10] != 'T' || (*text)[19] == '.') return std::nullopt;
  return fnd::ParseISO8601(*text);
}

std::string ZIVIAPStringFromDate(double secondsSince1970) {
  return fnd::FormatISO8601(std::floor(secondsSince1970));
}

std::optional<ZIVPurchaseItems> ZIVMatchingInAppPurchaseItems(
    const std::optional<ZIVPurchaseItems>& items, const std::optional<std::string>& productID,
    const std::optional<double>& purchaseDate) {
  if (!items || items->empty()) return std::nullopt;
  const bool byProduct = NonEmpty(productID);
  if (!purchaseDate && !byProduct) return std::nullopt;
  std::vector<std::pair<std::optional<double>, ZIVInAppPurchaseItemPtr>> kept;
  for (const auto& item : *items) {
    if (!item) continue;
    std::optional<double> date = ZIVIAPDateFromString(item->purchaseDateIA5String);
    if (byProduct && item->productID != productID) continue;
    if (purchaseDate && (!date || *date != *purchaseDate)) continue;
    kept.emplace_back(date, item);
  }
  // Oldest first; an item without a readable date sorts before every dated one.
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    if (!a.first) return b.first.has_value();
    return b.first && *a.first < *b.first;
  });
  ZIVPurchaseItems result;
  for (auto& entry : kept) result.push_back(std::move(entry.second));
  return result;
}

void ZIVMaybeAddSubscriptionParameters(ZIVEvent::Parameters& parameters,
                                       const ZIVPurchaseItems& productItems,
                                       const ZIVInAppPurchaseItemPtr& item) {
  if (productItems.empty() || !item) return;
  if (item->originalTransactionID == item->transactionID) return;
  auto position = std::find(productItems.begin(), productItems.end(), item);
  ZIVInAppPurchaseItemPtr previous;
  if (position != productItems.end() && position != productItems.begin()) {
    previous = *(position - 1);
  }
  if (previous && previous->isFreeTrial()) {
    SetInt(parameters, kZIVParameterIsSubscriptionConversion, 1);
  } else {
    SetInt(parameters, kZIVParameterIsSubscriptionRenewal, 1);
  }
}

std::optional<ZIVEvent::Parameters> ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(
    const SKProductPtr& product, uint64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID,
    const std::optional<double>& transactionDate, const std::optional<ZIVPurchaseItems>& items) {
  if (!product) {
    Log(40026, "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  if (product->productIdentifier.empty()) {
    Log(40027, "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }
  const int64_t count = QuantityAsInt64(quantity);
  ZIVEvent::Parameters p;
  p[kZIVParameterProductID] = ZIVValue::initWithString(product->productIdentifier);
  if (product->price) {
    SetInt(p, kZIVParameterPrice, ZIVValueInMicros(*product->price));
    if (quantity != 0) {
      SetInt(p, kZIVParameterValue, ZIVValueInMicrosFromPriceAndQuantity(*product->price, count));
      SetInt(p, kZIVParameterQuantity, count);
    }
  }
  if (product->currencyCode) {
    p[kZIVParameterCurrency] = ZIVValue::initWithString(*product->currencyCode);
  }
  if (product->localizedTitle) {
    p[kZIVParameterProductName] = ZIVValue::initWithString(*product->localizedTitle);
  }

  ZIVEvent::Parameters r = Classify(p, product->productIdentifier, transactionID,
                                    originalTransactionID, transactionDate, items);

  if (IsOne(r, kZIVParameterFreeTrial)) {
    ApplyFreeTrial(r);
  } else if (IsOne(r, kZIVParameterPriceIsDiscounted) && product->introductoryPrice) {
    const SKProductDiscount& discount = *product->introductoryPrice;
    if (discount.paymentMode == SKProductDiscountPaymentMode::kFreeTrial) {
      ApplyFreeTrial(r);
    } else if (discount.price) {
      auto price = r.find(kZIVParameterPrice);
      if (price != r.end()) r[kZIVParameterOriginalPrice] = price->second;
      SetInt(r, kZIVParameterPrice, ZIVValueInMicros(*discount.price));
      if (quantity != 0) {
        SetInt(r, kZIVParameterValue, ZIVValueInMicrosFromPriceAndQuantity(*discount.price, count));
      }
    }
  }
  for (const char* required :
       {kZIVParameterPrice, kZIVParameterValue, kZIVParameterCurrency, kZIVParameterProductID}) {
    if (r.find(required) == r.end()) return std::nullopt;
  }
  return r;
}
