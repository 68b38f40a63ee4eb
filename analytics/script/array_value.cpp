#include "analytics/script/array_value.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "analytics/script/array_command_evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/work_meter.h"
#include "platform/foundation/text.h"

namespace {

bool IsLengthKey(const APMPValueRef& key) {
  return key->isString() &&
         static_cast<const APMPStringValue&>(*key).value() == APMPLengthPropertyName;
}

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
  return std::max(low, std::min(value, high));
}

}  // namespace

int64_t APMPArrayIndexFromKey(const APMPValueRef& key) {
  if (!APMPIsZeroOrPositiveInteger(key)) return -1;
  APMPError error;
  double number = key->doubleValueOrError(&error);
  // Far beyond any possible length; still an index, not a name.
  if (number >= 9.0e15) return static_cast<int64_t>(9.0e15);
  return static_cast<int64_t>(number);
}

APMPArrayValue::~APMPArrayValue() { APMPReleaseAllLater(elements_); }

const APMPValueRef& APMPArrayValue::emptyValue() {
  static const auto* instance = new APMPValueRef(std::make_shared<APMPRuntimeValue>());
  return *instance;
}

APMPValueRef APMPArrayValue::elementAtIndex(size_t index) const {
  if (index >= elements_.size() || elements_[index]->isHole()) return APMPUndefined();
  return elements_[index];
}

APMPValueList APMPArrayValue::allElements() const {
  APMPValueList result;
  result.reserve(elements_.size());
  for (const auto& element : elements_) {
    result.push_back(element->isHole() ? APMPUndefined() : element);
  }
  return result;
}

APMPValueRef APMPArrayValue::valueForProperty(const APMPValueRef& key, APMPError* error) const {
  if (IsLengthKey(key)) return APMPNumberValue::numberWithDouble(static_cast<double>(count()));
  int64_t index = APMPArrayIndexFromKey(key);
  if (index >= 0) return elementAtIndex(static_cast<size_t>(index));
  std::u16string name = key->stringValueOrError(error);
  if (*error) return APMPUndefined();
  return propertyMap_.valueForName(name);
}

bool APMPArrayValue::reserveGrowth(size_t count, const APMPScopeRef& scope, APMPError* error) {
  if (count <= elements_.size()) return true;
  const size_t added = count - elements_.size();
  if (!APMPReserveMemory(static_cast<int64_t>(added) * APMPMemoryPerElement, error)) return false;
  return !scope || APMPChargeWork(scope, added, APMPElementsPerInstruction, error);
}

void APMPArrayValue::setValue(APMPValueRef value, const APMPValueRef& key,
                              const APMPScopeRef& scope, APMPError* error) {
  if (!value) value = APMPUndefined();
  if (IsLengthKey(key)) {
    if (!APMPIsZeroOrPositiveInteger(value)) {
      APMPSetError(error, APMPErrorCodeInvalidArrayLength);
      return;
    }
    APMPError ignored;
    double length = value->doubleValueOrError(&ignored);
    if (length > static_cast<double>(APMPMaximumArrayLength)) {
      APMPSetError(error, APMPErrorCodeInvalidArrayLength);
      return;
    }
    if (!reserveGrowth(static_cast<size_t>(length), scope, error)) return;
    if (!setLength(static_cast<size_t>(length))) {
      APMPSetError(error, APMPErrorCodeInvalidArrayLength);
    }
    return;
  }
  int64_t index = APMPArrayIndexFromKey(key);
  if (index >= 0) {
    if (static_cast<uint64_t>(index) >= APMPMaximumArrayLength) {
      APMPSetError(error, APMPErrorCodeResourceLimit);
      return;
    }
    size_t position = static_cast<size_t>(index);
    if (position >= elements_.size()) {
      if (!reserveGrowth(position + 1, scope, error)) return;
      elements_.resize(position + 1, emptyValue());
      accountElements();
    }
    APMPValueRef old = std::move(elements_[position]);
    elements_[position] = std::move(value);
    APMPReleaseLater(std::move(old));
    return;
  }
  std::u16string name = key->stringValueOrError(error);
  if (*error) return;
  propertyMap_.setValue(std::move(value), name);
}

void APMPArrayValue::removeValueForProperty(const APMPValueRef& key, APMPError* error) {
  int64_t index = APMPArrayIndexFromKey(key);
  if (index >= 0) {
    if (static_cast<uint64_t>(index) < elements_.size()) {
      APMPValueRef old = std::move(elements_[static_cast<size_t>(index)]);
      elements_[static_cast<size_t>(index)] = emptyValue();
      APMPReleaseLater(std::move(old));
    }
    return;
  }
  std::u16string name = key->stringValueOrError(error);
  if (*error) return;
  propertyMap_.removeValueForName(name);
}

