// The process entry of an application: ApplicationMain() records the launch arguments, builds the
// main interface (the application delegate and the main windows), launches and runs the
// application, and returns the exit status once it terminates.
//
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/appkit/application.h"

namespace appkit {

// What the platform's main interface file would describe: the delegate and the windows to make at
// launch, in order.
struct MainInterface {
  std::function<std::shared_ptr<ApplicationDelegate>()> makeDelegate;
  std::vector<std::function<std::shared_ptr<Window>()>> makeWindows;
  // Whether the application becomes active once it has finished launching, as a launched
  // application does.
  bool activateOnLaunch = true;
};

// In order: hands argv to fnd::ProcessInfo::processInfo(); makes the delegate and sets it; makes
// each window, adds it to the application and calls its awakeFromNib(); shows the windows (the
// first one becomes key); finishes launching; activates (unless told not to); runs the main run
// loop until the application terminates. Returns 0, the exit status of a normal termination.
// A factory that yields null is skipped. `application` defaults to sharedApplication().
int ApplicationMain(int argc, const char* const* argv, const MainInterface& interface,
                    Application* application = nullptr);

}  // namespace appkit
