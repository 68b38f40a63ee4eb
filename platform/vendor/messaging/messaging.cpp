#include "platform/vendor/messaging/messaging.h"

#include <utility>

#include "platform/foundation/uuid.h"
#include "platform/vendor/core/davodu.h"

namespace {

constexpr const char* kTopicPrefix = "/topics/";
constexpr size_t kMaxTopicLength = 900;

// The topic name without its optional prefix, or nullopt when it is not a valid name.
std::optional<std::string> TopicName(const std::string& topic) {
  std::string name = topic;
  if (name.rfind(kTopicPrefix, 0) == 0) name = name.substr(std::string(kTopicPrefix).size());
  if (name.empty() || name.size() > kMaxTopicLength) return std::nullopt;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c == '~' || c == '%';
    if (!ok) return std::nullopt;
  }
  return name;
}

std::string RandomToken() {
  std::string id = fnd::UUID::Random().uuidString();
  std::string compact;
  for (char c : id) {
    if (c != '-') compact += c;
  }
  return compact.substr(0, 22) + ":APA91b" + fnd::UUID::Random().uuidString();
}

}  // namespace

std::shared_ptr<DEVMessaging> DEVMessaging::messaging() {
  static std::mutex* mu = new std::mutex();
  static auto* instance = new std::shared_ptr<DEVMessaging>();
  if (!DAVOdu::isDefaultAppConfigured()) return nullptr;
  std::lock_guard<std::mutex> lock(*mu);
  if (!*instance) *instance = create();
  return *instance;
}

std::shared_ptr<DEVMessaging> DEVMessaging::create(std::shared_ptr<dispatch::Queue> callbackQueue,
                                                   fnd::UserDefaults* defaults,
                                                   TokenSource tokenSource) {
  return std::make_shared<DEVMessaging>(std::move(callbackQueue), defaults, std::move(tokenSource));
}

DEVMessaging::DEVMessaging(std::shared_ptr<dispatch::Queue> callbackQueue,
                           fnd::UserDefaults* defaults, TokenSource tokenSource)
    : callbackQueue_(callbackQueue ? std::move(callbackQueue)
                                   : dispatch::Queue::create("com.zudiroru.messaging.callback")),
      defaults_(defaults ? *defaults : fnd::UserDefaults::standardUserDefaults()),
      tokenSource_(tokenSource ? std::move(tokenSource) : RandomToken) {}

void DEVMessaging::setDelegate(const std::shared_ptr<DEVMessagingDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = delegate;
}

std::shared_ptr<DEVMessagingDelegate> DEVMessaging::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

std::optional<fnd::Data> DEVMessaging::APNSToken() const {
  std::lock_guard<std::mutex> lock(mu_);
  return apnsToken_;
}

std::optional<DEVMessagingAPNSTokenType> DEVMessaging::APNSTokenType() const {
  std::lock_guard<std::mutex> lock(mu_);
  return apnsTokenType_;
}

void DEVMessaging::setAPNSToken(const fnd::Data& token, DEVMessagingAPNSTokenType type) {
  std::lock_guard<std::mutex> lock(mu_);
  apnsToken_ = token;
  apnsTokenType_ = type;
}

std::optional<std::string> DEVMessaging::ZCMToken() const {
  std::lock_guard<std::mutex> lock(mu_);
  return token_;
}

void DEVMessaging::tokenWithCompletion(TokenCompletion completion) {
  std::optional<std::string> token;
  std::optional<fnd::Error> error;
  bool issued = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = takeFault(Operation::kToken);
    if (!error) {
      if (!token_) {
        token_ = tokenSource_();
        issued = true;
      }
      token = token_;
    }
  }
  if (issued) notifyDelegate(token);
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), token, error] {
    completion(error ? std::nullopt : token, error);
  });
}

void DEVMessaging::deleteTokenWithCompletion(ErrorCompletion completion) {
  std::optional<fnd::Error> error;
  bool deleted = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = takeFault(Operation::kDeleteToken);
    if (!error) {
      deleted = token_.has_value();
      token_.reset();
      topics_.clear();  // Subscriptions belong to the token.
    }
  }
  if (deleted) notifyDelegate(std::nullopt);
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), error] { completion(error); });
}

void DEVMessaging::subscribeToTopic(const std::string& topic, ErrorCompletion completion) {
  changeTopic(topic, true, std::move(completion));
}

void DEVMessaging::unsubscribeFromTopic(const std::string& topic, ErrorCompletion completion) {
  changeTopic(topic, false, std::move(completion));
}

void DEVMessaging::changeTopic(const std::string& topic, bool subscribe,
                               ErrorCompletion completion) {
  std::optional<fnd::Error> error;
  {
    std::lock_guard<std::mutex> lock(mu_);
    error = takeFault(subscribe ? Operation::kSubscribe : Operation::kUnsubscribe);
    std::optional<std::string> name = TopicName(topic);
    if (!error && !name) {
      error =
          fnd::Error::withDescription(kDEVMessagingErrorDomain, kDEVMessagingErrorInvalidTopicName,
                                      "Invalid topic name: " + topic);
    }
    if (!error) {
      if (subscribe) {
        topics_.insert(*name);
      } else {
        topics_.erase(*name);
      }
    }
  }
  if (!completion) return;
  callbackQueue_->async([completion = std::move(completion), error] { completion(error); });
}

std::set<std::string> DEVMessaging::subscribedTopics() const {
  std::lock_guard<std::mutex> lock(mu_);
  return topics_;
}

bool DEVMessaging::isAutoInitEnabled() const {
  std::optional<fnd::Value> stored = defaults_.objectForKey(kDEVMessagingAutoInitEnabledKey);
  return stored ? stored->asBool(true) : true;
}

void DEVMessaging::setAutoInitEnabled(bool enabled) {
  defaults_.setBool(kDEVMessagingAutoInitEnabledKey, enabled);
}

void DEVMessaging::failNext(Operation operation, fnd::Error error) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_[operation].push_back(std::move(error));
}

void DEVMessaging::refreshTokenForTesting(const std::string& token) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    token_ = token;
  }
  notifyDelegate(token);
}

std::optional<fnd::Error> DEVMessaging::takeFault(Operation operation) {
  auto it = faults_.find(operation);
  if (it == faults_.end() || it->second.empty()) return std::nullopt;
  fnd::Error error = std::move(it->second.front());
  it->second.erase(it->second.begin());
  return error;
}

void DEVMessaging::notifyDelegate(std::optional<std::string> token) {
  std::weak_ptr<DEVMessaging> weakSelf = weak_from_this();
  dispatch::Queue::main()->async([weakSelf, token = std::move(token)] {
    std::shared_ptr<DEVMessaging> self = weakSelf.lock();
    if (!self) return;
    if (std::shared_ptr<DEVMessagingDelegate> d = self->delegate()) {
      d->messagingDidReceiveRegistrationToken(*self, token);
    }
  });
}
