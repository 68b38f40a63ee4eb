#include "analytics/script/runtime_value.h"

#include <locale.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "analytics/script/object_manager.h"
#include "analytics/script/pool_allocator.h"
#include "analytics/script/release_queue.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/string_command_evaluator.h"
#include "platform/foundation/text.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool IsTrimmed(char16_t unit) {
  return fnd::IsInClass(unit, fnd::CharacterClass::kWhitespaceAndNewline);
}

// A decimal number: [+-] (digits [. digits] | . digits) [(e|E) [+-] digits].
bool IsDecimalNumberText(std::string_view text) {
  size_t i = 0;
  auto digits = [&] {
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - start;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t mantissa = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

locale_t CLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

// Base.

std::u16string APMPRuntimeValue::stringValueOrError(APMPError* error) const {
  APMPSetError(error, APMPErrorCodeNoStringValue);
  return std::u16string();
}

double APMPRuntimeValue::doubleValueOrError(APMPError* error) const {
  APMPSetError(error, APMPErrorCodeNoNumberValue);
  return kNaN;
}

bool APMPRuntimeValue::booleanValueOrError(APMPError* error) const {
  APMPSetError(error, APMPErrorCodeNoBooleanValue);
  return false;
}

APMPValueRef APMPRuntimeValue::applyWithName(const std::u16string& name, const APMPValueList&,
                                             const APMPScopeRef&, APMPError* error) {
  if (name == APMPToStringMethodName) {
    std::u16string text = stringValueOrError(error);
    if (*error) return APMPUndefined();
    return APMPStringValue::stringWithString(std::move(text));
  }
  APMPSetError(error, APMPErrorCodeUnknownMethod);
  return APMPUndefined();
}

bool APMPRuntimeValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  return this == &other;
}

void APMPRuntimeValue::mark(APMPMarker&) {}

// Undefined and null.

const std::shared_ptr<APMPUndefinedValue>& APMPUndefinedValue::sharedInstance() {
  static const auto* instance =
      new std::shared_ptr<APMPUndefinedValue>(std::make_shared<APMPUndefinedValue>());
  return *instance;
}

std::u16string APMPUndefinedValue::stringValueOrError(APMPError*) const {
  return std::u16string(APMPTypeNameUndefined);
}
double APMPUndefinedValue::doubleValueOrError(APMPError*) const { return kNaN; }
bool APMPUndefinedValue::booleanValueOrError(APMPError*) const { return false; }

APMPValueRef APMPUndefinedValue::applyWithName(const std::u16string&, const APMPValueList&,
                                               const APMPScopeRef&, APMPError* error) {
  APMPSetError(error, APMPErrorCodeMethodCallOnNull);
  return APMPUndefined();
}

bool APMPUndefinedValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  return other.isUndefined();
}

const std::shared_ptr<APMPNullValue>& APMPNullValue::sharedInstance() {
  static const auto* instance =
      new std::shared_ptr<APMPNullValue>(std::make_shared<APMPNullValue>());
  return *instance;
}

std::u16string APMPNullValue::stringValueOrError(APMPError*) const { return u"null"; }
double APMPNullValue::doubleValueOrError(APMPError*) const { return 0; }
bool APMPNullValue::booleanValueOrError(APMPError*) const { return false; }

APMPValueRef APMPNullValue::applyWithName(const std::u16string&, const APMPValueList&,
                                          const APMPScopeRef&, APMPError* error) {
  APMPSetError(error, APMPErrorCodeMethodCallOnNull);
  return APMPUndefined();
}

bool APMPNullValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  return other.isNull();
}

const APMPValueRef& APMPUndefined() {
  static const auto* instance = new APMPValueRef(APMPUndefinedValue::sharedInstance());
  return *instance;
}

const APMPValueRef& APMPNull() {
  static const auto* instance = new APMPValueRef(APMPNullValue::sharedInstance());
  return *instance;
}

// Booleans.

const APMPValueRef& APMPBooleanValue::booleanValueWithBool(bool value) {
  static const auto* yes = new APMPValueRef(std::make_shared<APMPBooleanValue>(true));
  static const auto* no = new APMPValueRef(std::make_shared<APMPBooleanValue>(false));
  return value ? *yes : *no;
}

