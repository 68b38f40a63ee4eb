#include "plugins/zudiroru_crashkeep/zudiroru_crashkeep_plugin.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "plugins/zudiroru_core/method_call_result.h"

namespace {

constexpr const char* kDevelopmentPlatformName = "Flutter";
constexpr const char* kDevelopmentPlatformVersion = "-1";
constexpr const char* kExceptionName = "FlutterError";
constexpr const char* kErrorReasonKey = "flutter_error_reason";
constexpr const char* kErrorExceptionKey = "flutter_error_exception";
constexpr const char* kCollectionEnabledKey = "isCrashkeepCollectionEnabled";
constexpr const char* kInvalidArgumentsCode = "invalid-arguments";

// Reads the arguments map of one call. Null and missing entries read as absent (the SDK gets an
// absent value, NO or 0); an entry of a kind the call cannot use is a problem, reported to Dart
// before anything reaches the SDK.
class Arguments {
 public:
  Arguments(const std::string& method, const fnd::Value& arguments) : method_(method) {
    if (const fnd::Dictionary* map = arguments.dictionary()) {
      map_ = *map;
    } else if (!arguments.isNull()) {
      fail("the arguments must be a map");
    }
  }

  fnd::Value any(const char* key) const { return map_.get(key); }

  std::optional<std::string> string(const char* key) { return string(map_, key); }
  std::optional<std::string> string(const fnd::Dictionary& map, const char* key) {
    fnd::Value v = map.get(key);
    if (v.isString()) return v.asString();
    if (!v.isNull()) fail(std::string("\"") + key + "\" must be a string");
    return std::nullopt;
  }

  // The value's boolValue: numbers and booleans; absent is NO.
  bool boolean(const char* key) {
    fnd::Value v = map_.get(key);
    if (v.isBool() || v.isNumber()) return v.asBool();
    if (!v.isNull()) fail(std::string("\"") + key + "\" must be a boolean");
    return false;
  }

  // The value's integerValue: numbers, and text read up to its first non-digit; absent is 0.
  int64_t integer(const fnd::Dictionary& map, const char* key) {
    fnd::Value v = map.get(key);
    if (v.isBool() || v.isNumber()) return v.asInt();
    if (v.isString()) return LeadingInteger(v.asString());
    if (!v.isNull()) fail(std::string("\"") + key + "\" must be a number");
    return 0;
  }

  // The frame maps of a list; a null list is empty.
  std::vector<fnd::Dictionary> maps(const char* key) {
    std::vector<fnd::Dictionary> maps;
    fnd::Value v = map_.get(key);
    if (v.isNull()) return maps;
    const fnd::Array* list = v.array();
    if (!list) {
      fail(std::string("\"") + key + "\" must be a list");
      return maps;
    }
    for (const fnd::Value& element : *list) {
      if (const fnd::Dictionary* map = element.dictionary()) {
        maps.push_back(*map);
      } else {
        fail(std::string("every element of \"") + key + "\" must be a map");
        break;
      }
    }
    return maps;
  }

  bool ok() const { return problem_.empty(); }
  std::string message() const { return "Invalid arguments for " + method_ + ": " + problem_ + "."; }

 private:
  static int64_t LeadingInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      int digit = text[i] - '0';
      if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
      value = value * 10 + digit;
    }
    return negative ? -value : value;
  }

  void fail(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
  }

  const std::string& method_;
  fnd::Dictionary map_;
  std::string problem_;
};

// What "%@" makes of an optional text.
std::string ObjectText(const std::optional<std::string>& text) {
  return DEVCrashkeepObjectText(text ? fnd::Value(*text) : fnd::Value());
}

fnd::Value ErrorValue(const std::shared_ptr<flutter::FlutterError>& error) {
  return fnd::Value(std::shared_ptr<fnd::Record>(error));
}

