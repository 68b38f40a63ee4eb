#include "analytics/script/host_modules.h"

#include <cmath>

#include "analytics/script/evaluator.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_entity_converter.h"
#include "analytics/script/scope.h"
#include "platform/foundation/text.h"

// Platform.

APMPRuntimePlatform::APMPRuntimePlatform() : APMPFunctionValue(u"internal.platform") {
  setValue(std::make_shared<APMPRuntimePlatformGetVersion>(),
           std::u16string(APMPFunctionGetVersion));
}

APMPValueRef APMPRuntimePlatform::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                      APMPError*) {
  return APMPUndefined();
}

APMPRuntimePlatformGetVersion::APMPRuntimePlatformGetVersion()
    : APMPFunctionValue(std::u16string(APMPFunctionGetVersion)) {}

APMPValueRef APMPRuntimePlatformGetVersion::invokeWithArguments(const APMPValueList&,
                                                                const APMPScopeRef&, APMPError*) {
  return APMPNumberValue::numberWithDouble(static_cast<double>(APMPRuntime::runtimeVersion()));
}

// Key-value store.

APMPKeyValueStore::APMPKeyValueStore(std::u16string functionName, APMPGetValueBlock getValueBlock)
    : APMPFunctionValue(std::move(functionName)) {
  setValue(std::make_shared<APMPKeyValueStoreGetValue>(std::move(getValueBlock)),
           std::u16string(APMPFunctionGetValue));
}

APMPValueRef APMPKeyValueStore::invokeWithArguments(const APMPValueList& arguments,
                                                    const APMPScopeRef& scope, APMPError* error) {
  APMPEvaluateArguments(arguments, scope, error);
  return APMPUndefined();
}

APMPKeyValueStoreGetValue::APMPKeyValueStoreGetValue(APMPGetValueBlock getValueBlock)
    : APMPFunctionValue(std::u16string(APMPFunctionGetValue)),
      getValueBlock_(std::move(getValueBlock)) {}

APMPValueRef APMPKeyValueStoreGetValue::invokeWithArguments(const APMPValueList& arguments,
                                                            const APMPScopeRef& scope,
                                                            APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 2, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  std::u16string key = values[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  std::optional<std::string> answer;
  if (getValueBlock_) answer = getValueBlock_(fnd::FromUTF16(key));
  if (!answer) return values[1];
  return APMPStringValue::stringWithUTF8(*answer);
}

// Object provider.

APMPObjectProvider::APMPObjectProvider(std::u16string name, std::function<fnd::Value()> block)
    : APMPFunctionValue(std::move(name)), objectProviderBlock_(std::move(block)) {}

APMPValueRef APMPObjectProvider::invokeWithArguments(const APMPValueList&,
                                                     const APMPScopeRef& scope, APMPError* error) {
  fnd::Value object = objectProviderBlock_ ? objectProviderBlock_() : fnd::Value();
  APMPValueRef result = APMPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope, error);
  if (*error) return APMPUndefined();
  return result;
}

// Logger.

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"internal.logger") {
  setValue(std::make_shared<APMPFunctionLog>(logger, false, true),
           std::u16string(APMPFunctionLogName));
  auto silent = std::make_shared<APMPLoggerVariant>(std::u16string(APMPFunctionSilentName));
  silent->setValue(std::make_shared<APMPFunctionLog>(logger, true, true),
                   std::u16string(APMPFunctionLogName));
  setValue(silent, std::u16string(APMPFunctionSilentName));
  auto unmonitored =
      std::make_shared<APMPLoggerVariant>(std::u16string(APMPFunctionUnmonitoredName));
  unmonitored->setValue(std::make_shared<APMPFunctionLog>(logger, false, false),
                        std::u16string(APMPFunctionLogName));
  setValue(unmonitored, std::u16string(APMPFunctionUnmonitoredName));
}

APMPValueRef APMPMessageLogger::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                    APMPError*) {
  return APMPUndefined();
}

APMPValueRef APMPLoggerVariant::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                    APMPError*) {
  return shared_from_this();
}

APMPFunctionLog::APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent,
                                 bool monitored)
    : APMPFunctionValue(std::u16string(APMPFunctionLogName)),
      logger_(std::move(logger)),
      silent_(silent),
      monitored_(monitored) {}

APMPValueRef APMPFunctionLog::invokeWithArguments(const APMPValueList& arguments,
                                                  const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtLeast(arguments, 1, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  int64_t level = 4;
  std::u16string message;
  std::vector<std::string> context;
  if (values.size() == 1) {
    message = values[0]->stringValueOrError(error);
    if (*error) return APMPUndefined();
  } else {
    double number = values[0]->doubleValueOrError(error);
    if (*error) return APMPUndefined();
    double integral = APMPToInteger(number);
    // Out-of-range levels are simply unknown levels.
    level = std::fabs(integral) < 1e18 ? static_cast<int64_t>(integral) : -1;
    message = values[1]->stringValueOrError(error);
    if (*error) return APMPUndefined();
    for (size_t i = 2; i < values.size() && i < 5; ++i) {
      std::u16string item = values[i]->stringValueOrError(error);
      if (*error) return APMPUndefined();
      context.push_back(fnd::FromUTF16(item));
    }
  }
  if (logger_) logger_->logWithLevel(level, fnd::FromUTF16(message), context, silent_, monitored_);
  return APMPUndefined();
}
