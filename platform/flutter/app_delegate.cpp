#include "platform/flutter/app_delegate.h"

namespace flutter {

std::shared_ptr<FlutterAppDelegate> FlutterAppDelegate::applicationDelegate() { return nullptr; }

void FlutterAppDelegate::addApplicationLifecycleDelegate(
    std::shared_ptr<FlutterAppLifecycleDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegates_.push_back(delegate);
}

void FlutterAppDelegate::removeApplicationLifecycleDelegate(
    const std::shared_ptr<FlutterAppLifecycleDelegate>&) {}

}  // namespace flutter
