// The modules through which scripts reach the host: the platform module (always present) and the
// three host modules that the server-settings component installs before it loads a program: a
// key-value store over the server settings, an object provider for application metadata, and a
// logger. Every module and module function is a native APMPFunctionValue; a module's functions
// hang on it as named properties. The host data arrives through the closures given here.
//
// Thread safety: none; used by the runtime's thread only. The closures run on that thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/script/function_value.h"
#include "analytics/script/runtime_value.h"
#include "platform/foundation/value.h"

// Property names that scripts see.
inline constexpr std::u16string_view APMPFunctionGetVersion = u"getVersion";
inline constexpr std::u16string_view APMPFunctionGetValue = u"getValue";
inline constexpr std::u16string_view APMPFunctionLogName = u"log";
inline constexpr std::u16string_view APMPFunctionSilentName = u"silent";
inline constexpr std::u16string_view APMPFunctionUnmonitoredName = u"unmonitored";

// "internal.platform": calling it returns undefined; getVersion() returns the runtime version.
class APMPRuntimePlatform final : public APMPFunctionValue {
 public:
  APMPRuntimePlatform();
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;
};

// getVersion(): ignores its arguments and returns the number APMPRuntime::runtimeVersion().
class APMPRuntimePlatformGetVersion final : public APMPFunctionValue {
 public:
  APMPRuntimePlatformGetVersion();
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;
};

// The host's answer for a key: a string, or nothing.
using APMPGetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;

// "internal.remoteConfig": calling it evaluates the arguments and returns undefined. Its property
// getValue(key, default) takes exactly two arguments (9), evaluates them, asks the closure with
// the key's string form and returns a new string value, or the default unchanged when the
// closure has nothing.
class APMPKeyValueStore final : public APMPFunctionValue {
 public:
  APMPKeyValueStore(std::u16string functionName, APMPGetValueBlock getValueBlock);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;
};

class APMPKeyValueStoreGetValue final : public APMPFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPGetValueBlock getValueBlock);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;

 private:
  const APMPGetValueBlock getValueBlock_;
};

// "internal.appMetadata": calling it ignores the arguments, calls the closure and converts the
// Foundation object it returns in the caller's scope (a null value gives null), so each call
// builds a new map.
class APMPObjectProvider final : public APMPFunctionValue {
 public:
  APMPObjectProvider(std::u16string name, std::function<fnd::Value()> block);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;

 private:
  const std::function<fnd::Value()> objectProviderBlock_;
};

// Where script log lines go.
class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  // A script level, the message, up to three context strings, and the two flags of the function
  // that logged it.
  virtual void logWithLevel(int64_t level, const std::string& message,
                            const std::vector<std::string>& context, bool silent,
                            bool monitored) = 0;
};

// "internal.logger": calling it returns undefined. Properties: "log" (silent off, monitored on);
// "silent" (a function returning itself, with its own "log": silent on, monitored on);
// "unmonitored" (likewise, with "log": silent off, monitored off).
class APMPMessageLogger final : public APMPFunctionValue {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;
};

// The function value that returns itself: "silent" and "unmonitored".
class APMPLoggerVariant final : public APMPFunctionValue {
 public:
  explicit APMPLoggerVariant(std::u16string name) : APMPFunctionValue(std::move(name)) {}
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;
};

// log(message) or log(level, message, context...): at least one argument (9), all evaluated.
// One argument logs the message at script level 4 with no context. Two or more: the level is the
// first argument's number truncated to an integer, the message the second's string form, and
// the string forms of the third to fifth arguments the context (further ones ignored). The first
// conversion error ends the call without logging. Returns undefined.
class APMPFunctionLog final : public APMPFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;

 private:
  const std::shared_ptr<APMPLoggerDelegate> logger_;
  const bool silent_;
  const bool monitored_;
};
