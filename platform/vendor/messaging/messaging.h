// DEVMessaging: the cloud-messaging vendor SDK of the default Zudiroru app, as an in-memory
// simulation. It keeps the push service's device token (the "APNs token"), the app's registration
// token, its topic subscriptions and the auto-init switch, and tells its delegate when the
// registration token changes. Nothing goes over the network: tokens come from a token source
// that tests replace, and faults are injected per operation.
//
// Tokens: tokenWithCompletion answers the current registration token, issuing one from the token
// source when there is none (the delegate then hears of it). deleteTokenWithCompletion forgets the
// token and the topics subscribed with it. refreshTokenForTesting plays the server handing out a
// new token. Topic names are "/topics/" (optional) followed by 1 to 900 characters of letters,
// digits and "-_.~%"; other names fail with kDEVMessagingErrorInvalidTopicName.
//
// The auto-init switch is stored in the user defaults given at construction, so it survives a
// restart; it is on until switched off.
//
// Thread safety: every method may be called from any thread. Completions run on the SDK's
// callback queue, never on the calling thread; the delegate is called on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/user_defaults.h"
#include "platform/foundation/value.h"

class DEVMessaging;

// The SDK's error domain and the codes it answers with.
inline constexpr const char* kDEVMessagingErrorDomain = "com.zudiroru.messaging";
inline constexpr int64_t kDEVMessagingErrorUnknown = 0;
inline constexpr int64_t kDEVMessagingErrorNetwork = 4;
inline constexpr int64_t kDEVMessagingErrorInvalidRequest = 7;
inline constexpr int64_t kDEVMessagingErrorInvalidTopicName = 8;
inline constexpr int64_t kDEVMessagingErrorMissingDeviceID = 501;
inline constexpr int64_t kDEVMessagingErrorServiceNotAvailable = 1001;
inline constexpr int64_t kDEVMessagingErrorInvalidParameters = 1003;
inline constexpr int64_t kDEVMessagingErrorSave = 1004;
inline constexpr int64_t kDEVMessagingErrorSizeExceeded = 1005;
inline constexpr int64_t kDEVMessagingErrorAlreadyConnected = 2001;
inline constexpr int64_t kDEVMessagingErrorPubSubOperationCancelled = 3005;

// Which push environment a device token belongs to.
enum class DEVMessagingAPNSTokenType : int64_t { kUnknown = 0, kSandbox = 1, kProd = 2 };

// The user-defaults key of the auto-init switch.
inline constexpr const char* kDEVMessagingAutoInitEnabledKey =
    "com.zudiroru.messaging.auto-init.enabled";

// Hears of registration tokens. Called on the main queue.
class DEVMessagingDelegate {
 public:
  virtual ~DEVMessagingDelegate() = default;
  // A new registration token, or none when it was deleted.
  virtual void messagingDidReceiveRegistrationToken(DEVMessaging& messaging,
                                                    const std::optional<std::string>& token) = 0;
};

class DEVMessaging : public std::enable_shared_from_this<DEVMessaging> {
 public:
  using TokenCompletion = std::function<void(const std::optional<std::string>& token,
                                             const std::optional<fnd::Error>& error)>;
  using ErrorCompletion = std::function<void(const std::optional<fnd::Error>& error)>;
  // Makes a new registration token.
  using TokenSource = std::function<std::string()>;

  // The operations a fault can be injected into.
  enum class Operation { kToken, kDeleteToken, kSubscribe, kUnsubscribe };

  // The messaging object of the default app: null while the default app is not configured, then
  // one object, made on first use, for the rest of the process.
  static std::shared_ptr<DEVMessaging> messaging();

  // A fresh object. Completions run on `callbackQueue` (a new serial queue when null); the switch
  // is kept in `defaults` (the standard user defaults when null); tokens come from `tokenSource`
  // (random ones when null).
  static std::shared_ptr<DEVMessaging> create(
      std::shared_ptr<dispatch::Queue> callbackQueue = nullptr,
      fnd::UserDefaults* defaults = nullptr, TokenSource tokenSource = nullptr);
  DEVMessaging(std::shared_ptr<dispatch::Queue> callbackQueue, fnd::UserDefaults* defaults,
               TokenSource tokenSource);
  DEVMessaging(const DEVMessaging&) = delete;
  DEVMessaging& operator=(const DEVMessaging&) = delete;

  // Kept weakly; null removes it.
  void setDelegate(const std::shared_ptr<DEVMessagingDelegate>& delegate);
  std::shared_ptr<DEVMessagingDelegate> delegate() const;

  // The push service's device token, and the environment it came from.
  std::optional<fnd::Data> APNSToken() const;
  std::optional<DEVMessagingAPNSTokenType> APNSTokenType() const;
  void setAPNSToken(const fnd::Data& token, DEVMessagingAPNSTokenType type);

  // The current registration token, if one was issued.
  std::optional<std::string> ZCMToken() const;
  void tokenWithCompletion(TokenCompletion completion);
  void deleteTokenWithCompletion(ErrorCompletion completion);

  void subscribeToTopic(const std::string& topic, ErrorCompletion completion);
  void unsubscribeFromTopic(const std::string& topic, ErrorCompletion completion);
  // The subscribed topics, without the "/topics/" prefix.
  std::set<std::string> subscribedTopics() const;

  bool isAutoInitEnabled() const;
  void setAutoInitEnabled(bool enabled);

  // Test hooks: the next call of `operation` fails with `error` (faults queue up per operation);
  // the server hands out `token` in place of the current one and tells the delegate.
  void failNext(Operation operation, fnd::Error error);
  void refreshTokenForTesting(const std::string& token);

 private:
  // The injected fault of the next `operation`, if any. REQUIRES: mu_ held.
  std::optional<fnd::Error> takeFault(Operation operation);
  // Tells the delegate of `token` on the main queue.
  void notifyDelegate(std::optional<std::string> token);
  void changeTopic(const std::string& topic, bool subscribe, ErrorCompletion completion);

  // Constant after construction.
  const std::shared_ptr<dispatch::Queue> callbackQueue_;
  fnd::UserDefaults& defaults_;
  const TokenSource tokenSource_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  std::weak_ptr<DEVMessagingDelegate> delegate_;
  std::optional<fnd::Data> apnsToken_;
  std::optional<DEVMessagingAPNSTokenType> apnsTokenType_;
  std::optional<std::string> token_;
  std::set<std::string> topics_;
  std::map<Operation, std::vector<fnd::Error>> faults_;
};
