#include "analytics/engine/default_identity_support.h"

#include <utility>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "platform/dispatch/semaphore.h"

namespace {

constexpr const char* kQueueLabel = "ZIVDefaultIdentitySupport";
constexpr const char* kPlatformSupportClassName = "ZIVPlatformIdentitySupport";
// Where a developer reads what the engine does without the platform's identity services.
constexpr const char* kNoAdSupportLink = "README.md#what-it-does-not-do-on-linux";

// The platform support's shared instance when its class is present and it conforms.
std::shared_ptr<ZIVIdentitySupport> FindPlatformSupport(const ZIVRuntimeClassRegistry& registry) {
  std::shared_ptr<ZIVRuntimeClass> supportClass = registry.classNamed(kPlatformSupportClassName);
  if (!supportClass || !supportClass->respondsToSelector("sharedInstance")) return nullptr;
  return std::dynamic_pointer_cast<ZIVIdentitySupport>(supportClass->sharedInstance());
}

}  // namespace

std::shared_ptr<ZIVDefaultIdentitySupport> ZIVDefaultIdentitySupport::sharedInstance() {
  static const std::shared_ptr<ZIVDefaultIdentitySupport>& instance =
      *new std::shared_ptr<ZIVDefaultIdentitySupport>(
          create(ZIVRuntimeClassRegistry::sharedRegistry()));
  return instance;
}

std::shared_ptr<ZIVDefaultIdentitySupport> ZIVDefaultIdentitySupport::create(
    const ZIVRuntimeClassRegistry& registry, std::shared_ptr<ZIVMonitor> monitor,
    std::shared_ptr<dispatch::Clock> clock) {
  if (!monitor) monitor = ZIVMeasurement::monitor();
  std::shared_ptr<ZIVIdentitySupport> platform = FindPlatformSupport(registry);
  if (platform) {
    monitor->logWithLevel(7, 44000, "RivadoDuvUdiredururoIdentitySupport dependency is linked.");
    if (platform->hasLimitedAdTracking()) {
      monitor->logWithLevel(7, 44001, "The AdSupport Framework is linked.");
    } else {
      monitor->logWithLevel(4, 44002,
                            std::string("The AdSupport Framework is not currently linked. Some "
                                        "features will not function properly. Learn more at ") +
                                kNoAdSupportLink);
    }
  } else {
    monitor->logWithLevel(4, 44003,
                          "RivadoDuvUdiredururoIdentitySupport dependency is not currently linked. "
                          "IDFA will not be accessible.");
  }
  return std::shared_ptr<ZIVDefaultIdentitySupport>(
      new ZIVDefaultIdentitySupport(std::move(platform), std::move(clock)));
}

ZIVDefaultIdentitySupport::ZIVDefaultIdentitySupport(
    std::shared_ptr<ZIVIdentitySupport> platformIdentitySupport,
    std::shared_ptr<dispatch::Clock> clock)
    : platformIdentitySupport_(std::move(platformIdentitySupport)),
      clock_(std::move(clock)),
      queue_(dispatch::Queue::create(kQueueLabel)) {}

bool ZIVDefaultIdentitySupport::hasAppDataConsentStatus() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

uint64_t ZIVDefaultIdentitySupport::appDataConsentStatus() {
  return platformIdentitySupport_ ? platformIdentitySupport_->appDataConsentStatus()
                                  : ZIVIdentitySupportNoStatus;
}

bool ZIVDefaultIdentitySupport::hasLimitedAdTracking() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool ZIVDefaultIdentitySupport::limitedAdTracking() {
  std::optional<std::string> identifier = resettableDeviceID();
  return !identifier || *identifier == ZIVZeroResettableDeviceID;
}

std::optional<std::string> ZIVDefaultIdentitySupport::resettableDeviceID() {
  if (!platformIdentitySupport_) return std::nullopt;
  // The read owns its semaphore, so a read that finishes after its caller gave up is harmless.
  auto done = std::make_shared<dispatch::Semaphore>(0, clock_);
  std::weak_ptr<ZIVDefaultIdentitySupport> weakSelf = weak_from_this();
  queue_->async([weakSelf, done] {
    if (auto self = weakSelf.lock()) {
      std::optional<std::string> identifier = self->platformIdentitySupport_->resettableDeviceID();
      std::lock_guard<std::mutex> lock(self->mu_);
      self->resettableDeviceID_ = std::move(identifier);
    }
    done->signal();
  });
  // A time-out is expected when the platform is slow: the stored value of an earlier read stands.
  (void)done->wait(ZIVDefaultIdentitySupportReadTimeout);
  std::lock_guard<std::mutex> lock(mu_);
  return resettableDeviceID_;
}
