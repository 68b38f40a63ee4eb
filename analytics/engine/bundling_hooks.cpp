#include "analytics/engine/bundling_hooks.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "analytics/attribution/purchase_parameters.h"
#include "analytics/attribution/receipt_parser.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/value.h"
#include "platform/storekit/decimal_number.h"

std::optional<int64_t> ZIVDecimalValueInMicros(const fnd::Value& number) {
  if (number.isInt()) return ZIVValueInMicros(SKDecimalNumber::fromInt64(number.asInt()));
  if (!number.isDouble()) return std::nullopt;
  const double value = number.asDouble();
  if (std::isnan(value)) return std::nullopt;
  if (std::isinf(value)) {
    return value > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (ec != std::errc()) return std::nullopt;
  std::optional<SKDecimalNumber> decimal =
      SKDecimalNumber::fromString(std::string_view(buffer, end - buffer));
  if (!decimal) return std::nullopt;
  return ZIVValueInMicros(*decimal);
}

std::optional<int64_t> ZIVPurchaseHooks::valueInMicros(const ZIVValue& value) {
  if (value.isInt64()) return ZIVDecimalValueInMicros(fnd::Value::Int64(value.int64Value()));
  if (value.isDouble()) return ZIVDecimalValueInMicros(fnd::Value(value.doubleValue()));
  return std::nullopt;
}

bool ZIVPurchaseHooks::isSandboxReceipt() { return APMAEU::isASRS(); }

bool ZIVPurchaseHooks::validateStoreReceipt() { return ZIVParseData(); }
