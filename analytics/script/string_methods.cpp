#include "analytics/script/string_methods.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/script/array_value.h"
#include "analytics/script/evaluator.h"
#include "analytics/script/function_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/work_meter.h"
#include "platform/foundation/locale.h"
#include "platform/foundation/regex.h"
#include "platform/foundation/text.h"

namespace {

using Text = std::u16string;

APMPValueRef Number(double value) { return APMPNumberValue::numberWithDouble(value); }
APMPValueRef String(Text text) { return APMPStringValue::stringWithString(std::move(text)); }

// Charges a scan or copy of `units` code units.
bool ChargeText(const APMPScopeRef& scope, size_t units, APMPError* error) {
  return APMPChargeWork(scope, units, APMPCodeUnitsPerInstruction, error);
}

// Charges a plain search for `search` in `text`: a scan of the text, and more for a long search
// text, since a search may compare it again at every position.
bool ChargeSearch(const APMPScopeRef& scope, const Text& text, const Text& search,
                  APMPError* error) {
  const size_t factor = std::max<size_t>(1, search.size() / 32);
  const size_t most = APMPMaximumStringLength * APMPCodeUnitsPerInstruction;
  size_t units = text.size() > most / factor ? most : text.size() * factor;
  if (!ChargeText(scope, units, error)) return false;
  // Text that is not in NFD is searched for canonical equivalents: every code point is looked up
  // in the decomposition tables, which costs like an element.
  if (search.empty() || (fnd::IsNFD(text) && fnd::IsNFD(search))) return true;
  return APMPChargeWork(scope, text.size(), APMPElementsPerInstruction, error);
}

// APMPToInteger of the value's number form. NaN with the error on failure.
double IntegerArgument(const APMPValueRef& value, APMPError* error) {
  double number = value->doubleValueOrError(error);
  if (*error) return std::nan("");
  return APMPToInteger(number);
}

// A whole number (possibly infinite) brought into [low, high].
size_t Clamp(double value, size_t low, size_t high) {
  if (!(value > static_cast<double>(low))) return low;
  if (value >= static_cast<double>(high)) return high;
  return static_cast<size_t>(value);
}

// The first argument's string form, or "undefined" without arguments.
Text SearchText(const APMPValueList& arguments, APMPError* error) {
  if (arguments.empty()) return Text(APMPTypeNameUndefined);
  return arguments[0]->stringValueOrError(error);
}

APMPValueRef CharAt(const Text& text, const APMPValueList& arguments, const APMPScopeRef&,
                    APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 1, error)) return APMPUndefined();
  double position = 0;
  if (!arguments.empty()) {
    position = IntegerArgument(arguments[0], error);
    if (*error) return APMPUndefined();
  }
  if (position < 0 || position >= static_cast<double>(text.size())) return String(Text());
  return String(text.substr(static_cast<size_t>(position), 1));
}

APMPValueRef Concat(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                    APMPError* error) {
  Text result = text;
  for (const auto& argument : arguments) {
    Text part = argument->stringValueOrError(error);
    if (*error) return APMPUndefined();
    if (result.size() + part.size() > APMPMaximumStringLength) {
      APMPSetError(error, APMPErrorCodeResourceLimit);
      return APMPUndefined();
    }
    result += part;
  }
  if (!ChargeText(scope, result.size(), error)) return APMPUndefined();
  return APMPMakeString(std::move(result), error);
}

APMPValueRef HasOwnProperty(const Text& text, const APMPValueList& arguments, const APMPScopeRef&,
                            APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 1, error)) return APMPUndefined();
  Text key = arguments[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  if (key == APMPLengthPropertyName) return APMPBooleanValue::booleanValueWithBool(true);
  double index = arguments[0]->doubleValueOrError(error);
  if (*error) return APMPUndefined();
  bool has = index >= 0 && index == std::trunc(index) && index < static_cast<double>(text.size());
  return APMPBooleanValue::booleanValueWithBool(has);
}

APMPValueRef IndexOf(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                     APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  Text search = SearchText(arguments, error);
  if (*error) return APMPUndefined();
  size_t from = 0;
  if (arguments.size() == 2) {
    double position = IntegerArgument(arguments[1], error);
    if (*error) return APMPUndefined();
    from = Clamp(position, 0, text.size());
  }
  if (search.empty()) return Number(-1);
  if (!ChargeSearch(scope, text, search, error)) return APMPUndefined();
  fnd::TextRange range = fnd::FindString(text, search, {}, from);
  return Number(range.found() ? static_cast<double>(range.location) : -1);
}