bool APMPArrayValue::hasProperty(const APMPValueRef& key, APMPError* error) const {
  int64_t index = APMPArrayIndexFromKey(key);
  if (index >= 0) {
    return static_cast<uint64_t>(index) < elements_.size() &&
           !elements_[static_cast<size_t>(index)]->isHole();
  }
  std::u16string name = key->stringValueOrError(error);
  if (*error) return false;
  return propertyMap_.hasName(name);
}

APMPValueList APMPArrayValue::allPropertyNames() const {
  APMPValueList names;
  for (const auto& entry : propertyMap_.entries()) {
    names.push_back(APMPStringValue::stringWithString(entry.first));
  }
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (!elements_[i]->isHole()) {
      names.push_back(APMPStringValue::stringWithString(fnd::ToUTF16(std::to_string(i))));
    }
  }
  return names;
}

std::u16string APMPArrayValue::stringValueOrError(APMPError* error) const {
  return joinAtDepth(u",", 0, error);
}

double APMPArrayValue::doubleValueOrError(APMPError* error) const {
  std::u16string text = stringValueOrError(error);
  if (*error) return std::nan("");
  return APMPStringToNumber(text);
}

bool APMPArrayValue::booleanValueOrError(APMPError*) const { return true; }

std::u16string APMPArrayValue::stringValueWithSeparator(std::u16string_view separator,
                                                        APMPError* error) const {
  return joinAtDepth(separator, 0, error);
}

std::u16string APMPArrayValue::joinAtDepth(std::u16string_view separator, int depth,
                                           APMPError* error) const {
  if (joining_) return std::u16string();  // A cycle: the inner occurrence is empty.
  if (depth >= APMPMaximumNestingDepth) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return std::u16string();
  }
  // Converting elements runs no script code, so the elements are read in place.
  joining_ = true;
  std::u16string text;
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) text += separator;
    const APMPValueRef& element = elements_[i];
    if (element->isHole() || element->isUndefined() || element->isNull()) continue;
    if (element->isArray()) {
      text += static_cast<const APMPArrayValue&>(*element).joinAtDepth(u",", depth + 1, error);
    } else {
      text += element->stringValueOrError(error);
    }
    if (!*error && text.size() > APMPMaximumStringLength) {
      APMPSetError(error, APMPErrorCodeResourceLimit);
    }
    if (*error) {
      text.clear();
      break;
    }
  }
  joining_ = false;
  return text;
}

APMPValueRef APMPArrayValue::applyWithName(const std::u16string& name,
                                           const APMPValueList& arguments,
                                           const APMPScopeRef& scope, APMPError* error) {
  auto self = std::static_pointer_cast<APMPArrayValue>(shared_from_this());
  if (propertyMap_.hasName(name)) {
    auto function = APMPCast<APMPFunctionValue>(propertyMap_.valueForName(name));
    if (!function) {
      APMPSetError(error, APMPErrorCodeUnknownMethod);
      return APMPUndefined();
    }
    return function->invokeWithArguments(arguments, scope, error);
  }
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, self, arguments, scope,
                                                                     error);
}

bool APMPArrayValue::setLength(size_t length) {
  if (length > APMPMaximumArrayLength) return false;
  if (length < elements_.size()) {
    APMPValueList tail(std::make_move_iterator(elements_.begin() + static_cast<ptrdiff_t>(length)),
                       std::make_move_iterator(elements_.end()));
    elements_.resize(length);
    APMPReleaseAllLater(tail);
  } else {
    if (!APMPReserveMemory(static_cast<int64_t>(length - elements_.size()) * APMPMemoryPerElement,
                           nullptr)) {
      return false;
    }
    elements_.resize(length, emptyValue());
  }
  accountElements();
  return true;
}

std::shared_ptr<APMPArrayValue> APMPArrayValue::subarrayWithRange(int64_t location,
                                                                  int64_t length) const {
  int64_t n = static_cast<int64_t>(elements_.size());
  int64_t start = Clamp(location, 0, n);
  int64_t size = Clamp(length, 0, n - start);
  return std::make_shared<APMPArrayValue>(
      APMPValueList(elements_.begin() + start, elements_.begin() + start + size));
}

