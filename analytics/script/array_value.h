// APMPArrayValue: a script array. It keeps elements (which may be holes, the shared
// emptyValue()) and named properties side by side. Programs make arrays through the factories of
// APMPObjectManager so that the collector tracks them.
//
// No array grows past APMPMaximumArrayLength elements: a write that would grow it further fails
// with APMPErrorCodeResourceLimit (an explicit "length" beyond it with code 11) and changes
// nothing.
//
// Thread safety: none; used by the script's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analytics/script/memory_account.h"
#include "analytics/script/property_map.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/runtime_value.h"

class APMPFunctionValue;

class APMPArrayValue final : public APMPRuntimeValue {
 public:
  static constexpr Kind kKind = Kind::kArray;
  APMPArrayValue() : APMPRuntimeValue(kKind) { accountElements(); }
  explicit APMPArrayValue(APMPValueList elements)
      : APMPRuntimeValue(kKind), elements_(std::move(elements)) {
    accountElements();
  }
  ~APMPArrayValue() override;

  // The hole: one shared instance of the base class, told apart by identity.
  static const APMPValueRef& emptyValue();

  size_t count() const { return elements_.size(); }
  // The stored elements, holes included.
  const APMPValueList& elements() const { return elements_; }
  // The element at `index` with a hole read as undefined; undefined beyond the end.
  APMPValueRef elementAtIndex(size_t index) const;
  // A copy of the elements with holes replaced by undefined.
  APMPValueList allElements() const;
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  // Property access. A key is used by its string form. Get: "length" as a string value is the
  // count; a zero-or-positive integer key reads that element (undefined for a hole or beyond the
  // end); any other key reads the named property.
  APMPValueRef valueForProperty(const APMPValueRef& key, APMPError* error) const;
  // Set: "length" as a string value needs a zero-or-positive integer value (11 otherwise) and
  // resizes; an integer key writes that index, first growing with holes; any other key sets a
  // named property. Growing first reserves the memory of the new elements (code 18 when they do
  // not fit) and, with a scope, charges them as work on its instruction count; a failure changes
  // nothing.
  void setValue(APMPValueRef value, const APMPValueRef& key, APMPError* error) {
    setValue(std::move(value), key, nullptr, error);
  }
  void setValue(APMPValueRef value, const APMPValueRef& key, const APMPScopeRef& scope,
                APMPError* error);
  // Remove: an integer key within range leaves a hole; any other key removes the named property.
  void removeValueForProperty(const APMPValueRef& key, APMPError* error);
  // Has: an integer key within range that is no hole; otherwise the named property decides.
  bool hasProperty(const APMPValueRef& key, APMPError* error) const;
  // The named properties (as string values), then the decimal index of every non-hole element.
  APMPValueList allPropertyNames() const;

  // "," joins (see stringValueWithSeparator), the number of that text, true.
  std::u16string stringValueOrError(APMPError* error) const override;
  double doubleValueOrError(APMPError* error) const override;
  bool booleanValueOrError(APMPError* error) const override;
  // The string forms of the elements joined with `separator`; holes, undefined and null give
  // empty text. The first failing element stops the join: "" with its error. An array reached
  // again while it is being joined (a cycle) gives empty text; nesting deeper than
  // APMPMaximumNestingDepth fails with APMPErrorCodeResourceLimit.
  std::u16string stringValueWithSeparator(std::u16string_view separator, APMPError* error) const;

  // A named property holding a function is called (another kind fails with 17); every other
  // name goes to the array method table (APMPArrayCommandEvaluator).
  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopeRef& scope, APMPError* error) override;

  // Operations of the array methods.
  // Grows with holes or drops the tail. False (nothing changed) beyond APMPMaximumArrayLength.
  [[nodiscard]] bool setLength(size_t length);
  // Makes room for `count` elements in all: false with code 18 (nothing changed) when the growth
  // does not fit the active memory account, or, with a scope, the instruction budget (each new
  // element is charged as one unit of element work).
  [[nodiscard]] bool reserveGrowth(size_t count, const APMPScopeRef& scope, APMPError* error);
  // A new untracked array of the elements in [location, location + length), both clamped.
  std::shared_ptr<APMPArrayValue> subarrayWithRange(int64_t location, int64_t length) const;
  // Removes `deleteCount` elements at `start` (both clamped like subarrayWithRange) and inserts
  // `values` there; returns the removed elements. Fails with APMPErrorCodeResourceLimit (and
  // changes nothing) when the result would exceed the maximum length.
  APMPValueList spliceFrom(int64_t start, int64_t deleteCount, const APMPValueList& values,
                           APMPError* error);
  // A control value fails with 10; another array's elements are appended (holes kept); any other
  // value is appended as one element.
  void concat(const APMPValueRef& value, APMPError* error);
  void reverse();
  // Undefined when empty; a removed hole also reads as undefined.
  APMPValueRef removeFirstElement();
  APMPValueRef removeLastElement();
  // Return the new count; fail with APMPErrorCodeResourceLimit (count unchanged) past the maximum.
  size_t appendElements(const APMPValueList& values, APMPError* error);
  size_t prependElements(const APMPValueList& values, APMPError* error);
  // Strict-equality searches; -1 when absent. indexOf skips indexes below fromIndex;
  // lastIndexOf skips indexes above it. Holes never match.
  int64_t indexOfValue(const APMPValueRef& value, int64_t fromIndex, APMPError* error) const;
  int64_t lastIndexOfValue(const APMPValueRef& value, int64_t fromIndex, APMPError* error) const;
  // Sorts in place: holes last, then undefined; with `function` (may be null) its result's
  // number decides (< 0 before, > 0 after, 0 and NaN equal), else the canonical string order.
  // The first error makes every later comparison "equal" and is reported at the end. A compare
  // function that changes the array during the sort cannot break it: the sorted copy replaces
  // the elements afterwards.
  void sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function,
                              const APMPScopeRef& scope, APMPError* error);

  void mark(APMPMarker& marker) override;
  void sweep() override;

 protected:
  // Same count, pairwise equal.
  bool isEqualAtDepth(const APMPRuntimeValue& other, int depth) const override;

 private:
  std::u16string joinAtDepth(std::u16string_view separator, int depth, APMPError* error) const;
  // Charges the element list to the memory account.
  void accountElements() {
    ticket_.set(APMPMemoryPerValue + static_cast<int64_t>(elements_.size()) * APMPMemoryPerElement);
  }

  APMPValueList elements_;
  APMPPropertyMap propertyMap_;
  APMPMemoryTicket ticket_;
  mutable bool joining_ = false;  // Being joined: a cycle back to it joins as empty text.
};

// The index a key names when it is a zero-or-positive integer (APMPIsZeroOrPositiveInteger),
// else -1.
int64_t APMPArrayIndexFromKey(const APMPValueRef& key);
