// The application delegate of a Flutter application: it passes application lifecycle events on
// to the plugins that registered for them (FlutterPluginRegistrar::addApplicationDelegate).
//
// Main thread only.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/flutter/plugin.h"

namespace flutter {

class FlutterAppDelegate {
 public:
  FlutterAppDelegate() = default;
  virtual ~FlutterAppDelegate() = default;

  // The application's delegate when it is a FlutterAppDelegate, else null.
  static std::shared_ptr<FlutterAppDelegate> applicationDelegate();

  // Adds delegate, kept weakly: it receives events for as long as someone else keeps it.
  void addApplicationLifecycleDelegate(std::shared_ptr<FlutterAppLifecycleDelegate> delegate);
  void removeApplicationLifecycleDelegate(
      const std::shared_ptr<FlutterAppLifecycleDelegate>& delegate);

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<FlutterAppLifecycleDelegate>> delegates_;
};

}  // namespace flutter
