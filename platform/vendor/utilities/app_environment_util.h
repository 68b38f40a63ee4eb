// RVLAppEnvironmentUtil: facts about how the application was installed and where it runs.
//
// Thread safety: every function may be called from any thread.
#pragma once

class RVLAppEnvironmentUtil {
 public:
  // Whether the application was installed from the App Store. Always false here: a Linux build
  // is never installed from the App Store, so there is no receipt or signature to look at.
  static bool isFromAppStore();
};
