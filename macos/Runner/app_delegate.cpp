#include "macos/Runner/app_delegate.h"

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(appkit::Application&) {
  return true;
}

bool AppDelegate::applicationSupportsSecureRestorableState(appkit::Application&) { return true; }