APMPValueRef LastIndexOf(const Text& text, const APMPValueList& arguments,
                         const APMPScopeRef& scope, APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  Text search = SearchText(arguments, error);
  if (*error) return APMPUndefined();
  double position = INFINITY;
  if (arguments.size() == 2) {
    double number = arguments[1]->doubleValueOrError(error);
    if (*error) return APMPUndefined();
    if (!std::isnan(number)) position = APMPToInteger(number);
  }
  if (search.empty()) return Number(-1);
  const size_t p = Clamp(position, 0, text.size());
  // An occurrence must start at or before p, so it lies within the first p + |search| units.
  const size_t window = std::min(text.size(), p + search.size());
  if (!ChargeSearch(scope, text, search, error)) return APMPUndefined();
  fnd::FindOptions options;
  options.backwards = true;
  fnd::TextRange range = fnd::FindString(text, search, options, 0, window);
  return Number(range.found() ? static_cast<double>(range.location) : -1);
}

// Compiled patterns of this thread, most recently used first: a program that matches in a loop
// compiles its pattern once. At most kCachedPatterns patterns and kCachedPatternUnits code units
// of pattern text are kept; a longer pattern is compiled for each call.
constexpr size_t kCachedPatterns = 32;
constexpr size_t kCachedPatternUnits = 64 * 1024;

struct CachedPattern {
  Text pattern;
  std::shared_ptr<const fnd::Regex> regex;
};

// The compiled pattern, or null with the regular-expression engine's error.
std::shared_ptr<const fnd::Regex> CompiledPattern(const Text& pattern, APMPError* error) {
  thread_local std::vector<CachedPattern> cache;
  thread_local size_t cachedUnits = 0;
  for (size_t i = 0; i < cache.size(); ++i) {
    if (cache[i].pattern == pattern) {
      std::rotate(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(i),
                  cache.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return cache.front().regex;
    }
  }
  fnd::Error failure;
  std::optional<fnd::Regex> regex = fnd::Regex::Compile(fnd::FromUTF16(pattern), 0, &failure);
  if (!regex) {
    *error = std::move(failure);
    return nullptr;
  }
  auto compiled = std::make_shared<const fnd::Regex>(std::move(*regex));
  if (pattern.size() <= kCachedPatternUnits) {
    while (!cache.empty() && (cache.size() >= kCachedPatterns ||
                              cachedUnits + pattern.size() > kCachedPatternUnits)) {
      cachedUnits -= cache.back().pattern.size();
      cache.pop_back();
    }
    cache.insert(cache.begin(), CachedPattern{pattern, compiled});
    cachedUnits += pattern.size();
  }
  return compiled;
}

// Finds the first match of a pattern (no options) in the text. The engine's steps are charged as
// it takes them (APMPInstructionsPerRegexStep each), so a backtracking pattern stops with code 18
// once the budget is spent. nullopt with the engine's error when the pattern does not compile or
// the match runs past its own work limit; a result without groups when there is no match.
std::optional<fnd::RegexMatch> FirstMatch(const Text& pattern, const Text& text,
                                          const APMPScopeRef& scope, APMPError* error) {
  std::shared_ptr<const fnd::Regex> regex = CompiledPattern(pattern, error);
  if (!regex) return std::nullopt;
  APMPError chargeError;
  int64_t charged = 0;
  fnd::Regex::Progress progress = [&](int64_t steps) {
    const int64_t instructions = (steps - charged) * APMPInstructionsPerRegexStep;
    charged = steps;
    return APMPChargeInstructions(scope, instructions, &chargeError);
  };
  fnd::Error failure;
  std::optional<fnd::RegexMatch> match =
      regex->firstMatch(std::u16string_view(text), 0, &failure, progress);
  if (chargeError) {
    *error = std::move(chargeError);
    return std::nullopt;
  }
  if (match) return match;
  if (!failure.domain().empty()) {
    *error = std::move(failure);
    return std::nullopt;
  }
  return fnd::RegexMatch{};
}

APMPValueRef Match(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                   APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 1, error)) return APMPUndefined();
  Text pattern;
  if (!arguments.empty()) {
    pattern = arguments[0]->stringValueOrError(error);
    if (*error) return APMPUndefined();
  }
  if (pattern.empty()) return APMPObjectManager::arrayValueWithArray({String(Text())}, scope);
  if (!ChargeText(scope, text.size() + pattern.size(), error)) return APMPUndefined();
  std::optional<fnd::RegexMatch> match = FirstMatch(pattern, text, scope, error);
  if (!match) return APMPUndefined();
  if (!match->range().found()) return APMPNull();
  const fnd::Range range = match->range();
  return APMPObjectManager::arrayValueWithArray({String(text.substr(range.location, range.length))},
                                                scope);
}

