// ZIVInAppPurchaseItem: one in-app purchase as the store receipt records it. A plain record; every
// field starts empty (or false) and is filled by the receipt parser or by the purchase reporter.
//
// Thread safety: none; a record is filled on one thread and then only read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Purchase-type codes of a receipt item.
inline constexpr int64_t ZIVInAppPurchaseTypeNonConsumable = 0;
inline constexpr int64_t ZIVInAppPurchaseTypeConsumable = 1;
inline constexpr int64_t ZIVInAppPurchaseTypeNonRenewingSubscription = 2;
inline constexpr int64_t ZIVInAppPurchaseTypeAutoRenewableSubscription = 3;

struct ZIVInAppPurchaseItem {
  std::optional<std::string> productID;              // Attribute 1702.
  std::optional<std::string> transactionID;          // 1703.
  std::optional<std::string> originalTransactionID;  // 1705.
  // Dates as the receipt writes them: "yyyy-MM-dd'T'HH:mm:ssZZZZZ".
  std::optional<std::string> purchaseDateIA5String;                // 1704.
  std::optional<std::string> originalPurchaseDateIA5String;        // 1706.
  std::optional<std::string> subscriptionExpirationDateIA5String;  // 1708.
  std::optional<std::string> cancellationDateIA5String;            // 1712.
  std::optional<uint64_t> webOrderLineItemID;                      // 1711.
  std::optional<int64_t> purchaseType;                             // 1707.
  bool freeTrial = false;                                          // 1713.
  bool introductoryOffer = false;                                  // 1719.

  bool isFreeTrial() const { return freeTrial; }
  bool isIntroductoryOffer() const { return introductoryOffer; }
};
using ZIVInAppPurchaseItemPtr = std::shared_ptr<ZIVInAppPurchaseItem>;
