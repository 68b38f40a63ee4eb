#include "platform/flutter/app_delegate.h"

#include <algorithm>

namespace flutter {

FlutterAppDelegate::~FlutterAppDelegate() = default;

std::shared_ptr<FlutterAppDelegate> FlutterAppDelegate::applicationDelegate() {
  return std::dynamic_pointer_cast<FlutterAppDelegate>(
      appkit::Application::sharedApplication().delegate());
}

void FlutterAppDelegate::addApplicationLifecycleDelegate(
    const std::shared_ptr<FlutterAppLifecycleDelegate>& delegate) {
  if (!delegate) return;
  for (const auto& d : liveDelegates()) {
    if (d == delegate) return;
  }
  delegates_.push_back(delegate);
}

void FlutterAppDelegate::removeApplicationLifecycleDelegate(
    const std::shared_ptr<FlutterAppLifecycleDelegate>& delegate) {
  std::erase_if(delegates_, [&](const std::weak_ptr<FlutterAppLifecycleDelegate>& d) {
    auto live = d.lock();
    return !live || live == delegate;
  });
}

std::vector<std::shared_ptr<FlutterAppLifecycleDelegate>> FlutterAppDelegate::liveDelegates() {
  std::erase_if(delegates_,
                [](const std::weak_ptr<FlutterAppLifecycleDelegate>& d) { return d.expired(); });
  std::vector<std::shared_ptr<FlutterAppLifecycleDelegate>> live;
  for (const auto& d : delegates_) {
    if (auto delegate = d.lock()) live.push_back(std::move(delegate));
  }
  return live;
}

void FlutterAppDelegate::applicationWillFinishLaunching(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleWillFinishLaunching(notification);
}

void FlutterAppDelegate::applicationDidFinishLaunching(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleDidFinishLaunching(notification);
}

void FlutterAppDelegate::applicationWillBecomeActive(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleWillBecomeActive(notification);
}

void FlutterAppDelegate::applicationDidBecomeActive(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleDidBecomeActive(notification);
}

void FlutterAppDelegate::applicationWillResignActive(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleWillResignActive(notification);
}

void FlutterAppDelegate::applicationDidResignActive(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleDidResignActive(notification);
}

void FlutterAppDelegate::applicationWillTerminate(const fnd::Notification& notification) {
  for (const auto& d : liveDelegates()) d->handleWillTerminate(notification);
}

void FlutterAppDelegate::applicationOpenURLs(appkit::Application&,
                                             const std::vector<std::string>& urls) {
  for (const auto& d : liveDelegates()) {
    if (d->handleOpenURLs(urls)) return;
  }
}

}  // namespace flutter