APMPValueRef Search(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                    APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 1, error)) return APMPUndefined();
  Text pattern = SearchText(arguments, error);
  if (*error) return APMPUndefined();
  if (pattern.empty()) return Number(0);
  if (!ChargeText(scope, text.size() + pattern.size(), error)) return APMPUndefined();
  std::optional<fnd::RegexMatch> match = FirstMatch(pattern, text, scope, error);
  if (!match) return APMPUndefined();
  const fnd::Range range = match->range();
  return Number(range.found() ? static_cast<double>(range.location) : -1);
}

APMPValueRef Replace(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                     APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  Text search = SearchText(arguments, error);
  if (*error) return APMPUndefined();
  if (!ChargeSearch(scope, text, search, error)) return APMPUndefined();
  // The empty search text matches at the start, with length 0.
  fnd::TextRange range{0, 0};
  if (!search.empty()) {
    range = fnd::FindString(text, search);
    if (!range.found()) return String(text);
  }
  Text replacement(APMPTypeNameUndefined);
  if (arguments.size() == 2) {
    APMPValueRef value = arguments[1];
    if (auto function = APMPCast<APMPFunctionValue>(value)) {
      value = function->invokeWithArguments(
          {String(search), Number(static_cast<double>(range.location)), String(text)}, scope,
          error);
      if (*error) return APMPUndefined();
    }
    replacement = value->stringValueOrError(error);
    if (*error) return APMPUndefined();
  }
  if (text.size() - range.length + replacement.size() > APMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeResourceLimit);
    return APMPUndefined();
  }
  Text result = text.substr(0, range.location);
  result += replacement;
  result.append(text, range.location + range.length);
  return APMPMakeString(std::move(result), error);
}

// A bound of slice: negative counts from the end; then kept within [0, length].
size_t SliceBound(double value, size_t length) {
  if (value < 0) value += static_cast<double>(length);
  return Clamp(value, 0, length);
}

APMPValueRef Slice(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                   APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  size_t start = 0;
  size_t end = text.size();
  if (!arguments.empty()) {
    double value = IntegerArgument(arguments[0], error);
    if (*error) return APMPUndefined();
    start = SliceBound(value, text.size());
  }
  if (arguments.size() == 2) {
    double value = IntegerArgument(arguments[1], error);
    if (*error) return APMPUndefined();
    end = SliceBound(value, text.size());
  }
  if (end <= start) return String(Text());
  if (!ChargeText(scope, end - start, error)) return APMPUndefined();
  return String(text.substr(start, end - start));
}

APMPValueRef Substring(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                       APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  size_t start = 0;
  size_t end = text.size();
  if (!arguments.empty()) {
    double value = IntegerArgument(arguments[0], error);
    if (*error) return APMPUndefined();
    start = Clamp(value, 0, text.size());
  }
  if (arguments.size() == 2) {
    double value = IntegerArgument(arguments[1], error);
    if (*error) return APMPUndefined();
    end = Clamp(value, 0, text.size());
  }
  if (end < start) std::swap(start, end);
  if (!ChargeText(scope, end - start, error)) return APMPUndefined();
  return String(text.substr(start, end - start));
}

// Appends one part of a split; false with APMPErrorCodeResourceLimit past the array maximum.
bool AddPart(APMPValueList* parts, Text part, APMPError* error) {
  if (parts->size() >= APMPMaximumArrayLength) {
    return APMPSetError(error, APMPErrorCodeResourceLimit);
  }
  parts->push_back(String(std::move(part)));
  return true;
}

APMPValueRef Split(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                   APMPError* error) {
  if (!APMPAssertArgumentsAtMost(arguments, 2, error)) return APMPUndefined();
  if (text.empty() || arguments.empty()) {
    return APMPObjectManager::arrayValueWithArray({String(text)}, scope);
  }
  Text separator = arguments[0]->stringValueOrError(error);
  if (*error) return APMPUndefined();
  uint64_t limit = UINT64_MAX;
  if (arguments.size() == 2) {
    double number = arguments[1]->doubleValueOrError(error);
    if (*error) return APMPUndefined();
    limit = APMPToUInt32(number);
  }
  APMPValueList parts;
  if (limit > 0) {
    if (!ChargeSearch(scope, text, separator, error)) return APMPUndefined();
    APMPWorkMeter meter(scope, APMPElementsPerInstruction);
    if (separator.empty()) {
      for (size_t i = 0; i < text.size() && parts.size() < limit; ++i) {
        if (!meter.add(1, error) || !AddPart(&parts, text.substr(i, 1), error)) {
          return APMPUndefined();
        }
      }
    } else {
      size_t start = 0;
      while (parts.size() < limit) {
        size_t at = text.find(separator, start);
        size_t end = at == Text::npos ? text.size() : at;
        if (!meter.add(1, error) || !AddPart(&parts, text.substr(start, end - start), error)) {
          return APMPUndefined();
        }
        if (at == Text::npos) break;
        start = at + separator.size();
      }
    }
  }
  return APMPObjectManager::arrayValueWithArray(std::move(parts), scope);
}

