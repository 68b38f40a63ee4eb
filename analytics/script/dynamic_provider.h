// Modules of the scripting runtime: the provider that holds a creator per module name, and the
// "require" function that asks it and caches what it answers.
//
// Thread safety: none; used by the runtime's thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "analytics/script/function_value.h"
#include "analytics/script/runtime_value.h"

// Builds a module value, or returns null ("nothing").
using APMPModuleCreator = std::function<APMPValueRef()>;

class APMPDynamicProvider {
 public:
  // Stores or replaces the creator for the name.
  void setModuleCreator(APMPModuleCreator creator, const std::string& name);
  // Unknown name: undefined without an error. Known name: calls its creator (every time); when
  // the creator returns nothing, fails with 15 and returns null.
  APMPValueRef moduleForName(const std::string& name, APMPError* error) const;

 private:
  std::unordered_map<std::string, APMPModuleCreator> creators_;
};

// require(name): exactly one argument (9), evaluated; its string form names the module. A cached
// module is returned as it is; otherwise the provider is asked, and anything it returns (the
// undefined of an unknown name included) is cached. An error or nothing gives undefined with the
// error, and nothing is cached.
class APMPRequire final : public APMPFunctionValue {
 public:
  explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider);
  ~APMPRequire() override;
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error) override;
  // Also marks the cached modules.
  void mark(APMPMarker& marker) override;

 private:
  const std::shared_ptr<APMPDynamicProvider> provider_;
  std::unordered_map<std::string, APMPValueRef> modules_;
};
