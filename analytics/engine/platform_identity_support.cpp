#include "analytics/engine/platform_identity_support.h"

namespace {

constexpr const char* kTrackingManagerClassName = "ATTrackingManager";
constexpr const char* kIdentifierManagerClassName = "ASIdentifierManager";

class PlatformIdentitySupportClass : public ZIVRuntimeClass {
 public:
  std::string className() const override { return "ZIVPlatformIdentitySupport"; }
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "sharedInstance";
  }
  std::shared_ptr<ZIVRuntimeObject> sharedInstance() override {
    return ZIVPlatformIdentitySupport::sharedInstance();
  }
};

}  // namespace

std::shared_ptr<ZIVPlatformIdentitySupport> ZIVPlatformIdentitySupport::sharedInstance() {
  static const std::shared_ptr<ZIVPlatformIdentitySupport>& instance =
      *new std::shared_ptr<ZIVPlatformIdentitySupport>(
          std::make_shared<ZIVPlatformIdentitySupport>(ZIVRuntimeClassRegistry::sharedRegistry()));
  return instance;
}

std::shared_ptr<ZIVRuntimeClass> ZIVPlatformIdentitySupport::runtimeClass() {
  return std::make_shared<PlatformIdentitySupportClass>();
}

ZIVPlatformIdentitySupport::ZIVPlatformIdentitySupport(const ZIVRuntimeClassRegistry& registry)
    : trackingManagerClass_(registry.classNamed(kTrackingManagerClassName)) {
  std::shared_ptr<ZIVRuntimeClass> managerClass = registry.classNamed(kIdentifierManagerClassName);
  if (managerClass && managerClass->respondsToSelector("sharedManager")) {
    if (auto typed = std::dynamic_pointer_cast<ZIVIdentifierManagerClass>(managerClass)) {
      identifierManager_ = typed->sharedManager();
    }
  }
}

bool ZIVPlatformIdentitySupport::hasAppDataConsentStatus() {
  return trackingManagerClass_ != nullptr;
}

uint64_t ZIVPlatformIdentitySupport::appDataConsentStatus() {
  if (trackingManagerClass_ &&
      trackingManagerClass_->respondsToSelector("trackingAuthorizationStatus")) {
    if (auto typed = std::dynamic_pointer_cast<ZIVTrackingManagerClass>(trackingManagerClass_)) {
      return typed->trackingAuthorizationStatus();
    }
  }
  return ZIVIdentitySupportNoStatus;
}

bool ZIVPlatformIdentitySupport::hasLimitedAdTracking() { return identifierManager_ != nullptr; }

bool ZIVPlatformIdentitySupport::limitedAdTracking() {
  if (!identifierManager_ ||
      !identifierManager_->respondsToSelector("isAdvertisingTrackingEnabled")) {
    return false;
  }
  return !identifierManager_->isAdvertisingTrackingEnabled();
}

std::optional<std::string> ZIVPlatformIdentitySupport::resettableDeviceID() {
  if (!identifierManager_ || !identifierManager_->respondsToSelector("advertisingIdentifier")) {
    return std::nullopt;
  }
  return identifierManager_->advertisingIdentifier().uuidString();
}