// Case mapping through UTF-8; `locale` empty for no locale rules.
APMPValueRef MapCase(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                     APMPError* error, bool upper, bool localized) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  if (!ChargeText(scope, text.size(), error)) return APMPUndefined();
  const std::string locale = localized ? fnd::CurrentLocaleIdentifier() : std::string();
  const std::string utf8 = fnd::FromUTF16(text);
  std::string mapped = upper ? fnd::ToUpper(utf8, locale) : fnd::ToLower(utf8, locale);
  return APMPMakeString(fnd::ToUTF16(mapped), error);
}

APMPValueRef ToLowerCase(const Text& t, const APMPValueList& a, const APMPScopeRef& s,
                         APMPError* e) {
  return MapCase(t, a, s, e, false, false);
}
APMPValueRef ToUpperCase(const Text& t, const APMPValueList& a, const APMPScopeRef& s,
                         APMPError* e) {
  return MapCase(t, a, s, e, true, false);
}
APMPValueRef ToLocaleLowerCase(const Text& t, const APMPValueList& a, const APMPScopeRef& s,
                               APMPError* e) {
  return MapCase(t, a, s, e, false, true);
}
APMPValueRef ToLocaleUpperCase(const Text& t, const APMPValueList& a, const APMPScopeRef& s,
                               APMPError* e) {
  return MapCase(t, a, s, e, true, true);
}

APMPValueRef ToString(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                      APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  if (!ChargeText(scope, text.size(), error)) return APMPUndefined();
  return String(text);
}

// The code point that starts at `i` (a lone surrogate stands for itself) and its unit count.
char32_t CodePointAt(const Text& text, size_t i, size_t* units) {
  char16_t c = text[i];
  if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
      text[i + 1] <= 0xDFFF) {
    *units = 2;
    return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
  }
  *units = 1;
  return c;
}

// The code point that ends just before `end` and its unit count.
char32_t CodePointBefore(const Text& text, size_t end, size_t* units) {
  char16_t c = text[end - 1];
  if (c >= 0xDC00 && c <= 0xDFFF && end >= 2 && text[end - 2] >= 0xD800 &&
      text[end - 2] <= 0xDBFF) {
    *units = 2;
    return 0x10000 + ((static_cast<char32_t>(text[end - 2]) - 0xD800) << 10) + (c - 0xDC00);
  }
  *units = 1;
  return c;
}

// Trims general category Z, U+0009 to U+000D and U+0085 from both ends, on the code units
// themselves so that the rest of the text (lone surrogates included) stays as it is.
APMPValueRef Trim(const Text& text, const APMPValueList& arguments, const APMPScopeRef& scope,
                  APMPError* error) {
  if (!APMPHasExpectedArgumentLength(arguments, 0, error)) return APMPUndefined();
  if (!ChargeText(scope, text.size(), error)) return APMPUndefined();
  constexpr fnd::CharacterClass kSpace = fnd::CharacterClass::kWhitespaceAndNewline;
  size_t start = 0;
  size_t end = text.size();
  size_t units = 0;
  while (start < end && fnd::IsInClass(CodePointAt(text, start, &units), kSpace)) start += units;
  while (end > start && fnd::IsInClass(CodePointBefore(text, end, &units), kSpace)) end -= units;
  return String(text.substr(start, end - start));
}

std::u16string Name(std::u16string_view name) { return std::u16string(name); }

}  // namespace

std::unordered_map<std::u16string, APMPStringCommandEvaluator::Handler> APMPStringMethodHandlers() {
  return {
      {Name(APMPStringCommandCharAt), CharAt},
      {Name(APMPStringCommandConcat), Concat},
      {Name(APMPStringCommandHasOwnProperty), HasOwnProperty},
      {Name(APMPStringCommandIndexOf), IndexOf},
      {Name(APMPStringCommandLastIndexOf), LastIndexOf},
      {Name(APMPStringCommandMatch), Match},
      {Name(APMPStringCommandReplace), Replace},
      {Name(APMPStringCommandSearch), Search},
      {Name(APMPStringCommandSlice), Slice},
      {Name(APMPStringCommandSplit), Split},
      {Name(APMPStringCommandSubstring), Substring},
      {Name(APMPStringCommandToLowerCase), ToLowerCase},
      {Name(APMPStringCommandToLocaleLowerCase), ToLocaleLowerCase},
      {Name(APMPStringCommandToString), ToString},
      {Name(APMPStringCommandToUpperCase), ToUpperCase},
      {Name(APMPStringCommandToLocaleUpperCase), ToLocaleUpperCase},
      {Name(APMPStringCommandTrim), Trim},
  };
}