std::u16string APMPBooleanValue::stringValueOrError(APMPError*) const {
  return value_ ? u"true" : u"false";
}
double APMPBooleanValue::doubleValueOrError(APMPError*) const { return value_ ? 1 : 0; }
bool APMPBooleanValue::booleanValueOrError(APMPError*) const { return value_; }

bool APMPBooleanValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  return other.isBoolean() && static_cast<const APMPBooleanValue&>(other).value_ == value_;
}

// Numbers.

std::u16string APMPNumberToString(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  double magnitude = std::fabs(value);
  std::u16string text;
  if (magnitude >= 1e21 || magnitude < 1e-6) {
    std::optional<std::string> formatted = fnd::FormatScientificShortest(value);
    if (!formatted) return u"NaN";
    std::u16string raw = fnd::ToUTF16(*formatted);
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == u'E') {
        if (i + 1 < raw.size() && raw[i + 1] == u'-') {
          text += u"e-";
          ++i;
        } else {
          text += u"e+";
        }
      } else {
        text += raw[i];
      }
    }
  } else {
    std::optional<std::string> formatted = fnd::FormatDecimal17(value);
    if (!formatted) return u"NaN";
    text = fnd::ToUTF16(*formatted);
  }
  std::u16string result;
  result.reserve(text.size());
  for (char16_t unit : text) {
    if (unit != u',') result += unit;
  }
  return result;
}

const std::shared_ptr<APMPNumberValue>* APMPNumberValue::SharedNumbers() {
  static const auto* numbers = [] {
    auto* made = new std::shared_ptr<APMPNumberValue>[kSharedNumbers];
    for (size_t i = 0; i < kSharedNumbers; ++i) {
      made[i] = std::make_shared<APMPNumberValue>(static_cast<double>(i));
    }
    return made;
  }();
  return numbers;
}

std::u16string APMPNumberValue::stringValueOrError(APMPError*) const {
  return APMPNumberToString(value_);
}
double APMPNumberValue::doubleValueOrError(APMPError*) const { return value_; }
bool APMPNumberValue::booleanValueOrError(APMPError*) const {
  return !(value_ == 0 || std::isnan(value_));
}

bool APMPNumberValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  if (!other.isNumber()) return false;
  double o = static_cast<const APMPNumberValue&>(other).value_;
  return o == value_ || (std::isnan(o) && std::isnan(value_));
}

// Strings.

double APMPStringToNumber(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsTrimmed(text[begin])) ++begin;
  while (end > begin && IsTrimmed(text[end - 1])) --end;
  std::u16string_view trimmed = text.substr(begin, end - begin);
  if (trimmed.empty()) return 0;
  if (trimmed == u"NaN") return kNaN;
  if (trimmed == u"Infinity") return std::numeric_limits<double>::infinity();
  if (trimmed == u"-Infinity") return -std::numeric_limits<double>::infinity();
  std::string ascii;
  ascii.reserve(trimmed.size());
  for (char16_t unit : trimmed) {
    if (unit > 0x7F) return kNaN;
    ascii += static_cast<char>(unit);
  }
  if (!IsDecimalNumberText(ascii)) return kNaN;
  return strtod_l(ascii.c_str(), nullptr, CLocale());
}

std::shared_ptr<APMPStringValue> APMPStringValue::stringWithUTF8(std::string_view value) {
  return std::make_shared<APMPStringValue>(fnd::ToUTF16(value));
}

std::string APMPStringValue::utf8Value() const { return fnd::FromUTF16(value_); }

std::u16string APMPStringValue::stringValueOrError(APMPError*) const { return value_; }
double APMPStringValue::doubleValueOrError(APMPError*) const { return APMPStringToNumber(value_); }
bool APMPStringValue::booleanValueOrError(APMPError*) const { return !value_.empty(); }

APMPValueRef APMPStringValue::applyWithName(const std::u16string& name,
                                            const APMPValueList& arguments,
                                            const APMPScopeRef& scope, APMPError* error) {
  return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, value_, arguments,
                                                                      scope, error);
}

bool APMPStringValue::isEqualAtDepth(const APMPRuntimeValue& other, int) const {
  return other.isString() && static_cast<const APMPStringValue&>(other).value_ == value_;
}

APMPValueRef APMPMakeString(std::u16string text, APMPError* error) {
  if (text.size() > APMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return APMPUndefined();
  }
  return APMPStringValue::stringWithString(std::move(text));
}

// Statements.