void DefaultTestCrash(const std::string& name, const std::string& reason) {
  std::fprintf(stderr, "*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
               name.c_str(), reason.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::shared_ptr<FLTZudiroruCrashkeepPlugin> FLTZudiroruCrashkeepPlugin::sharedInstance() {
  static const std::shared_ptr<FLTZudiroruCrashkeepPlugin>& instance =
      *new std::shared_ptr<FLTZudiroruCrashkeepPlugin>(createRegisteredWith(
          FLTZudiroruPluginRegistry::sharedInstance(), DEVCrashkeep::crashkeep()));
  return instance;
}

std::shared_ptr<FLTZudiroruCrashkeepPlugin> FLTZudiroruCrashkeepPlugin::createRegisteredWith(
    FLTZudiroruPluginRegistry& registry, DEVCrashkeep& crashkeep,
    std::shared_ptr<dispatch::Clock> clock, TestCrashHandler crashHandler) {
  auto plugin = std::make_shared<FLTZudiroruCrashkeepPlugin>(crashkeep, std::move(clock),
                                                             std::move(crashHandler));
  registry.registerZudiroruPlugin(plugin);
  crashkeep.setDevelopmentPlatformName(kDevelopmentPlatformName);
  crashkeep.setDevelopmentPlatformVersion(kDevelopmentPlatformVersion);
  return plugin;
}

void FLTZudiroruCrashkeepPlugin::registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar) {
  registerWithRegistrar(registrar, sharedInstance());
}

void FLTZudiroruCrashkeepPlugin::registerWithRegistrar(
    flutter::FlutterPluginRegistrar& registrar,
    const std::shared_ptr<FLTZudiroruCrashkeepPlugin>& plugin) {
  auto channel = flutter::FlutterMethodChannel::methodChannelWithName(
      kFLTZudiroruCrashkeepChannelName, registrar.messenger());
  registrar.addMethodCallDelegate(plugin, channel);
  plugin->testEventChannel_ = flutter::FlutterEventChannel::eventChannelWithName(
      kFLTZudiroruCrashkeepTestEventChannelName, registrar.messenger());
  plugin->testEventChannel_->setStreamHandler(plugin);
}

FLTZudiroruCrashkeepPlugin::FLTZudiroruCrashkeepPlugin(DEVCrashkeep& crashkeep,
                                                       std::shared_ptr<dispatch::Clock> clock,
                                                       TestCrashHandler crashHandler)
    : crashkeep_(crashkeep),
      clock_(std::move(clock)),
      crashHandler_(crashHandler ? std::move(crashHandler) : DefaultTestCrash) {}

void FLTZudiroruCrashkeepPlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                                  flutter::FlutterResult result) {
  auto methodCallResult = FLTZudiroruMethodCallResult::createWithSuccess(
      [result](const fnd::Value& value) { result(value); },
      [result](const std::optional<std::string>& code, const std::optional<std::string>& message,
               const std::optional<fnd::Dictionary>& details, const fnd::Error* error) {
        result(ErrorValue(
            createFlutterErrorFromCode(code.value_or("unknown"), message, details, error)));
      });
  const std::string& method = call.method();
  Arguments args(method, call.arguments());
  // Answers a call whose arguments cannot be used; true when that happened.
  auto refused = [&] {
    if (args.ok()) return false;
    methodCallResult->error()(kInvalidArgumentsCode, args.message(), std::nullopt, nullptr);
    return true;
  };

  if (method == "Crashkeep#recordError") {
    std::optional<std::string> reason = args.string("reason");
    std::optional<std::string> information = args.string("information");
    std::optional<std::string> exception = args.string("exception");
    std::vector<fnd::Dictionary> elements = args.maps("stackTraceElements");
    bool fatal = args.boolean("fatal");
    std::vector<DEVStackFrame> frames;
    for (const fnd::Dictionary& element : elements) {
      std::optional<std::string> className = args.string(element, "class");
      std::optional<std::string> methodName = args.string(element, "method");
      std::optional<std::string> file = args.string(element, "file");
      int64_t line = args.integer(element, "line");
      frames.push_back(DEVStackFrame::stackFrameWithSymbol(
          ObjectText(className) + "." + ObjectText(methodName), file, line));
    }
    if (refused()) return;

    if (information && !information->empty()) crashkeep_.logWithFormat("%@", {*information});
    std::optional<std::string> exceptionReason;
    if (!reason) {
      // A missing reason counts as a null one: the exception text is the whole reason.
      exceptionReason = exception;
    } else {
      std::string reasonText = "thrown " + *reason;
      if (testEventSink_) testEventSink_(fnd::Value(reasonText));
      crashkeep_.setCustomValue(fnd::Value(reasonText), kErrorReasonKey);
      exceptionReason = ObjectText(exception) + ". Error thrown " + *reason + ".";
    }
    if (fatal) {
      double now = (clock_ ? clock_ : dispatch::Clock::current())->wallTime();
      crashkeep_.setCustomValue(fnd::Value::Int64(std::llround(now)),
                                kDEVCrashkeepOnDemandFatalTimeKey);
    }
    crashkeep_.setCustomValue(exception ? fnd::Value(*exception) : fnd::Value(),
                              kErrorExceptionKey);
    DEVExceptionModel model =
        DEVExceptionModel::exceptionModelWithName(kExceptionName, exceptionReason);
    model.setStackTrace(std::move(frames));
    model.setOnDemand(true);
    model.setIsFatal(fatal);
    if (fatal) {
      crashkeep_.recordOnDemandExceptionModel(model);
    } else {
      crashkeep_.recordExceptionModel(model);
    }
    methodCallResult->success()(fnd::Value());
  } else if (method == "Crashkeep#setUserIdentifier") {
    std::optional<std::string> identifier = args.string("identifier");
    if (refused()) return;
    crashkeep_.setUserID(identifier);
    methodCallResult->success()(fnd::Value());
  } else if (method == "Crashkeep#setCustomKey") {
    std::optional<std::string> key = args.string("key");
    if (refused()) return;
    crashkeep_.setCustomValue(args.any("value"), key);
    methodCallResult->success()(fnd::Value());
  } else if (method == "Crashkeep#log") {
    if (refused()) return;
    // The message is an argument of the format, never a format itself.
    crashkeep_.logWithFormat("%@", {args.any("message")});
    methodCallResult->success()(fnd::Value());
  } else if (method == "Crashkeep#crash") {
    crashHandler_(kFLTZudiroruCrashkeepTestCrashName, kFLTZudiroruCrashkeepTestCrashReason);
  } else if (method == "Crashkeep#setCrashkeepCollectionEnabled") {
    bool enabled = args.boolean("enabled");
    if (refused()) return;
    crashkeep_.setCrashkeepCollectionEnabled(enabled);
    methodCallResult->success()(fnd::Value(
        fnd::Dictionary{{kCollectionEnabledKey, crashkeep_.isCrashkeepCollectionEnabled()}}));
  } else if (method == "Crashkeep#checkForUnsentReports") {
    crashkeep_.checkForUnsentReportsWithCompletion([methodCallResult](bool hasUnsentReports) {
      methodCallResult->success()(fnd::Value(fnd::Dictionary{{"unsentReports", hasUnsentReports}}));
    });
  } else if (method == "Crashkeep#sendUnsentReports") {
    crashkeep_.sendUnsentReports();
    methodCallResult->success()(fnd::Value());
  } else if (method == "Crashkeep#deleteUnsentReports") {
    crashkeep_.deleteUnsentReports();
    methodCallResult->success()(fnd::Value());
  } else if (method == "Crashkeep#didCrashOnPreviousExecution") {
    methodCallResult->success()(fnd::Value(fnd::Dictionary{
        {"didCrashOnPreviousExecution", crashkeep_.didCrashDuringPreviousExecution()}}));
  } else {
    result(flutter::FlutterMethodNotImplemented());
  }
}

