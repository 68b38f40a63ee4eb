// The main window: it hosts the Flutter view controller and registers every plugin with it when
// it is made from the main interface.
//
// Main thread only.
#pragma once

#include "platform/appkit/window.h"

class MainFlutterWindow : public appkit::Window {
 public:
  // The inherited initialiser, unchanged.
  using appkit::Window::Window;

  // Installs a new FlutterViewController as the content while keeping the window's frame (the
  // controller would resize it), registers the plugins with the controller, then lets the base
  // class finish.
  void awakeFromNib() override;
};