APMPValueList APMPArrayValue::spliceFrom(int64_t start, int64_t deleteCount,
                                         const APMPValueList& values, APMPError* error) {
  int64_t n = static_cast<int64_t>(elements_.size());
  int64_t first = Clamp(start, 0, n);
  int64_t removed = Clamp(deleteCount, 0, n - first);
  if (static_cast<uint64_t>(n - removed) + values.size() > APMPMaximumArrayLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return {};
  }
  if (!reserveGrowth(static_cast<size_t>(n - removed) + values.size(), nullptr, error)) return {};
  auto begin = elements_.begin() + first;
  APMPValueList result(begin, begin + removed);
  elements_.erase(begin, begin + removed);
  elements_.insert(elements_.begin() + first, values.begin(), values.end());
  accountElements();
  return result;
}

void APMPArrayValue::concat(const APMPValueRef& value, APMPError* error) {
  if (value->isControl()) {
    APMPSetError(error, APMPErrorCodeArgumentKind);
    return;
  }
  if (value->isArray()) {
    // Copy first: the argument may be this array.
    APMPValueList added = static_cast<const APMPArrayValue&>(*value).elements_;
    if (elements_.size() + added.size() > APMPMaximumArrayLength) {
      APMPSetError(error, APMPErrorCodeResourceLimit);
      return;
    }
    if (!reserveGrowth(elements_.size() + added.size(), nullptr, error)) return;
    elements_.insert(elements_.end(), added.begin(), added.end());
    accountElements();
    return;
  }
  appendElements({value}, error);
}

void APMPArrayValue::reverse() { std::reverse(elements_.begin(), elements_.end()); }

APMPValueRef APMPArrayValue::removeFirstElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValueRef first = std::move(elements_.front());
  elements_.erase(elements_.begin());
  accountElements();
  return first->isHole() ? APMPUndefined() : first;
}

APMPValueRef APMPArrayValue::removeLastElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValueRef last = std::move(elements_.back());
  elements_.pop_back();
  accountElements();
  return last->isHole() ? APMPUndefined() : last;
}

size_t APMPArrayValue::appendElements(const APMPValueList& values, APMPError* error) {
  if (elements_.size() + values.size() > APMPMaximumArrayLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return elements_.size();
  }
  if (!reserveGrowth(elements_.size() + values.size(), nullptr, error)) return elements_.size();
  elements_.insert(elements_.end(), values.begin(), values.end());
  accountElements();
  return elements_.size();
}

size_t APMPArrayValue::prependElements(const APMPValueList& values, APMPError* error) {
  if (elements_.size() + values.size() > APMPMaximumArrayLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return elements_.size();
  }
  if (!reserveGrowth(elements_.size() + values.size(), nullptr, error)) return elements_.size();
  elements_.insert(elements_.begin(), values.begin(), values.end());
  accountElements();
  return elements_.size();
}

