// ZIVPlatformIdentitySupport: the engine's side of the platform's tracking-authorisation manager
// ("ATTrackingManager") and advertising-identifier manager ("ASIdentifierManager"). Both are
// looked up by class name in a ZIVRuntimeClassRegistry when the object is made, never linked, and
// each method is sent only after the object says that it answers it. On Linux neither exists, so
// the shared instance reports no status and no identifier.
//
// The shapes below are what those platform classes offer; a registry holds objects of these
// types under the class names.
//
// Thread safety: every method may be called from any thread; the object is constant after
// construction (the platform objects it holds answer from any thread).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/engine/identity_support.h"
#include "analytics/engine/runtime_class_registry.h"
#include "platform/foundation/uuid.h"

// The class "ATTrackingManager": class selector "trackingAuthorizationStatus".
class ZIVTrackingManagerClass : public ZIVRuntimeClass {
 public:
  std::string className() const override { return "ATTrackingManager"; }
  // 0 not determined, 1 restricted, 2 denied, 3 authorised.
  virtual uint64_t trackingAuthorizationStatus() = 0;
};

// The shared object of "ASIdentifierManager": selectors "isAdvertisingTrackingEnabled" and
// "advertisingIdentifier".
class ZIVIdentifierManager : public ZIVRuntimeObject {
 public:
  virtual bool isAdvertisingTrackingEnabled() = 0;
  virtual fnd::UUID advertisingIdentifier() = 0;
};

// The class "ASIdentifierManager": class selector "sharedManager".
class ZIVIdentifierManagerClass : public ZIVRuntimeClass {
 public:
  std::string className() const override { return "ASIdentifierManager"; }
  virtual std::shared_ptr<ZIVIdentifierManager> sharedManager() = 0;
};

class ZIVPlatformIdentitySupport : public ZIVRuntimeObject, public ZIVIdentitySupport {
 public:
  // Made once over the process's registry.
  static std::shared_ptr<ZIVPlatformIdentitySupport> sharedInstance();
  // The runtime class "ZIVPlatformIdentitySupport", whose "sharedInstance" is the one above.
  static std::shared_ptr<ZIVRuntimeClass> runtimeClass();

  // Looks the two platform classes up in `registry`; keeps the identifier manager when its class
  // answers "sharedManager".
  explicit ZIVPlatformIdentitySupport(const ZIVRuntimeClassRegistry& registry);

  // YES when the tracking-authorisation class exists.
  bool hasAppDataConsentStatus() override;
  // The class's status when it answers "trackingAuthorizationStatus", else no status.
  uint64_t appDataConsentStatus() override;
  // YES when the identifier manager exists.
  bool hasLimitedAdTracking() override;
  // YES only when the manager answers "isAdvertisingTrackingEnabled" with NO.
  bool limitedAdTracking() override;
  // The identifier's text when the manager answers "advertisingIdentifier", else nullopt.
  std::optional<std::string> resettableDeviceID() override;

 private:
  // Constant after construction.
  const std::shared_ptr<ZIVRuntimeClass> trackingManagerClass_;
  std::shared_ptr<ZIVIdentifierManager> identifierManager_;  // Set once, in the constructor.
};
