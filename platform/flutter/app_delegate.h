// The application delegate of a Flutter application. Besides being the application's delegate it
// passes the application's lifecycle events on to the plugins that asked for them
// (FlutterPluginRegistrar::addApplicationDelegate), in the order they were added.
//
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/application.h"
#include "platform/flutter/plugin.h"

namespace flutter {

class FlutterAppDelegate : public appkit::ApplicationDelegate {
 public:
  FlutterAppDelegate() = default;
  ~FlutterAppDelegate() override;

  // The shared application's delegate when it is a FlutterAppDelegate, else null.
  static std::shared_ptr<FlutterAppDelegate> applicationDelegate();

  // Adds delegate, kept weakly: it hears of events for as long as someone else keeps it. Adding
  // one twice has no further effect.
  void addApplicationLifecycleDelegate(
      const std::shared_ptr<FlutterAppLifecycleDelegate>& delegate);
  void removeApplicationLifecycleDelegate(
      const std::shared_ptr<FlutterAppLifecycleDelegate>& delegate);

  // appkit::ApplicationDelegate: each is passed on to every live lifecycle delegate. Subclasses
  // that override one call the base.
  void applicationWillFinishLaunching(const fnd::Notification& notification) override;
  void applicationDidFinishLaunching(const fnd::Notification& notification) override;
  void applicationWillBecomeActive(const fnd::Notification& notification) override;
  void applicationDidBecomeActive(const fnd::Notification& notification) override;
  void applicationWillResignActive(const fnd::Notification& notification) override;
  void applicationDidResignActive(const fnd::Notification& notification) override;
  void applicationWillTerminate(const fnd::Notification& notification) override;
  // Offered to the lifecycle delegates in order until one handles them.
  void applicationOpenURLs(appkit::Application& application,
                           const std::vector<std::string>& urls) override;

 private:
  // The live delegates, in the order they were added; forgets the dead ones.
  std::vector<std::shared_ptr<FlutterAppLifecycleDelegate>> liveDelegates();

  // Main thread only.
  std::vector<std::weak_ptr<FlutterAppLifecycleDelegate>> delegates_;
};

}  // namespace flutter
