// The application: its delegate, its windows, its active state and its life from launch to
// termination, headless. run() drives the main run loop (dispatch::RunLoop::main()) until
// terminate(). Every change of state is told to the delegate and posted, with the application as
// sender, on the application's notification centre (the default centre unless one is given):
//
//   finishLaunching()  "NSApplicationWillFinishLaunchingNotification",
//                      "NSApplicationDidFinishLaunchingNotification"
//   activate()         "NSApplicationWillBecomeActiveNotification",
//                      "NSApplicationDidBecomeActiveNotification"
//   resignActive()     "NSApplicationWillResignActiveNotification", the key window's
//                      "NSWindowDidResignKeyNotification",
//                      "NSApplicationDidResignActiveNotification"
//   terminate()        "NSApplicationWillTerminateNotification"
//
// The delegate hears of each one just before the notification is posted. After the will-terminate
// notification every pending write registered with fnd::FlushAtExit is flushed, so a process that
// ends right after terminate() (even by _exit()) loses nothing. When the last open window
// closes and the delegate answers true to applicationShouldTerminateAfterLastWindowClosed, the
// application terminates (from a main-queue block, as the platform does it after the close).
//
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/window.h"
#include "platform/foundation/notification_center.h"

namespace appkit {

class Application;

inline constexpr const char* kApplicationWillFinishLaunchingNotification =
    "NSApplicationWillFinishLaunchingNotification";
inline constexpr const char* kApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification =
    "NSApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
inline constexpr const char* kApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";

// The answer to applicationShouldTerminate.
enum class TerminateReply { kTerminateCancel, kTerminateNow };

// What the application tells its delegate. Every method has a default that does nothing (or
// answers as the platform does when the delegate does not implement it).
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate();

  virtual void applicationWillFinishLaunching(const fnd::Notification& notification);
  virtual void applicationDidFinishLaunching(const fnd::Notification& notification);
  virtual void applicationWillBecomeActive(const fnd::Notification& notification);
  virtual void applicationDidBecomeActive(const fnd::Notification& notification);
  virtual void applicationWillResignActive(const fnd::Notification& notification);
  virtual void applicationDidResignActive(const fnd::Notification& notification);
  virtual void applicationWillTerminate(const fnd::Notification& notification);

  // Asked by terminate(); kTerminateCancel keeps the application running. Default: now.
  virtual TerminateReply applicationShouldTerminate(Application& application);
  // Default: false (closing the last window leaves the application running).
  virtual bool applicationShouldTerminateAfterLastWindowClosed(Application& application);
  // Default: false.
  virtual bool applicationSupportsSecureRestorableState(Application& application);
  // URLs the application was asked to open (openURLs). Default: ignores them.
  virtual void applicationOpenURLs(Application& application, const std::vector<std::string>& urls);
};

class Application : public std::enable_shared_from_this<Application> {
 public:
  // A new application posting on `center` (the default centre when null). Tests make their own;
  // the program uses sharedApplication().
  static std::shared_ptr<Application> create(fnd::NotificationCenter* center = nullptr);

  // The program's application (posting on the default centre); made on first use, alive for the
  // whole process.
  static Application& sharedApplication();

  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The delegate is kept (strongly) until replaced; null removes it.
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_; }

  fnd::NotificationCenter& notificationCenter() const { return *center_; }

  // Adds an open window (once); it stays in windows() until it closes.
  void addWindow(const std::shared_ptr<Window>& window);
  // The open windows, in the order they were added.
  const std::vector<std::shared_ptr<Window>>& windows() const { return windows_; }
  // The window that is key, or null.
  std::shared_ptr<Window> keyWindow() const;

  // Announces the end of launching (will and did finish launching). Runs once; later calls do
  // nothing.
  void finishLaunching();
  bool isFinishedLaunching() const { return finishedLaunching_; }

  // Finishes launching if that has not happened, then runs the main run loop until terminate().
  // Returns at once when the application has already terminated.
  void run();
  bool isRunning() const { return running_; }

  // Asks the delegate (applicationShouldTerminate); unless it cancels, announces will-terminate,
  // marks the application terminated and stops run(). Nothing happens after termination.
  void terminate();
  bool isTerminated() const { return terminated_; }

  // Become active / resign active, as when the user switches to or away from the application.
  // Each does nothing when the application already is in that state or has terminated.
  void activate();
  void resignActive();
  bool isActive() const { return active_; }

  // Hands URLs to the delegate, as when the system asks the application to open them.
  void openURLs(const std::vector<std::string>& urls);

 private:
  friend class Window;
  explicit Application(fnd::NotificationCenter* center);

  // Tells the delegate through `hook`, then posts `name` with the application as sender.
  void announce(const char* name,
                void (ApplicationDelegate::*hook)(const fnd::Notification& notification));
  // Called by Window::close().
  void windowDidClose(Window* window);
  // Terminates when no window is open and the delegate wants that.
  void terminateIfLastWindowClosed();

  fnd::NotificationCenter* const center_;  // Constant; not owned.

  // Main thread only.
  std::shared_ptr<ApplicationDelegate> delegate_;
  std::vector<std::shared_ptr<Window>> windows_;
  bool finishedLaunching_ = false;
  bool running_ = false;
  bool terminated_ = false;
  bool active_ = false;
};

}  // namespace appkit
