#include "analytics/script/dynamic_provider.h"

#include "analytics/script/evaluator.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/runtime.h"
#include "platform/foundation/text.h"

void APMPDynamicProvider::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
  creators_[name] = std::move(creator);
}

APMPValueRef APMPDynamicProvider::moduleForName(const std::string& name, APMPError* error) const {
  auto it = creators_.find(name);
  if (it == creators_.end()) return APMPUndefined();
  APMPValueRef module = it->second ? it->second() : nullptr;
  if (!module) APMPSetError(error, APMPErrorCodeModuleCreatorFailed);
  return module;
}

APMPRequire::APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
    : APMPFunctionValue(std::u16string(APMPFunctionNameRequire)), provider_(std::move(provider)) {}

APMPRequire::~APMPRequire() {
  for (auto& entry : modules_) APMPReleaseLater(std::move(entry.second));
}

APMPValueRef APMPRequire::invokeWithArguments(const APMPValueList& arguments,
                                              const APMPScopeRef& scope, APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (*error) return APMPUndefined();
  std::u16string name = values[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  std::string key = fnd::FromUTF16(name);
  if (auto it = modules_.find(key); it != modules_.end()) return it->second;
  APMPValueRef module = provider_ ? provider_->moduleForName(key, error) : APMPUndefined();
  if (*error || !module) return APMPUndefined();
  modules_[key] = module;
  return module;
}

void APMPRequire::mark(APMPMarker& marker) {
  APMPFunctionValue::mark(marker);
  for (const auto& entry : modules_) marker.markValue(entry.second);
}
