// The StoreKit 2 side of the public interface: the purchase-type code of a product type. The
// report of a transaction itself is DEVAzodavevu::logTransaction (azodavevu.h).
//
// Thread safety: stateless.
#pragma once

#include <cstdint>

#include "platform/storekit/storekit2.h"

// `zivIntValue`: non-consumable 0, consumable 1, non-renewable subscription 2, auto-renewable
// subscription 3, any other type 0 (the purchase-type codes of the store receipt).
int64_t zivIntValue(const StoreKit::ProductType& productType);
