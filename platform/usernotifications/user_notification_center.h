// UNUserNotificationCenter: the system's notification centre for this application, as an
// in-memory simulation. It keeps the application's notification settings, answers authorisation
// requests the way the user was scripted to answer them, and hands notifications and the user's
// responses to its delegate.
//
// Authorisation: the first request (while the status is not determined) is "shown to the user",
// who answers as scripted (setUserAnswer; granting by default). Granting sets the status to
// authorized (provisional when provisional delivery was asked for) and enables the switches that
// were asked for (an alert also enables the notification centre and the lock screen); refusing
// sets denied. Later requests show nothing and report whether the application may notify. A fault
// injected with failNextAuthorizationRequest answers the next request with that error and changes
// nothing.
//
// The system side is played by tests and the console: receiveNotification (a notification
// arrives while the application runs), receiveNotificationResponse (the user acted on one) and
// openSettings (the user asked for the application's notification settings).
//
// Thread safety: every method may be called from any thread. Completions of requests run on the
// centre's callback queue, never on the calling thread. Delegate methods run on the thread of
// the system-side call; the delegate is called without the centre's lock held. A centre must
// outlive the answers its delegate still owes.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/usernotifications/notification.h"

class UNUserNotificationCenter;

// Error domain of the centre's own failures.
inline constexpr const char* UNErrorDomain = "UNErrorDomain";
inline constexpr int64_t UNErrorCodeNotificationsNotAllowed = 1;

// What the centre tells the application. A delegate declares which of the optional methods it
// implements; the centre (and whoever passes calls on) calls only those.
class UNUserNotificationCenterDelegate {
 public:
  enum Method : unsigned {
    kWillPresentNotification = 1u << 0,
    kDidReceiveNotificationResponse = 1u << 1,
    kOpenSettingsForNotification = 1u << 2,
  };

  virtual ~UNUserNotificationCenterDelegate() = default;

  // The Method bits this delegate implements.
  virtual unsigned implementedMethods() const = 0;
  bool respondsTo(Method method) const { return (implementedMethods() & method) != 0; }

  // A notification arrives while the application runs; call `completionHandler` once with how it
  // is shown.
  virtual void userNotificationCenterWillPresentNotification(
      UNUserNotificationCenter& center, const UNNotification& notification,
      std::function<void(UNNotificationPresentationOptions)> completionHandler);
  // The user acted on a notification; call `completionHandler` once when done.
  virtual void userNotificationCenterDidReceiveNotificationResponse(
      UNUserNotificationCenter& center, const UNNotificationResponse& response,
      std::function<void()> completionHandler);
  // The user asked for the application's notification settings (about one notification, or
  // none).
  virtual void userNotificationCenterOpenSettingsForNotification(
      UNUserNotificationCenter& center, const std::optional<UNNotification>& notification);
};

class UNUserNotificationCenter {
 public:
  using AuthorizationCompletion =
      std::function<void(bool granted, const std::optional<fnd::Error>& error)>;
  using SettingsCompletion = std::function<void(const UNNotificationSettings& settings)>;

  // One notification handed to the delegate, and how it was shown once the delegate answered.
  struct Presentation {
    UNNotification notification;
    std::optional<UNNotificationPresentationOptions> options;  // Absent until answered.
  };

  // The application's centre, made on first use; lives for the whole process.
  static UNUserNotificationCenter& currentNotificationCenter();

  // Status not determined, nothing allowed. Completions run on `callbackQueue` (a new serial
  // queue when null).
  explicit UNUserNotificationCenter(std::shared_ptr<dispatch::Queue> callbackQueue = nullptr);
  UNUserNotificationCenter(const UNUserNotificationCenter&) = delete;
  UNUserNotificationCenter& operator=(const UNUserNotificationCenter&) = delete;

  // The delegate is kept weakly, as the platform does; null removes it.
  void setDelegate(const std::shared_ptr<UNUserNotificationCenterDelegate>& delegate);
  std::shared_ptr<UNUserNotificationCenterDelegate> delegate() const;

  // Asks the user (see the header comment) and calls `completion` on the callback queue.
  void requestAuthorizationWithOptions(UNAuthorizationOptions options,
                                       AuthorizationCompletion completion);
  // Calls `completion` on the callback queue with the current settings.
  void getNotificationSettingsWithCompletionHandler(SettingsCompletion completion);

  // System side. Each calls the delegate when it implements the method; otherwise a notification
  // is shown with no options and a response completes at once. `presented` / `completion` run
  // when the delegate answers (on its thread).
  void receiveNotification(
      const UNNotification& notification,
      std::function<void(UNNotificationPresentationOptions)> presented = nullptr);
  void receiveNotificationResponse(const UNNotificationResponse& response,
                                   std::function<void()> completion = nullptr);
  void openSettings(const std::optional<UNNotification>& notification);

  // Test hooks: how the user answers the next prompt; an error for the next request; the
  // settings as they stand (replacing them, as if the user changed them in the system settings).
  void setUserAnswer(bool grants);
  void failNextAuthorizationRequest(fnd::Error error);
  void setNotificationSettings(const UNNotificationSettings& settings);
  UNNotificationSettings notificationSettings() const;

  // What happened so far: the options of every authorisation request, and every notification
  // received with how it was shown.
  std::vector<UNAuthorizationOptions> authorizationRequests() const;
  std::vector<Presentation> presentations() const;

 private:
  // Constant after construction.
  const std::shared_ptr<dispatch::Queue> callbackQueue_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::weak_ptr<UNUserNotificationCenterDelegate> delegate_;
  UNNotificationSettings settings_;
  bool userGrants_ = true;
  std::optional<fnd::Error> nextAuthorizationError_;
  std::vector<UNAuthorizationOptions> authorizationRequests_;
  std::vector<std::shared_ptr<Presentation>> presentations_;
};
