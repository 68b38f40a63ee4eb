// ZIVIdentitySupport: what the engine may learn of the platform's advertising identity: the app's
// tracking-authorisation status, the limited-ad-tracking setting and the advertising identifier.
// Implemented by ZIVPlatformIdentitySupport (the platform's services, found at run time) and by
// ZIVDefaultIdentitySupport (what the engine uses: forwards to the former when it is present).
//
// Thread safety: implementations may be called from any thread.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

// The status that stands for "no status": every bit set.
inline constexpr uint64_t ZIVIdentitySupportNoStatus = std::numeric_limits<uint64_t>::max();

// The advertising identifier of a user who has not allowed tracking.
inline constexpr const char* ZIVZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";

class ZIVIdentitySupport {
 public:
  virtual ~ZIVIdentitySupport() = default;

  // Whether a tracking-authorisation status can be asked for at all.
  virtual bool hasAppDataConsentStatus() = 0;
  // 0 not determined, 1 restricted, 2 denied, 3 authorised, or ZIVIdentitySupportNoStatus.
  virtual uint64_t appDataConsentStatus() = 0;
  // Whether the advertising-identifier service is present.
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  // The advertising identifier as upper-case UUID text, or nullopt when unavailable.
  virtual std::optional<std::string> resettableDeviceID() = 0;
};
