// ZIVDefaultIdentitySupport: the identity support the engine uses. It finds the class
// "ZIVPlatformIdentitySupport" by name, keeps its shared instance when that conforms to
// ZIVIdentitySupport, and forwards to it; without it there is no status and no identifier.
//
// Reading the advertising identifier may be slow, so each read runs on the object's own serial
// queue "ZIVDefaultIdentitySupport" and a caller waits for it at most 10 milliseconds (on the
// object's clock); a later read answers the identifier of the last read that finished.
//
// Thread safety: every method may be called from any thread except from the object's own queue.
// The last identifier read is guarded by a mutex; platform reads run one at a time on the queue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/engine/identity_support.h"
#include "analytics/engine/runtime_class_registry.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

class ZIVMonitor;

// How long a caller waits for the platform's advertising identifier, in seconds.
inline constexpr double ZIVDefaultIdentitySupportReadTimeout = 0.010;

class ZIVDefaultIdentitySupport : public ZIVIdentitySupport,
                                  public std::enable_shared_from_this<ZIVDefaultIdentitySupport> {
 public:
  // Made once over the process's registry, logging to the engine's monitor.
  static std::shared_ptr<ZIVDefaultIdentitySupport> sharedInstance();
  // The platform generation this engine assumes: YES.
  static bool iOS14OrAbove() { return true; }

  // Looks up the platform support in `registry` and logs what it found (44000 to 44003).
  // `monitor` gets the log lines (ZIVMeasurement::monitor() when null); `clock` times the wait
  // for the identifier (dispatch::Clock::current() at each wait when null).
  static std::shared_ptr<ZIVDefaultIdentitySupport> create(
      const ZIVRuntimeClassRegistry& registry, std::shared_ptr<ZIVMonitor> monitor = nullptr,
      std::shared_ptr<dispatch::Clock> clock = nullptr);

  ZIVDefaultIdentitySupport(const ZIVDefaultIdentitySupport&) = delete;
  ZIVDefaultIdentitySupport& operator=(const ZIVDefaultIdentitySupport&) = delete;

  // Forwarded to the platform support; without it NO, ZIVIdentitySupportNoStatus, NO.
  bool hasAppDataConsentStatus() override;
  uint64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  // YES when resettableDeviceID() is nullopt or all zeros.
  bool limitedAdTracking() override;
  // Without platform support nullopt. Otherwise queues one platform read that stores its answer,
  // waits for it at most ZIVDefaultIdentitySupportReadTimeout, and answers the stored identifier:
  // this read's when it finished in time, else that of an earlier read (nullopt at first).
  std::optional<std::string> resettableDeviceID() override;

  // The platform support in use, or null.
  const std::shared_ptr<ZIVIdentitySupport>& platformIdentitySupport() const {
    return platformIdentitySupport_;
  }
  // The queue of the platform reads (tests wait for a late read with a sync on it).
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

 private:
  ZIVDefaultIdentitySupport(std::shared_ptr<ZIVIdentitySupport> platformIdentitySupport,
                            std::shared_ptr<dispatch::Clock> clock);

  // Constant after construction.
  const std::shared_ptr<ZIVIdentitySupport> platformIdentitySupport_;
  const std::shared_ptr<dispatch::Clock> clock_;  // May be null: Clock::current().
  const std::shared_ptr<dispatch::Queue> queue_;

  std::mutex mu_;
  std::optional<std::string> resettableDeviceID_;  // Guarded by mu_.
};
