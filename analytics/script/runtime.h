// APMPRuntime: owns the scope tree, the collector and the module provider of one scripting
// runtime, and runs top-level statement lists. Event editing is its user.
//
// Scopes: the root scope (no parent) keeps the instruction count and carries the object manager;
// the global scope (its child) holds "require" and every name a program declares at top level;
// getRunScope() gives a fresh child of the global scope for each callback run.
//
// Scripts reach the host only through modules: require(name) returns the value that the creator
// installed under that name builds, once per runtime.
//
// Thread safety: none; a runtime and its values are used by one thread at a time (the engine's
// worker queue). Values made by a runtime must not be used after it is destroyed: its collector
// empties them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/script/dynamic_provider.h"
#include "analytics/script/runtime_value.h"

class APMPBRuntimeEntity;
class APMPMemoryAccount;
class APMPObjectManager;

// The runtime's version, as "internal.platform".getVersion() answers it.
inline constexpr int64_t APMPRuntimeVersion = 0;

// The module-loading function's name.
inline constexpr std::u16string_view APMPFunctionNameRequire = u"require";

// Module names.
inline constexpr const char* APMPEModulePlatform = "internal.platform";
inline constexpr const char* APMPEModuleRegisterCallback = "internal.registerCallback";
inline constexpr const char* APMPEModuleEventLogger = "internal.eventLogger";
inline constexpr const char* APMPEModuleRemoteConfig = "internal.remoteConfig";
inline constexpr const char* APMPEModuleAppMetadata = "internal.appMetadata";
inline constexpr const char* APMPEModuleLogger = "internal.logger";

class APMPRuntime {
 public:
  // Builds the scopes and the collector (both scopes are collector roots), installs "require" in
  // the global scope and the creator of "internal.platform", and resets the instruction count.
  APMPRuntime();
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  static int64_t runtimeVersion() { return APMPRuntimeVersion; }

  const APMPScopeRef& initialScope() const { return initScope_; }
  const APMPScopeRef& globalScope() const { return globalScope_; }
  APMPObjectManager& objectManager() const { return *objectManager_; }

  // Installs or replaces the creator of a module.
  void setModuleCreator(APMPModuleCreator creator, const std::string& name);

  // Converts and evaluates each entity in the global scope, in order. A conversion or evaluation
  // error stops the run: undefined with the error (error may be null). Control values do not stop
  // it. The result is the last statement's value, undefined for an empty list. Converting a tree
  // is charged to the instruction count (entries and texts, work_meter.h), and values made while
  // it runs are charged to the memory account.
  APMPValueRef executeStatements(const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& entities,
                                 APMPError* error);

  // A new child scope of the global scope on every call.
  APMPScopeRef getRunScope() const;

  // The instructions counted since the last reset.
  int32_t getInstructionCount() const;
  // Sets the count to 0 and gives the values made from now on a fresh memory allowance of
  // APMPMaximumEventMemory bytes beyond those live now.
  void resetInstructionCount();

  // The memory that this runtime's values hold (memory_account.h). Whoever runs script code of
  // this runtime outside executeStatements() activates it for that time.
  const std::shared_ptr<APMPMemoryAccount>& memoryAccount() const { return memoryAccount_; }

  void addGarbageCollectionRoot(const std::shared_ptr<APMPMarkable>& root);
  void collectGarbage();

 private:
  // Constant after construction.
  APMPScopeRef initScope_;
  APMPScopeRef globalScope_;
  std::shared_ptr<APMPDynamicProvider> apiProvider_;
  std::shared_ptr<APMPObjectManager> objectManager_;
  std::shared_ptr<APMPMemoryAccount> memoryAccount_;
};
