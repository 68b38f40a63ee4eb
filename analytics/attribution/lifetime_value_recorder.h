// ZIVLifetimeValueRecorder: keeps, per currency, the running total the user has spent: the user
// attribute "_ltv_" + upper-cased currency code, an int64 amount in micros of origin "auto". The
// event pipeline calls it for every event inside the database transaction that stores the event;
// purchases add to the total and refunds subtract from it. At most `maxTrackedCurrencies`
// currencies are kept; a new one beyond that replaces the one set longest ago.
//
// A total that would pass the 64-bit range stays at the bound it reached (it never wraps).
//
// Thread safety: class methods only, no state; call on the engine's worker queue.
#pragma once

#include <cstdint>
#include <memory>

class ZIVDatabase;
class ZIVEvent;
class ZIVMonitor;

inline constexpr const char* ZIVMeasurementUserAttributeNamePrefixLifetimeValue = "_ltv_";

class ZIVLifetimeValueRecorder {
 public:
  // "_iap", "in_app_purchase", or an ecommerce purchase.
  static bool isPurchaseEvent(const ZIVEvent& event);
  // "ecommerce_purchase", "purchase", "refund".
  static bool isEcommercePurchaseEvent(const ZIVEvent& event);

  // True when the event is not a purchase, was skipped for bad parameters (22000, 22001) or was
  // recorded (22006); false on a database failure (22003, 22004, 22005) or an amount out of the
  // 64-bit range (22002). `now` is seconds since 1970; logs go to `monitor`
  // (ZIVMeasurement::monitor() when null).
  static bool recordLifetimeValueToDatabase(ZIVDatabase& database, const ZIVEvent& event,
                                            int32_t maxTrackedCurrencies, double now,
                                            const std::shared_ptr<ZIVMonitor>& monitor = nullptr);
};
