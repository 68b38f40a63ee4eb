#include "macos/Runner/quellmark_main.h"

#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "analytics/engine/interop_connector.h"
#include "analytics/engine/measurement.h"
#include "macos/Runner/app_delegate.h"
#include "macos/Runner/dart_console.h"
#include "macos/Runner/launch_options.h"
#include "macos/Runner/main_flutter_window.h"
#include "platform/dispatch/queue.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/view_controller.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"

namespace runner {

namespace {

// The engine shown by the first window whose content is a Flutter view controller, or null.
std::shared_ptr<flutter::FlutterEngine> MainEngine(appkit::Application& application) {
  for (const auto& window : application.windows()) {
    auto controller =
        std::dynamic_pointer_cast<flutter::FlutterViewController>(window->contentViewController());
    if (controller) return controller->engine();
  }
  return nullptr;
}

// What runs once the application has launched: the console, if any, then the main window closes.
void AfterLaunch(appkit::Application& application, std::istream* script, std::ostream& out,
                 std::ostream& err) {
  if (script) {
    if (auto engine = MainEngine(application)) {
      DartConsole console(engine->dart(), out);
      console.setApplicationHandler([&application](const std::string& change) {
        if (change == "activate") {
          application.activate();
        } else if (change == "resignActive") {
          application.resignActive();
        } else {
          return false;
        }
        return true;
      });
      console.run(*script);
    } else {
      err << "quellmark: no Flutter engine to run the console on\n";
    }
  }
  // Closing the main window ends the application (AppDelegate says so). Copy: closing edits it.
  std::vector<std::shared_ptr<appkit::Window>> windows = application.windows();
  for (const auto& window : windows) window->close();
  if (windows.empty()) application.terminate();
}

// The macOS version every gate and every reported field follows: the launch argument, else the
// bundle's Info.plist, else the default.
void ApplyOperatingSystemVersion(const LaunchOptions& options, std::ostream& err) {
  fnd::ProcessInfo& info = fnd::ProcessInfo::processInfo();
  if (options.osVersion) {
    info.setOperatingSystemVersionText(*options.osVersion);  // Checked by the parser.
    return;
  }
  std::optional<fnd::Value> plist =
      fnd::Bundle::mainBundle().objectForInfoDictionaryKey(kOSVersionInfoKey);
  if (!plist) return;
  if (!plist->isString() || !info.setOperatingSystemVersionText(plist->asString())) {
    err << "quellmark: ignoring Info.plist " << kOSVersionInfoKey << ": not a version\n";
  }
}

}  // namespace

appkit::MainInterface QuellmarkMainInterface() {
  appkit::MainInterface interface;
  interface.makeDelegate = [] { return std::make_shared<AppDelegate>(); };
  interface.makeWindows.push_back([] {
    auto window = std::make_shared<MainFlutterWindow>(kMainWindowFrame);
    window->setTitle(kMainWindowTitle);
    return window;
  });
  return interface;
}

int QuellmarkMain(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                  std::ostream& err, appkit::Application* application) {
  // The process's arguments are known from its first instruction, as they are to everything
  // that starts before the application's main loop (the analytics library reads its launch
  // switches as it loads).
  if (argv && argc > 0) fnd::ProcessInfo::processInfo().setArguments(argc, argv);
  std::vector<std::string> arguments(argv, argv + argc);
  std::string error;
  auto options = ParseLaunchOptions(arguments, &error);
  if (!options) {
    err << "quellmark: " << error << "\n" << kUsage << "\n";
    return 2;
  }
  std::ifstream file;
  std::istream* script = nullptr;
  if (options->dartScript) {
    if (*options->dartScript == "-") {
      script = &in;
    } else {
      file.open(*options->dartScript);
      if (!file) {
        err << "quellmark: cannot open the console script " << *options->dartScript << "\n";
        return 1;
      }
      script = &file;
    }
  }
  if (options->bundlePath) fnd::Bundle::setMainBundlePath(*options->bundlePath);
  ApplyOperatingSystemVersion(*options, err);
  // What the platform runs at image load: the analytics library registers with the vendor core,
  // which starts the engine when it configures the default app.
  DEVAzodavevuConnector::load();

  appkit::Application& app = application ? *application : appkit::Application::sharedApplication();
  // And the engine's class follows the launch (a link the application was opened with).
  ZIVMeasurement::subscribeForAppDidFinishLaunchingNotifications(&app.notificationCenter());
  fnd::NotificationCenter::Observer launched = app.notificationCenter().addObserver(
      appkit::kApplicationDidFinishLaunchingNotification, &app,
      [&app, script, &out, &err](const fnd::Notification&) {
        dispatch::Queue::main()->async(
            [&app, script, &out, &err] { AfterLaunch(app, script, out, err); });
      });
  return appkit::ApplicationMain(argc, argv, QuellmarkMainInterface(), &app);
}

}  // namespace runner
