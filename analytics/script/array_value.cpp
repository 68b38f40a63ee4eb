#include "analytics/script/array_value.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "analytics/script/array_command_evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/runtime_limits.h"
#include "platform/foundation/text.h"

namespace {

// Arrays being joined on this thread, to cut cycles.
thread_local std::unordered_set<const APMPArrayValue*> joining;

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

void APMPArrayValue::setValue(APMPValueRef value, const APMPValueRef& key, APMPError* error) {
  if (!value) value = APMPUndefined();
  if (IsLengthKey(key)) {
    if (!APMPIsZeroOrPositiveInteger(value)) {
      APMPSetError(error, APMPErrorCodeInvalidArrayLength);
      return;
    }
    APMPError ignored;
    double length = value->doubleValueOrError(&ignored);
    if (length > static_cast<double>(APMPMaximumArrayLength) ||
        !setLength(static_cast<size_t>(length))) {
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
    if (position >= elements_.size()) elements_.resize(position + 1, emptyValue());
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
  if (joining.count(this)) return std::u16string();  // A cycle: the inner occurrence is empty.
  if (depth >= APMPMaximumNestingDepth) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return std::u16string();
  }
  joining.insert(this);
  std::u16string text;
  // Elements may run script code (none do today), so iterate over a copy.
  APMPValueList elements = elements_;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) text += separator;
    const APMPValueRef& element = elements[i];
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
  joining.erase(this);
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
    elements_.resize(length, emptyValue());
  }
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
  auto begin = elements_.begin() + first;
  APMPValueList result(begin, begin + removed);
  elements_.erase(begin, begin + removed);
  elements_.insert(elements_.begin() + first, values.begin(), values.end());
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
    elements_.insert(elements_.end(), added.begin(), added.end());
    return;
  }
  appendElements({value}, error);
}

void APMPArrayValue::reverse() { std::reverse(elements_.begin(), elements_.end()); }

APMPValueRef APMPArrayValue::removeFirstElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValueRef first = std::move(elements_.front());
  elements_.erase(elements_.begin());
  return first->isHole() ? APMPUndefined() : first;
}

APMPValueRef APMPArrayValue::removeLastElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValueRef last = std::move(elements_.back());
  elements_.pop_back();
  return last->isHole() ? APMPUndefined() : last;
}

size_t APMPArrayValue::appendElements(const APMPValueList& values, APMPError* error) {
  if (elements_.size() + values.size() > APMPMaximumArrayLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return elements_.size();
  }
  elements_.insert(elements_.end(), values.begin(), values.end());
  return elements_.size();
}

size_t APMPArrayValue::prependElements(const APMPValueList& values, APMPError* error) {
  if (elements_.size() + values.size() > APMPMaximumArrayLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return elements_.size();
  }
  elements_.insert(elements_.begin(), values.begin(), values.end());
  return elements_.size();
}

int64_t APMPArrayValue::indexOfValue(const APMPValueRef& value, int64_t fromIndex,
                                     APMPError* error) const {
  APMPValueList elements = elements_;
  for (size_t i = static_cast<size_t>(std::max<int64_t>(fromIndex, 0)); i < elements.size(); ++i) {
    if (elements[i]->isHole()) continue;
    bool equal = APMPStrictEqualityCompare(elements[i], value, error);
    if (*error) return -1;
    if (equal) return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t APMPArrayValue::lastIndexOfValue(const APMPValueRef& value, int64_t fromIndex,
                                         APMPError* error) const {
  APMPValueList elements = elements_;
  if (fromIndex < 0 || elements.empty()) return -1;
  int64_t start = std::min<int64_t>(fromIndex, static_cast<int64_t>(elements.size()) - 1);
  for (int64_t i = start; i >= 0; --i) {
    if (elements[static_cast<size_t>(i)]->isHole()) continue;
    bool equal = APMPStrictEqualityCompare(elements[static_cast<size_t>(i)], value, error);
    if (*error) return -1;
    if (equal) return i;
  }
  return -1;
}

void APMPArrayValue::sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function,
                                            const APMPScopeRef& scope, APMPError* error) {
  auto self = shared_from_this();
  APMPError firstError;
  // -1 when a goes first, 1 when b goes first, 0 when equal.
  auto compare = [&](const APMPValueRef& a, const APMPValueRef& b) -> int {
    if (firstError) return 0;
    if (a->isHole() || b->isHole()) return a->isHole() == b->isHole() ? 0 : (a->isHole() ? 1 : -1);
    if (a->isUndefined() || b->isUndefined()) {
      return a->isUndefined() == b->isUndefined() ? 0 : (a->isUndefined() ? 1 : -1);
    }
    APMPError e;
    int result = 0;
    if (function) {
      APMPValueRef r = function->invokeWithArguments({a, b}, scope, &e);
      double d = e ? 0 : r->doubleValueOrError(&e);
      result = (e || std::isnan(d) || d == 0) ? 0 : (d < 0 ? -1 : 1);
    } else {
      std::u16string sa = a->stringValueOrError(&e);
      std::u16string sb = e ? std::u16string() : b->stringValueOrError(&e);
      if (!e) result = fnd::CanonicalCompare(fnd::FromUTF16(sa), fnd::FromUTF16(sb));
    }
    if (e) {
      firstError = std::move(e);
      return 0;
    }
    return result;
  };
  // A merge sort on a copy: it stays within bounds whatever the compare function answers, and
  // the compare function may change the receiver without disturbing the sort.
  APMPValueList items = elements_;
  APMPValueList buffer(items.size());
  for (size_t width = 1; width < items.size(); width *= 2) {
    for (size_t left = 0; left < items.size(); left += 2 * width) {
      size_t mid = std::min(left + width, items.size());
      size_t right = std::min(left + 2 * width, items.size());
      size_t i = left, j = mid, k = left;
      while (i < mid && j < right) {
        buffer[k++] = compare(items[j], items[i]) < 0 ? items[j++] : items[i++];
      }
      while (i < mid) buffer[k++] = items[i++];
      while (j < right) buffer[k++] = items[j++];
    }
    items.swap(buffer);
  }
  elements_ = std::move(items);
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
