#include "macos/Runner/main_flutter_window.h"

#include <memory>

#include "macos/Runner/generated_plugin_registrant.h"
#include "platform/flutter/view_controller.h"

namespace {

// Used only as a type to find the module's own bundle; it has no operations.
class ResourceBundleClass {};

}  // namespace

void MainFlutterWindow::awakeFromNib() {
  auto flutterViewController = std::make_shared<flutter::FlutterViewController>();
  appkit::Rect windowFrame = frame();
  setContentViewController(flutterViewController);
  setFrame(windowFrame, true);

  RegisterGeneratedPlugins(*flutterViewController);

  appkit::Window::awakeFromNib();
}
