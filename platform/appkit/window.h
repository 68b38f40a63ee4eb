// A window record: frame, title, content view controller, visibility and key state. Nothing is
// drawn. A window belongs to an Application once added to it (Application::addWindow); closing it
// tells the application, which may then terminate (see Application).
//
// Windows are held by std::shared_ptr (the application keeps the open ones). Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/appkit/geometry.h"
#include "platform/appkit/view_controller.h"

namespace fnd {
class NotificationCenter;
}

namespace appkit {

class Application;

// Posted (sender: the window) when a key window stops being the key window.
inline constexpr const char* kWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";
// Posted (sender: the window) when close() begins.
inline constexpr const char* kWindowWillCloseNotification = "NSWindowWillCloseNotification";

// Style mask bits, with the platform's values.
enum WindowStyleMask : uint64_t {
  kWindowStyleMaskBorderless = 0,
  kWindowStyleMaskTitled = 1 << 0,
  kWindowStyleMaskClosable = 1 << 1,
  kWindowStyleMaskMiniaturizable = 1 << 2,
  kWindowStyleMaskResizable = 1 << 3,
};

enum class BackingStoreType { kRetained = 0, kNonretained = 1, kBuffered = 2 };

class Window : public std::enable_shared_from_this<Window> {
 public:
  // A window whose frame is `contentRect` (there is no title bar to add).
  explicit Window(Rect contentRect = Rect{{0, 0}, ViewController::kDefaultContentSize},
                  uint64_t styleMask = kWindowStyleMaskTitled | kWindowStyleMaskClosable |
                                       kWindowStyleMaskMiniaturizable | kWindowStyleMaskResizable,
                  BackingStoreType backing = BackingStoreType::kBuffered, bool defer = false);
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Called once after the window is made from the main interface (ApplicationMain), before it is
  // shown. Subclasses set themselves up here and call the base at the end.
  virtual void awakeFromNib();

  Rect frame() const { return frame_; }
  // Moves and resizes the window; `display` asks for a redraw (counted, nothing is drawn).
  void setFrame(Rect frame, bool display);
  // Redraws requested through setFrame(..., true).
  int displayCount() const { return displayCount_; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  uint64_t styleMask() const { return styleMask_; }
  BackingStoreType backingType() const { return backing_; }

  std::shared_ptr<ViewController> contentViewController() const { return contentViewController_; }
  // Installs `controller` as the content (null removes it) and resizes the window to the
  // controller's preferredContentSize(), keeping the window's top-left corner where it was. The
  // controller's viewDidLoad() runs the first time it is installed anywhere.
  void setContentViewController(std::shared_ptr<ViewController> controller);

  // Shows the window and makes it the key window of its application (the previous key window
  // resigns key first).
  void makeKeyAndOrderFront();
  // Shows the window without making it key.
  void orderFront();
  // Hides the window (it stays open and keeps its application).
  void orderOut();
  bool isVisible() const { return visible_; }
  bool isKeyWindow() const { return key_; }
  // Stops being the key window; posts kWindowDidResignKeyNotification when it was key.
  void resignKeyWindow();

  // Closes the window: posts kWindowWillCloseNotification, resigns key, hides it and removes it
  // from its application, which then checks whether its last window closed. Closing twice does
  // nothing.
  void close();
  bool isClosed() const { return closed_; }

  // The application the window was added to, or null.
  std::shared_ptr<Application> application() const { return application_.lock(); }

 private:
  friend class Application;

  // The centre of the window's application, else the default centre.
  fnd::NotificationCenter& notificationCenter() const;

  // Constant after construction.
  const uint64_t styleMask_;
  const BackingStoreType backing_;

  // Main thread only.
  Rect frame_;
  std::string title_;
  std::shared_ptr<ViewController> contentViewController_;
  int displayCount_ = 0;
  bool visible_ = false;
  bool key_ = false;
  bool closed_ = false;
  std::weak_ptr<Application> application_;  // Set by Application::addWindow.
};

}  // namespace appkit