int64_t APMPArrayValue::indexOfValue(const APMPValueRef& value, int64_t fromIndex,
                                     APMPError* error) const {
  // Strict equality runs no script code, so the elements cannot change under the search: it
  // reads them in place.
  for (size_t i = static_cast<size_t>(std::max<int64_t>(fromIndex, 0)); i < elements_.size(); ++i) {
    if (elements_[i]->isHole()) continue;
    bool equal = APMPStrictEqualityCompare(elements_[i], value, error);
    if (*error) return -1;
    if (equal) return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t APMPArrayValue::lastIndexOfValue(const APMPValueRef& value, int64_t fromIndex,
                                         APMPError* error) const {
  if (fromIndex < 0 || elements_.empty()) return -1;
  int64_t start = std::min<int64_t>(fromIndex, static_cast<int64_t>(elements_.size()) - 1);
  for (int64_t i = start; i >= 0; --i) {
    const APMPValueRef& element = elements_[static_cast<size_t>(i)];
    if (element->isHole()) continue;
    bool equal = APMPStrictEqualityCompare(element, value, error);
    if (*error) return -1;
    if (equal) return i;
  }
  return -1;
}

namespace {

// One element being sorted: its value, its rank (0 a defined value, 1 undefined, 2 a hole) and,
// without a compare function, its string form in canonical decomposition, made once.
struct SortItem {
  APMPValueRef value;
  int rank = 0;
  std::u16string key;
};

}  // namespace

void APMPArrayValue::sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function,
                                            const APMPScopeRef& scope, APMPError* error) {
  auto self = shared_from_this();
  APMPError firstError;
  // Every comparison is charged as one element of work, and a comparison of string forms also
  // by the code units it reads; a call of the compare function counts its own instructions.
  std::optional<APMPWorkMeter> comparisons;
  std::optional<APMPWorkMeter> units;
  if (scope) {
    comparisons.emplace(scope, APMPElementsPerInstruction);
    units.emplace(scope, APMPCodeUnitsPerInstruction);
  }
  std::vector<SortItem> items(elements_.size());
  for (size_t i = 0; i < elements_.size(); ++i) {
    const APMPValueRef& element = elements_[i];
    items[i].value = element;
    items[i].rank = element->isHole() ? 2 : (element->isUndefined() ? 1 : 0);
    if (function || items[i].rank != 0 || firstError) continue;
    // The string form is charged by its length (an array's joined text like elements, as for
    // join); the first failure, a conversion's or the limit's, stops converting.
    if (element->isArray() && scope &&
        !APMPChargeWork(scope, static_cast<const APMPArrayValue&>(*element).count(),
                        APMPElementsPerInstruction, &firstError)) {
      continue;
    }
    std::u16string text = element->stringValueOrError(&firstError);
    if (firstError) continue;
    if (scope && !APMPChargeWork(
                     scope, text.size(),
                     element->isArray() ? APMPElementsPerInstruction : APMPCodeUnitsPerInstruction,
                     &firstError)) {
      continue;
    }
    items[i].key = fnd::NormalizeNFD(text);
  }
  // -1 when a goes first, 1 when b goes first, 0 when equal.
  auto compare = [&](const SortItem& a, const SortItem& b) -> int {
    if (firstError) return 0;
    if (a.rank != 0 || b.rank != 0) return a.rank == b.rank ? 0 : (a.rank < b.rank ? -1 : 1);
    if (comparisons && !comparisons->add(1, &firstError)) return 0;
    if (!function) {
      // Code-unit order of the canonical decompositions.
      const size_t common = std::min(a.key.size(), b.key.size());
      size_t i = 0;
      while (i < common && a.key[i] == b.key[i]) ++i;
      if (units && !units->add(i + 1, &firstError)) return 0;
      if (i < common) return a.key[i] < b.key[i] ? -1 : 1;
      return a.key.size() == b.key.size() ? 0 : (a.key.size() < b.key.size() ? -1 : 1);
    }
    APMPError e;
    APMPValueRef r = function->invokeWithArguments({a.value, b.value}, scope, &e);
    double d = e ? 0 : r->doubleValueOrError(&e);
    if (e) {
      firstError = std::move(e);
      return 0;
    }
    return (std::isnan(d) || d == 0) ? 0 : (d < 0 ? -1 : 1);
  };
  // A merge sort on a copy: it stays within bounds whatever the compare function answers, and
  // the compare function may change the receiver without disturbing the sort.
  std::vector<SortItem> buffer(items.size());
  for (size_t width = 1; width < items.size(); width *= 2) {
    for (size_t left = 0; left < items.size(); left += 2 * width) {
      size_t mid = std::min(left + width, items.size());
      size_t right = std::min(left + 2 * width, items.size());
      size_t i = left, j = mid, k = left;
      while (i < mid && j < right) {
        buffer[k++] = std::move(compare(items[j], items[i]) < 0 ? items[j++] : items[i++]);
      }
      while (i < mid) buffer[k++] = std::move(items[i++]);
      while (j < right) buffer[k++] = std::move(items[j++]);
    }
    items.swap(buffer);
  }
  APMPValueList sorted;
  sorted.reserve(items.size());
  for (auto& item : items) sorted.push_back(std::move(item.value));
  elements_ = std::move(sorted);
  accountElements();
  if (firstError) *error = std::move(firstError);
}

void APMPArrayValue::mark(APMPMarker& marker) {
  for (const auto& entry : propertyMap_.entries()) marker.markValue(entry.second);
  for (const auto& element : elements_) marker.markValue(element);
}

void APMPArrayValue::sweep() {
  if (marked_) {
    marked_ = false;
    return;
  }
  propertyMap_.clear();
  APMPReleaseAllLater(elements_);
  accountElements();
}

bool APMPArrayValue::isEqualAtDepth(const APMPRuntimeValue& other, int depth) const {
  if (this == &other) return true;
  if (!other.isArray() || depth >= APMPMaximumNestingDepth) return false;
  const auto& o = static_cast<const APMPArrayValue&>(other);
  if (o.elements_.size() != elements_.size()) return false;
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (!EqualAtDepth(*elements_[i], *o.elements_[i], depth + 1)) return false;
  }
  return true;
}
