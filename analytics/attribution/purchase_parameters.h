// Parameters of a purchase event: a store product and the fields of one transaction become the
// event's parameters, classified against the purchase items of the store receipt. A transaction
// the receipt does not bear out is marked "invalid"; subscriptions are marked "subscription"; first
// purchases, renewals and free-trial conversions are told apart ("sub_renew", "sub_convert"
// markers for the reporter); every accepted purchase gets a de-duplication ID "_did".
//
// Amounts are micros (millionths of the currency unit) as 64-bit integers, computed in exact
// decimal arithmetic and converted once, held at the 64-bit bounds.
//
// Log lines go to the engine's monitor at level 8, codes 40003 to 40027.
//
// Thread safety: pure functions apart from logging; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analytics/attribution/in_app_purchase_item.h"
#include "analytics/engine/event.h"
#include "platform/storekit/storekit.h"

// Parameter keys.
inline constexpr const char* kZIVParameterProductID = "product_id";
inline constexpr const char* kZIVParameterProductName = "product_name";
inline constexpr const char* kZIVParameterPrice = "price";
inline constexpr const char* kZIVParameterValue = "value";
inline constexpr const char* kZIVParameterQuantity = "quantity";
inline constexpr const char* kZIVParameterCurrency = "currency";
inline constexpr const char* kZIVParameterOriginalPrice = "original_price";
inline constexpr const char* kZIVParameterPriceIsDiscounted = "price_is_discounted";
inline constexpr const char* kZIVParameterFreeTrial = "free_trial";
inline constexpr const char* kZIVParameterSubscription = "subscription";
inline constexpr const char* kZIVParameterDedupeID = "_did";
// Markers for the reporter; never sent.
inline constexpr const char* kZIVParameterInAppPurchaseInvalid = "invalid";
inline constexpr const char* kZIVParameterIsSubscriptionRenewal = "sub_renew";
inline constexpr const char* kZIVParameterIsSubscriptionConversion = "sub_convert";

inline constexpr int64_t ZIVDataTypeMicrosMultiplier = 1000000;

using ZIVPurchaseItems = std::vector<ZIVInAppPurchaseItemPtr>;

// The amount times 1000000, truncated toward zero, held at the int64 bounds.
int64_t ZIVValueInMicros(const SKDecimalNumber& amount);
// price x quantity in micros, the same way.
int64_t ZIVValueInMicrosFromPriceAndQuantity(const SKDecimalNumber& price, int64_t quantity);

// Last 8 bytes of MD5(original ID + web order line item ID in decimal + product ID), big-endian
// and signed; -1 when the original ID or the product ID is missing or empty.
int64_t ZIVTransactionDedupeID(const std::optional<std::string>& originalTransactionID,
                               const std::optional<uint64_t>& webOrderLineItemID,
                               const std::optional<std::string>& productID);

// Receipt dates: "yyyy-MM-dd'T'HH:mm:ssZZZZZ" in GMT. Parsing gives seconds since 1970.
std::optional<double> ZIVIAPDateFromString(const std::optional<std::string>& text);
std::string ZIVIAPStringFromDate(double secondsSince1970);

// The items of the product and/or date (both given: both must match), oldest first; nullopt for
// no items, or for neither a product ID nor a date.
std::optional<ZIVPurchaseItems> ZIVMatchingInAppPurchaseItems(
    const std::optional<ZIVPurchaseItems>& items, const std::optional<std::string>& productID,
    const std::optional<double>& purchaseDate);

// Adds "sub_convert" (the item before `item` was a free trial) or "sub_renew" to a renewal (an
// item whose original transaction ID differs from its transaction ID).
void ZIVMaybeAddSubscriptionParameters(ZIVEvent::Parameters& parameters,
                                       const ZIVPurchaseItems& productItems,
                                       const ZIVInAppPurchaseItemPtr& item);

// The parameters of the purchase event, or nullopt when no event is to be logged (no product, no
// product ID, or one of "price", "value", "currency", "product_id" missing at the end).
std::optional<ZIVEvent::Parameters> ZIVInAppPurchaseEventParametersFromProductAndTransactionFields(
    const SKProductPtr& product, uint64_t quantity, const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID,
    const std::optional<double>& transactionDate, const std::optional<ZIVPurchaseItems>& items);
