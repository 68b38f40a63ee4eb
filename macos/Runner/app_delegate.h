// The application's delegate: a Flutter application delegate that ends the application when its
// last window closes and supports secure restorable state. It keeps no state of its own.
//
// Main thread only.
#pragma once

#include "platform/appkit/application.h"
#include "platform/flutter/app_delegate.h"

class AppDelegate : public flutter::FlutterAppDelegate {
 public:
  // Closing the last window ends the application.
  bool applicationShouldTerminateAfterLastWindowClosed(appkit::Application& application) override;
  bool applicationSupportsSecureRestorableState(appkit::Application& application) override;
};
