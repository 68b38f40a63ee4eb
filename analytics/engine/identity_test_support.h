// Test support for the identity tests: stand-ins for the platform's tracking-authorisation and
// advertising-identifier classes, and an identity support whose answers a test sets and whose
// identifier reads can be held until the test lets them finish. Not for production code.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "analytics/engine/identity_support.h"
#include "analytics/engine/platform_identity_support.h"
#include "platform/dispatch/manual_clock.h"
#include "platform/dispatch/semaphore.h"

// "ATTrackingManager", answering "trackingAuthorizationStatus" only when `status` is set.
class FakeTrackingManagerClass : public ZIVTrackingManagerClass {
 public:
  explicit FakeTrackingManagerClass(std::optional<uint64_t> status) : status_(status) {}
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "trackingAuthorizationStatus" && status_.has_value();
  }
  uint64_t trackingAuthorizationStatus() override { return status_.value(); }

 private:
  const std::optional<uint64_t> status_;
};

// The shared object of "ASIdentifierManager"; each selector is answered only when its value is
// set.
class FakeIdentifierManager : public ZIVIdentifierManager {
 public:
  FakeIdentifierManager(std::optional<bool> trackingEnabled, std::optional<std::string> identifier)
      : trackingEnabled_(trackingEnabled), identifier_(std::move(identifier)) {}
  bool respondsToSelector(std::string_view selector) const override {
    return (selector == "isAdvertisingTrackingEnabled" && trackingEnabled_) ||
           (selector == "advertisingIdentifier" && identifier_);
  }
  bool isAdvertisingTrackingEnabled() override { return trackingEnabled_.value(); }
  fnd::UUID advertisingIdentifier() override { return *fnd::UUID::Parse(identifier_.value()); }

 private:
  const std::optional<bool> trackingEnabled_;
  const std::optional<std::string> identifier_;
};

// "ASIdentifierManager", answering "sharedManager" only when asked to.
class FakeIdentifierManagerClass : public ZIVIdentifierManagerClass {
 public:
  FakeIdentifierManagerClass(bool answersSharedManager,
                             std::shared_ptr<ZIVIdentifierManager> manager)
      : answersSharedManager_(answersSharedManager), manager_(std::move(manager)) {}
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "sharedManager" && answersSharedManager_;
  }
  std::shared_ptr<ZIVIdentifierManager> sharedManager() override { return manager_; }

 private:
  const bool answersSharedManager_;
  const std::shared_ptr<ZIVIdentifierManager> manager_;
};

// An identity support with settable answers. While holdReads() is on, each identifier read waits
// until releaseRead() lets one through.
class FakeIdentitySupport : public ZIVRuntimeObject, public ZIVIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return hasStatus.load(); }
  uint64_t appDataConsentStatus() override { return status.load(); }
  bool hasLimitedAdTracking() override { return hasLAT.load(); }
  bool limitedAdTracking() override { return lat.load(); }
  std::optional<std::string> resettableDeviceID() override {
    if (holding_.load()) (void)gate_.wait();
    reads.fetch_add(1);
    std::lock_guard<std::mutex> lock(mu_);
    return identifier_;
  }

  void setIdentifier(std::optional<std::string> identifier) {
    std::lock_guard<std::mutex> lock(mu_);
    identifier_ = std::move(identifier);
  }
  void holdReads(bool hold) { holding_ = hold; }
  void releaseRead() { gate_.signal(); }

  std::atomic<bool> hasStatus{true};
  std::atomic<uint64_t> status{3};
  std::atomic<bool> hasLAT{true};
  std::atomic<bool> lat{false};
  std::atomic<int> reads{0};

 private:
  std::atomic<bool> holding_{false};
  dispatch::Semaphore gate_{0, dispatch::Clock::real()};
  std::mutex mu_;
  std::optional<std::string> identifier_;
};

// The runtime class "ZIVPlatformIdentitySupport" with a given shared instance.
class FakePlatformSupportClass : public ZIVRuntimeClass {
 public:
  FakePlatformSupportClass(bool answersSharedInstance, std::shared_ptr<ZIVRuntimeObject> instance)
      : answersSharedInstance_(answersSharedInstance), instance_(std::move(instance)) {}
  std::string className() const override { return "ZIVPlatformIdentitySupport"; }
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "sharedInstance" && answersSharedInstance_;
  }
  std::shared_ptr<ZIVRuntimeObject> sharedInstance() override { return instance_; }

 private:
  const bool answersSharedInstance_;
  const std::shared_ptr<ZIVRuntimeObject> instance_;
};

// Spins (yielding, never sleeping) until the clock holds `count` pending deadlines: how a test
// knows that another thread has started a timed wait.
inline void WaitForPendingTimers(const dispatch::ManualClock& clock, size_t count) {
  while (clock.pendingTimerCount() != count) std::this_thread::yield();
}
