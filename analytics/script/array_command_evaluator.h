// APMPArrayCommandEvaluator: the methods a script can call on an array value (push, slice, sort
// and so on). APMPArrayValue::applyWithName() sends every name for which the array holds no
// named property here.
//
// Thread safety: the shared instance is made once; its table is read-only afterwards.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "analytics/script/array_value.h"
#include "analytics/script/runtime_value.h"

// Method names.
inline constexpr std::u16string_view APMPArrayCommandConcat = u"concat";
inline constexpr std::u16string_view APMPArrayCommandEvery = u"every";
inline constexpr std::u16string_view APMPArrayCommandFilter = u"filter";
inline constexpr std::u16string_view APMPArrayCommandForEach = u"forEach";
inline constexpr std::u16string_view APMPArrayCommandHasOwnProperty = u"hasOwnProperty";
inline constexpr std::u16string_view APMPArrayCommandIndexOf = u"indexOf";
inline constexpr std::u16string_view APMPArrayCommandJoin = u"join";
inline constexpr std::u16string_view APMPArrayCommandLastIndexOf = u"lastIndexOf";
inline constexpr std::u16string_view APMPArrayCommandMap = u"map";
inline constexpr std::u16string_view APMPArrayCommandPop = u"pop";
inline constexpr std::u16string_view APMPArrayCommandPush = u"push";
inline constexpr std::u16string_view APMPArrayCommandReduce = u"reduce";
inline constexpr std::u16string_view APMPArrayCommandReduceRight = u"reduceRight";
inline constexpr std::u16string_view APMPArrayCommandReverse = u"reverse";
inline constexpr std::u16string_view APMPArrayCommandShift = u"shift";
inline constexpr std::u16string_view APMPArrayCommandSlice = u"slice";
inline constexpr std::u16string_view APMPArrayCommandSome = u"some";
inline constexpr std::u16string_view APMPArrayCommandSort = u"sort";
inline constexpr std::u16string_view APMPArrayCommandSplice = u"splice";
inline constexpr std::u16string_view APMPArrayCommandToString = u"toString";
inline constexpr std::u16string_view APMPArrayCommandUnshift = u"unshift";

class APMPArrayCommandEvaluator {
 public:
  // A method handler: the receiver, the argument values, the caller's scope, the error.
  using Handler = APMPValueRef (*)(const std::shared_ptr<APMPArrayValue>& receiver,
                                   const APMPValueList& arguments, const APMPScopeRef& scope,
                                   APMPError* error);

  static const APMPArrayCommandEvaluator& sharedInstance();

  // An unknown name fails with 17. Otherwise every argument passes through statement evaluation
  // once more (APMPEvaluateArguments; an error stops here) and the handler runs.
  APMPValueRef evaluateCommand(const std::u16string& name,
                               const std::shared_ptr<APMPArrayValue>& array,
                               const APMPValueList& arguments, const APMPScopeRef& scope,
                               APMPError* error) const;

 private:
  APMPArrayCommandEvaluator();
  std::unordered_map<std::u16string, Handler> handlers_;
};
