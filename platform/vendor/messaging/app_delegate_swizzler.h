// RVLAppDelegateSwizzler: the vendor utilities' application-delegate interceptor, limited to what
// the messaging SDK needs. On the platform the push service reaches an application only through its
// delegate's remote-notification callbacks; SDKs register an interceptor here to hear of them as
// well. Here the swizzler is also where those callbacks enter the program: the application asks
// for a device token with registerForRemoteNotifications, and the push service (a test, or the
// console) answers through the didRegister... / didFail... / didReceive... calls below.
//
// Remote-notification callbacks reach the interceptors only once
// proxyOriginalDelegateIncludingAPNSMethods() has been called. Interceptors are kept weakly and
// called in registration order.
//
// Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "platform/appkit/application.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// The remote-notification callbacks of an application delegate. Each does nothing by default.
class RVLApplicationDelegateInterceptor {
 public:
  virtual ~RVLApplicationDelegateInterceptor() = default;

  virtual void applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      appkit::Application& application, const fnd::Data& deviceToken);
  virtual void applicationDidFailToRegisterForRemoteNotificationsWithError(
      appkit::Application& application, const fnd::Error& error);
  virtual void applicationDidReceiveRemoteNotification(appkit::Application& application,
                                                       const fnd::Dictionary& userInfo);
};

class RVLAppDelegateSwizzler {
 public:
  // The push service's answer to registerForRemoteNotifications.
  using RegistrationResult = std::variant<fnd::Data, fnd::Error>;

  // The swizzler of appkit::Application::sharedApplication(); made on first use.
  static RVLAppDelegateSwizzler& sharedInstance();

  // A swizzler for `application`, which must outlive it.
  explicit RVLAppDelegateSwizzler(appkit::Application& application);
  RVLAppDelegateSwizzler(const RVLAppDelegateSwizzler&) = delete;
  RVLAppDelegateSwizzler& operator=(const RVLAppDelegateSwizzler&) = delete;

  appkit::Application& sharedApplication() const { return application_; }

  // Adds an interceptor (once).
  void registerAppDelegateInterceptor(const std::shared_ptr<RVLApplicationDelegateInterceptor>& i);
  void unregisterAppDelegateInterceptor(const RVLApplicationDelegateInterceptor* interceptor);
  // Starts passing the remote-notification callbacks to the interceptors. Idempotent.
  void proxyOriginalDelegateIncludingAPNSMethods();
  bool isProxyingAPNSMethods() const { return proxyingAPNS_; }

  // What the application's registerForRemoteNotifications does: asks the push service for a
  // device token. When a registration result is scripted, it is delivered from the main queue
  // (as didRegister... or didFail...); otherwise the request waits for the push service.
  void registerForRemoteNotifications();
  size_t remoteNotificationRegistrationCount() const { return registrationCount_; }
  void setRegistrationResult(std::optional<RegistrationResult> result);

  // The push service's side: each is passed to the live interceptors.
  void didRegisterForRemoteNotificationsWithDeviceToken(const fnd::Data& deviceToken);
  void didFailToRegisterForRemoteNotificationsWithError(const fnd::Error& error);
  void didReceiveRemoteNotification(const fnd::Dictionary& userInfo);

 private:
  // The live interceptors when proxying, else none; forgets the dead ones.
  std::vector<std::shared_ptr<RVLApplicationDelegateInterceptor>> liveInterceptors();

  appkit::Application& application_;  // Constant; not owned.

  // Main thread only.
  std::vector<std::weak_ptr<RVLApplicationDelegateInterceptor>> interceptors_;
  bool proxyingAPNS_ = false;
  size_t registrationCount_ = 0;
  std::optional<RegistrationResult> registrationResult_;
};
