#include "analytics/script/object_manager.h"

#include <atomic>

#include "analytics/script/array_value.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/scope.h"

// Marker.

void APMPMarker::markValue(const APMPValueRef& value) {
  if (!value) return;
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kMap:
    case APMPRuntimeValue::Kind::kArray:
    case APMPRuntimeValue::Kind::kFunction:
      break;
    case APMPRuntimeValue::Kind::kControl:
      // Only a return value carries data. Break and continue are process-wide shared instances,
      // which a pass must not write to (another runtime may be collecting on another thread).
      if (!static_cast<const APMPControlValue&>(*value).isReturn()) return;
      break;
    default:
      return;  // Nothing else keeps a container alive.
  }
  // The epoch, not the flag, tells whether this pass has been here: values that the manager does
  // not track (native functions) are never swept, so their flag is never cleared.
  if (value->markEpoch_ == epoch_) return;
  value->markEpoch_ = epoch_;
  value->marked_ = true;
  pending_.push_back(value.get());
}

void APMPMarker::markScope(const APMPScopeRef& scope) {
  if (!scope || scope->markEpoch_ == epoch_) return;
  scope->markEpoch_ = epoch_;
  pending_.push_back(scope.get());
}

void APMPMarker::markObject(APMPMarkable* object) {
  if (object) pending_.push_back(object);
}

void APMPMarker::drain() {
  while (!pending_.empty()) {
    APMPMarkable* next = pending_.back();
    pending_.pop_back();
    next->mark(*this);
  }
}

// Factories.

namespace {

template <typename T>
std::shared_ptr<T> Track(std::shared_ptr<T> value, const APMPScopeRef& scope) {
  if (scope) {
    if (auto manager = scope->objectManager()) manager->addObject(value);
  }
  return value;
}

}  // namespace

std::shared_ptr<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<std::u16string> parameterNames,
    APMPValueList statements, const APMPScopeRef& definingScope) {
  return Track(
      std::make_shared<APMPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                          std::move(statements), definingScope),
      definingScope);
}

std::shared_ptr<APMPMapValue> APMPObjectManager::mapValueWithScope(const APMPScopeRef& scope) {
  return Track(std::make_shared<APMPMapValue>(), scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::arrayValueWithScope(const APMPScopeRef& scope) {
  return Track(std::make_shared<APMPArrayValue>(), scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::arrayValueWithArray(APMPValueList elements,
                                                                       const APMPScopeRef& scope) {
  return Track(std::make_shared<APMPArrayValue>(std::move(elements)), scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::subarrayWithArray(const APMPArrayValue& array,
                                                                     int64_t location,
                                                                     int64_t length,
                                                                     const APMPScopeRef& scope) {
  return Track(array.subarrayWithRange(location, length), scope);
}

// Manager.

APMPObjectManager::~APMPObjectManager() {
  // Nothing can reach these values through the runtime any more: empty them so that cycles among
  // them are freed.
  std::vector<std::shared_ptr<APMPRuntimeValue>> live = trackedObjects();
  objects_.clear();
  for (const auto& object : live) object->sweep();
}

void APMPObjectManager::addRoot(const std::shared_ptr<APMPMarkable>& root) {
  if (root) roots_.push_back(root);
}

void APMPObjectManager::addObject(const std::shared_ptr<APMPRuntimeValue>& object) {
  if (!object) return;
  // Drop entries of values already freed once the list has doubled, so that it stays in
  // proportion to the live values between collections.
  if (objects_.size() >= 1024 && objects_.size() == objects_.capacity()) {
    std::erase_if(objects_, [](const std::weak_ptr<APMPRuntimeValue>& o) { return o.expired(); });
  }
  objects_.push_back(object);
}

void APMPObjectManager::collectGarbage() {
  // Pass numbers are unique in the process, so no value can carry a stale one from another
  // manager's pass.
  static std::atomic<uint64_t> passes{0};
  uint64_t epoch = ++passes;
  std::vector<std::shared_ptr<APMPMarkable>> roots = this->roots();
  APMPMarker marker(epoch);
  for (const auto& root : roots) {
    if (auto value = std::dynamic_pointer_cast<APMPRuntimeValue>(root)) {
      marker.markValue(value);
    } else if (auto scope = std::dynamic_pointer_cast<APMPScope>(root)) {
      marker.markScope(scope);
    } else {
      marker.markObject(root.get());
    }
    marker.drain();
  }
  std::vector<std::shared_ptr<APMPRuntimeValue>> live = trackedObjects();
  for (const auto& object : live) object->sweep();
  live.clear();
  std::erase_if(objects_, [](const std::weak_ptr<APMPRuntimeValue>& o) { return o.expired(); });
  std::erase_if(roots_, [](const std::weak_ptr<APMPMarkable>& r) { return r.expired(); });
}

std::vector<std::shared_ptr<APMPMarkable>> APMPObjectManager::roots() const {
  std::vector<std::shared_ptr<APMPMarkable>> result;
  for (const auto& root : roots_) {
    if (auto strong = root.lock()) result.push_back(std::move(strong));
  }
  return result;
}

std::vector<std::shared_ptr<APMPRuntimeValue>> APMPObjectManager::trackedObjects() const {
  std::vector<std::shared_ptr<APMPRuntimeValue>> result;
  for (const auto& object : objects_) {
    if (auto strong = object.lock()) result.push_back(std::move(strong));
  }
  return result;
}