std::shared_ptr<flutter::FlutterError> FLTZudiroruCrashkeepPlugin::onListenWithArguments(
    const fnd::Value&, flutter::FlutterEventSink events) {
  testEventSink_ = std::move(events);
  return nullptr;
}

std::shared_ptr<flutter::FlutterError> FLTZudiroruCrashkeepPlugin::onCancelWithArguments(
    const fnd::Value&) {
  testEventSink_ = nullptr;
  return nullptr;
}

void FLTZudiroruCrashkeepPlugin::didReinitializeZudiroruCore(std::function<void()> completion) {
  if (completion) completion();
}

fnd::Dictionary FLTZudiroruCrashkeepPlugin::pluginConstantsForDAVOdu(const DAVOdu&) {
  return fnd::Dictionary{{kCollectionEnabledKey, crashkeep_.isCrashkeepCollectionEnabled()}};
}

std::string FLTZudiroruCrashkeepPlugin::zudiroruLibraryName() const {
  return kFLTZudiroruCrashkeepLibraryName;
}

std::string FLTZudiroruCrashkeepPlugin::zudiroruLibraryVersion() const {
  return kFLTZudiroruCrashkeepLibraryVersion;
}

std::string FLTZudiroruCrashkeepPlugin::flutterChannelName() const {
  return kFLTZudiroruCrashkeepChannelName;
}
