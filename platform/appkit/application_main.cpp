#include "platform/appkit/application_main.h"

#include "platform/foundation/process_info.h"

namespace appkit {

int ApplicationMain(int argc, const char* const* argv, const MainInterface& interface,
                    Application* application) {
  Application& app = application ? *application : Application::sharedApplication();
  if (argv && argc > 0) fnd::ProcessInfo::processInfo().setArguments(argc, argv);

  if (interface.makeDelegate) app.setDelegate(interface.makeDelegate());

  // The main interface's windows: made, added, then awoken, in the order described.
  std::vector<std::shared_ptr<Window>> windows;
  for (const auto& make : interface.makeWindows) {
    if (!make) continue;
    std::shared_ptr<Window> window = make();
    if (!window) continue;
    app.addWindow(window);
    window->awakeFromNib();
    windows.push_back(window);
  }
  // Shown at launch; the first one is key.
  for (size_t i = 1; i < windows.size(); ++i) windows[i]->orderFront();
  if (!windows.empty()) windows.front()->makeKeyAndOrderFront();

  app.finishLaunching();
  if (interface.activateOnLaunch) app.activate();
  app.run();
  return 0;
}

}  // namespace appkit