APMPStatementValue::~APMPStatementValue() { APMPReleaseAllLater(arguments_); }

void APMPStatementValue::mark(APMPMarker&) {}

bool APMPStatementValue::isEqualAtDepth(const APMPRuntimeValue& other, int depth) const {
  if (this == &other) return true;
  if (!other.isStatement() || depth >= APMPMaximumNestingDepth) return false;
  const auto& o = static_cast<const APMPStatementValue&>(other);
  if (o.functionName_ != functionName_ || o.arguments_.size() != arguments_.size()) return false;
  for (size_t i = 0; i < arguments_.size(); ++i) {
    if (!EqualAtDepth(*arguments_[i], *o.arguments_[i], depth + 1)) return false;
  }
  return true;
}

// Control values.

APMPControlValue::APMPControlValue(Type type, APMPValueRef data)
    : APMPRuntimeValue(kKind), type_(type), data_(data ? std::move(data) : APMPUndefined()) {}

const APMPValueRef& APMPControlValue::breakValue() {
  static const auto* instance =
      new APMPValueRef(std::make_shared<APMPControlValue>(Type::kBreak, nullptr));
  return *instance;
}

const APMPValueRef& APMPControlValue::continueValue() {
  static const auto* instance =
      new APMPValueRef(std::make_shared<APMPControlValue>(Type::kContinue, nullptr));
  return *instance;
}

std::shared_ptr<APMPControlValue> APMPControlValue::returnValueWithData(APMPValueRef data) {
  return std::allocate_shared<APMPControlValue>(APMPPoolAllocator<APMPControlValue>(),
                                                Type::kReturn, std::move(data));
}

std::u16string_view APMPControlValue::typeName() const {
  switch (type_) {
    case Type::kBreak:
      return APMPControlTypeBreak;
    case Type::kContinue:
      return APMPControlTypeContinue;
    case Type::kReturn:
      return APMPControlTypeReturn;
  }
  return APMPControlTypeReturn;
}

void APMPControlValue::mark(APMPMarker& marker) { marker.markValue(data_); }

bool APMPControlValue::isEqualAtDepth(const APMPRuntimeValue& other, int depth) const {
  if (this == &other) return true;
  if (!other.isControl() || depth >= APMPMaximumNestingDepth) return false;
  const auto& o = static_cast<const APMPControlValue&>(other);
  return o.type_ == type_ && EqualAtDepth(*data_, *o.data_, depth + 1);
}

// Helpers.

bool APMPNumberEquals(double lhs, double rhs) { return lhs == rhs; }

bool APMPStringEquals(std::u16string_view lhs, std::u16string_view rhs) { return lhs == rhs; }

bool APMPStrictEqualityCompare(const APMPValueRef& lhs, const APMPValueRef& rhs, APMPError* error) {
  if (lhs->kind() != rhs->kind()) return false;
  if (lhs->isNumber() || lhs->isBoolean()) {
    double a = lhs->doubleValueOrError(error);
    if (*error) return false;
    double b = rhs->doubleValueOrError(error);
    if (*error) return false;
    return APMPNumberEquals(a, b);
  }
  if (lhs->isString()) {
    return APMPStringEquals(static_cast<const APMPStringValue&>(*lhs).value(),
                            static_cast<const APMPStringValue&>(*rhs).value());
  }
  return lhs == rhs;
}

bool APMPIsZeroOrPositiveInteger(const APMPValueRef& value) {
  if (!value || !(value->isNumber() || value->isString())) return false;
  APMPError error;
  double number = value->doubleValueOrError(&error);
  if (error || !std::isfinite(number) || number < 0) return false;
  return std::trunc(number) == number;
}

bool APMPIsNonNullObjectOrString(const APMPValueRef& value) {
  return value && (value->isArray() || value->isFunction() || value->isMap() || value->isString());
}

std::u16string_view APMPTypeName(const APMPValueRef& value) {
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kBoolean:
      return APMPTypeNameBoolean;
    case APMPRuntimeValue::Kind::kFunction:
      return APMPTypeNameFunction;
    case APMPRuntimeValue::Kind::kNumber:
      return APMPTypeNameNumber;
    case APMPRuntimeValue::Kind::kString:
      return APMPTypeNameString;
    case APMPRuntimeValue::Kind::kUndefined:
      return APMPTypeNameUndefined;
    default:
      return APMPTypeNameObject;
  }
}
