#include "plugins/zudiroru_crashkeep/zudiroru_crashkeep_plugin.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr const char* kDevelopmentPlatformName = "Flutter";
constexpr const char* kDevelopmentPlatformVersion = "-1";
constexpr const char* kExceptionName = "FlutterError";
constexpr const char* kErrorReasonKey = "flutter_error_reason";
constexpr const char* kErrorExceptionKey = "flutter_error_exception";
constexpr const char* kCollectionEnabledKey = "isCrashkeepCollectionEnabled";
constexpr const char* kInvalidArgumentsCode = "invalid-arguments";

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

namespace {

using Result = std::shared_ptr<FLTZudiroruMethodCallResult>;
using Arguments = flutter::ChannelArguments;

// Answers a call whose arguments cannot be used; true when that happened.
bool Refused(const Arguments& args, const Result& result) {
  if (args.ok()) return false;
  result->error()(kInvalidArgumentsCode, args.message(), std::nullopt, nullptr);
  return true;
}

}  // namespace

void FLTZudiroruCrashkeepPlugin::recordError(Arguments& args, const Result& result) {
  std::optional<std::string> reason = args.string("reason");
  std::optional<std::string> information = args.string("information");
  std::optional<std::string> exception = args.string("exception");
  std::vector<fnd::Dictionary> elements = args.dictionaries("stackTraceElements");
  bool fatal = args.boolean("fatal");
  std::vector<DEVStackFrame> frames;
  for (const fnd::Dictionary& element : elements) {
    Arguments frame = args.nested(fnd::Value(element));
    std::optional<std::string> className = frame.string("class");
    std::optional<std::string> methodName = frame.string("method");
    std::optional<std::string> file = frame.string("file");
    int64_t line = frame.integerValue("line", /*text=*/true);
    frames.push_back(DEVStackFrame::stackFrameWithSymbol(
        ObjectText(className) + "." + ObjectText(methodName), file, line));
  }
  if (Refused(args, result)) return;

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
  crashkeep_.setCustomValue(exception ? fnd::Value(*exception) : fnd::Value(), kErrorExceptionKey);
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
  result->success()(fnd::Value());
}

const FLTZudiroruCrashkeepPlugin::Methods& FLTZudiroruCrashkeepPlugin::methods() {
  using Self = FLTZudiroruCrashkeepPlugin;
  static const Methods* table = new Methods{
      {"Crashkeep#recordError", &Self::recordError},
      {"Crashkeep#setUserIdentifier",
       [](Self& self, Arguments& args, const Result& result) {
         std::optional<std::string> identifier = args.string("identifier");
         if (Refused(args, result)) return;
         self.crashkeep_.setUserID(identifier);
         result->success()(fnd::Value());
       }},
      {"Crashkeep#setCustomKey",
       [](Self& self, Arguments& args, const Result& result) {
         std::optional<std::string> key = args.string("key");
         fnd::Value value = args.any("value");
         if (Refused(args, result)) return;
         self.crashkeep_.setCustomValue(value, key);
         result->success()(fnd::Value());
       }},
      {"Crashkeep#log",
       [](Self& self, Arguments& args, const Result& result) {
         fnd::Value message = args.any("message");
         if (Refused(args, result)) return;
         // The message is an argument of the format, never a format itself.
         self.crashkeep_.logWithFormat("%@", {message});
         result->success()(fnd::Value());
       }},
      {"Crashkeep#crash",
       [](Self& self, Arguments&, const Result&) {
         self.crashHandler_(kFLTZudiroruCrashkeepTestCrashName,
                            kFLTZudiroruCrashkeepTestCrashReason);
       }},
      {"Crashkeep#setCrashkeepCollectionEnabled",
       [](Self& self, Arguments& args, const Result& result) {
         bool enabled = args.boolean("enabled");
         if (Refused(args, result)) return;
         self.crashkeep_.setCrashkeepCollectionEnabled(enabled);
         result->success()(fnd::Value(fnd::Dictionary{
             {kCollectionEnabledKey, self.crashkeep_.isCrashkeepCollectionEnabled()}}));
       }},
      {"Crashkeep#checkForUnsentReports",
       [](Self& self, Arguments&, const Result& result) {
         self.crashkeep_.checkForUnsentReportsWithCompletion([result](bool hasUnsentReports) {
           result->success()(fnd::Value(fnd::Dictionary{{"unsentReports", hasUnsentReports}}));
         });
       }},
      {"Crashkeep#sendUnsentReports",
       [](Self& self, Arguments&, const Result& result) {
         self.crashkeep_.sendUnsentReports();
         result->success()(fnd::Value());
       }},
      {"Crashkeep#deleteUnsentReports",
       [](Self& self, Arguments&, const Result& result) {
         self.crashkeep_.deleteUnsentReports();
         result->success()(fnd::Value());
       }},
      {"Crashkeep#didCrashOnPreviousExecution",
       [](Self& self, Arguments&, const Result& result) {
         result->success()(fnd::Value(fnd::Dictionary{
             {"didCrashOnPreviousExecution", self.crashkeep_.didCrashDuringPreviousExecution()}}));
       }},
  };
  return *table;
}

void FLTZudiroruCrashkeepPlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                                  flutter::FlutterResult result) {
  const Method* method = methods().find(call.method());
  if (!method) {
    result(flutter::FlutterMethodNotImplemented());
    return;
  }
  auto methodCallResult = FLTZudiroruMethodCallResult::createWithSuccess(
      [result](const fnd::Value& value) { result(value); },
      [result](const std::optional<std::string>& code, const std::optional<std::string>& message,
               const std::optional<fnd::Dictionary>& details, const fnd::Error* error) {
        result(ErrorValue(
            createFlutterErrorFromCode(code.value_or("unknown"), message, details, error)));
      });
  Arguments args = Arguments::ofMap(call.method(), call.arguments());
  (*method)(*this, args, methodCallResult);
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
