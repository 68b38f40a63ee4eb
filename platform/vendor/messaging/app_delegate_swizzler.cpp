#include "platform/vendor/messaging/app_delegate_swizzler.h"

#include <algorithm>
#include <utility>

#include "platform/dispatch/queue.h"

void RVLApplicationDelegateInterceptor::applicationDidRegisterForRemoteNotificationsWithDeviceToken(
    appkit::Application&, const fnd::Data&) {}
void RVLApplicationDelegateInterceptor::applicationDidFailToRegisterForRemoteNotificationsWithError(
    appkit::Application&, const fnd::Error&) {}
void RVLApplicationDelegateInterceptor::applicationDidReceiveRemoteNotification(
    appkit::Application&, const fnd::Dictionary&) {}

RVLAppDelegateSwizzler& RVLAppDelegateSwizzler::sharedInstance() {
  static RVLAppDelegateSwizzler* swizzler =
      new RVLAppDelegateSwizzler(appkit::Application::sharedApplication());
  return *swizzler;
}

RVLAppDelegateSwizzler::RVLAppDelegateSwizzler(appkit::Application& application)
    : application_(application) {}

void RVLAppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<RVLApplicationDelegateInterceptor>& interceptor) {
  if (!interceptor) return;
  for (const auto& existing : interceptors_) {
    if (existing.lock() == interceptor) return;
  }
  interceptors_.push_back(interceptor);
}

void RVLAppDelegateSwizzler::unregisterAppDelegateInterceptor(
    const RVLApplicationDelegateInterceptor* interceptor) {
  std::erase_if(interceptors_, [&](const std::weak_ptr<RVLApplicationDelegateInterceptor>& w) {
    std::shared_ptr<RVLApplicationDelegateInterceptor> live = w.lock();
    return !live || live.get() == interceptor;
  });
}

void RVLAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() { proxyingAPNS_ = true; }

void RVLAppDelegateSwizzler::registerForRemoteNotifications() {
  ++registrationCount_;
  if (!registrationResult_) return;
  RegistrationResult result = *registrationResult_;
  dispatch::Queue::main()->async([this, result = std::move(result)] {
    if (const fnd::Data* token = std::get_if<fnd::Data>(&result)) {
      didRegisterForRemoteNotificationsWithDeviceToken(*token);
    } else {
      didFailToRegisterForRemoteNotificationsWithError(std::get<fnd::Error>(result));
    }
  });
}

void RVLAppDelegateSwizzler::setRegistrationResult(std::optional<RegistrationResult> result) {
  registrationResult_ = std::move(result);
}

void RVLAppDelegateSwizzler::didRegisterForRemoteNotificationsWithDeviceToken(
    const fnd::Data& deviceToken) {
  for (const auto& i : liveInterceptors()) {
    i->applicationDidRegisterForRemoteNotificationsWithDeviceToken(application_, deviceToken);
  }
}

void RVLAppDelegateSwizzler::didFailToRegisterForRemoteNotificationsWithError(
    const fnd::Error& error) {
  for (const auto& i : liveInterceptors()) {
    i->applicationDidFailToRegisterForRemoteNotificationsWithError(application_, error);
  }
}

void RVLAppDelegateSwizzler::didReceiveRemoteNotification(const fnd::Dictionary& userInfo) {
  for (const auto& i : liveInterceptors()) {
    i->applicationDidReceiveRemoteNotification(application_, userInfo);
  }
}

std::vector<std::shared_ptr<RVLApplicationDelegateInterceptor>>
RVLAppDelegateSwizzler::liveInterceptors() {
  std::vector<std::shared_ptr<RVLApplicationDelegateInterceptor>> live;
  std::erase_if(interceptors_, [](const std::weak_ptr<RVLApplicationDelegateInterceptor>& w) {
    return w.expired();
  });
  if (!proxyingAPNS_) return live;
  for (const auto& w : interceptors_) {
    if (auto i = w.lock()) live.push_back(std::move(i));
  }
  return live;
}
