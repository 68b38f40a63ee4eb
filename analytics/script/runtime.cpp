#include "analytics/script/runtime.h"

#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/host_modules.h"
#include "analytics/script/memory_account.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/runtime_entity_converter.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"

APMPRuntime::APMPRuntime()
    : initScope_(APMPScope::create()),
      globalScope_(initScope_->createChildScope()),
      apiProvider_(std::make_shared<APMPDynamicProvider>()),
      objectManager_(std::make_shared<APMPObjectManager>()),
      memoryAccount_(std::make_shared<APMPMemoryAccount>()) {
  memoryAccount_->setLimitScope(initScope_.get());
  APMPMemoryAccount::Activation activation(memoryAccount_);
  objectManager_->addRoot(initScope_);
  objectManager_->addRoot(globalScope_);
  initScope_->setObjectManager(objectManager_);
  initScope_->enableInstructionCounter();
  globalScope_->addValue(std::make_shared<APMPRequire>(apiProvider_),
                         std::u16string(APMPFunctionNameRequire));
  apiProvider_->setModuleCreator([] { return std::make_shared<APMPRuntimePlatform>(); },
                                 APMPEModulePlatform);
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
  // The manager empties every value the programs made, which frees the cycles among them and
  // between them and the scopes.
  objectManager_.reset();
  memoryAccount_->setLimitScope(nullptr);
}

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
  apiProvider_->setModuleCreator(std::move(creator), name);
}

APMPValueRef APMPRuntime::executeStatements(
    const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& entities, APMPError* error) {
  APMPMemoryAccount::Activation activation(memoryAccount_);
  APMPError local;
  APMPValueRef result = APMPUndefined();
  for (const auto& entity : entities) {
    if (!entity) continue;
    APMPValueRef statement =
        APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, globalScope_, &local);
    if (!local) result = APMPEvaluator::evaluateStatement(statement, globalScope_, &local);
    if (local) {
      if (error) *error = std::move(local);
      return APMPUndefined();
    }
  }
  return result;
}

APMPScopeRef APMPRuntime::getRunScope() const { return globalScope_->createChildScope(); }

int32_t APMPRuntime::getInstructionCount() const { return initScope_->instructionCount(); }

void APMPRuntime::resetInstructionCount() {
  initScope_->setInstructionCount(0);
  memoryAccount_->startBudget(APMPMaximumEventMemory);
}

void APMPRuntime::addGarbageCollectionRoot(const std::shared_ptr<APMPMarkable>& root) {
  objectManager_->addRoot(root);
}

void APMPRuntime::collectGarbage() { objectManager_->collectGarbage(); }
