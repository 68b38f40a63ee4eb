// APMPStringCommandEvaluator: the methods a script can call on a string value (indexOf, split,
// replace and so on). APMPStringValue::applyWithName() sends every name here.
//
// Thread safety: the shared instance is made once; its table is read-only afterwards.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "analytics/script/runtime_value.h"

// Method names.
inline constexpr std::u16string_view APMPStringCommandCharAt = u"charAt";
inline constexpr std::u16string_view APMPStringCommandConcat = u"concat";
inline constexpr std::u16string_view APMPStringCommandHasOwnProperty = u"hasOwnProperty";
inline constexpr std::u16string_view APMPStringCommandIndexOf = u"indexOf";
inline constexpr std::u16string_view APMPStringCommandLastIndexOf = u"lastIndexOf";
inline constexpr std::u16string_view APMPStringCommandMatch = u"match";
inline constexpr std::u16string_view APMPStringCommandReplace = u"replace";
inline constexpr std::u16string_view APMPStringCommandSearch = u"search";
inline constexpr std::u16string_view APMPStringCommandSlice = u"slice";
inline constexpr std::u16string_view APMPStringCommandSplit = u"split";
inline constexpr std::u16string_view APMPStringCommandSubstring = u"substring";
inline constexpr std::u16string_view APMPStringCommandToLowerCase = u"toLowerCase";
inline constexpr std::u16string_view APMPStringCommandToLocaleLowerCase = u"toLocaleLowerCase";
inline constexpr std::u16string_view APMPStringCommandToString = u"toString";
inline constexpr std::u16string_view APMPStringCommandToUpperCase = u"toUpperCase";
inline constexpr std::u16string_view APMPStringCommandToLocaleUpperCase = u"toLocaleUpperCase";
inline constexpr std::u16string_view APMPStringCommandTrim = u"trim";

class APMPStringCommandEvaluator {
 public:
  // A method handler: the receiver's text, the argument values, the caller's scope, the error.
  using Handler = APMPValueRef (*)(const std::u16string& text, const APMPValueList& arguments,
                                   const APMPScopeRef& scope, APMPError* error);

  static const APMPStringCommandEvaluator& sharedInstance();

  // An unknown name fails with 17. Otherwise every argument passes through statement evaluation
  // once more (APMPEvaluateArguments; an error stops here) and the handler runs.
  APMPValueRef evaluateCommand(const std::u16string& name, const std::u16string& text,
                               const APMPValueList& arguments, const APMPScopeRef& scope,
                               APMPError* error) const;

 private:
  APMPStringCommandEvaluator();
  std::unordered_map<std::u16string, Handler> handlers_;
};
