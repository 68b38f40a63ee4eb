// APMPRuntimeEntityConverter: turns program trees (APMPBRuntimeEntity wire messages) into runtime
// values, and converts between runtime values and Foundation objects (fnd::Value), which is how
// host data and event parameters enter and leave scripts. Nothing parses program text.
//
// Trees and objects nested deeper than APMPMaximumNestingDepth fail with
// APMPErrorCodeResourceLimit instead of exhausting the stack.
//
// Thread safety: the functions keep no state; values belong to the script's thread.
#pragma once

#include <memory>
#include <optional>

#include "analytics/script/runtime_value.h"
#include "platform/foundation/value.h"

class APMPBRuntimeEntity;
class APMPMapValue;

class APMPRuntimeEntityConverter {
 public:
  // By the entity's type: 1 a string value (position 3, "" when absent); 2 a number value
  // (position 5, NaN when absent); 3 the shared boolean (position 4, false when absent); 4 a
  // statement (statementValueFromRuntimeEntity). Any other type fails with 12. Values are made
  // directly, not through the collector.
  // A tree is read in one pass over its decoded records (no subtree is copied), so the time is
  // linear in its size.
  static APMPValueRef runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                    APMPError* error);
  // The same, charging the tree's entries as element work and its texts as code units on the
  // instruction count of `scope` (a program's load shares one budget with its run).
  static APMPValueRef runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                    const APMPScopeRef& scope, APMPError* error);
  // A statement with the command code of position 2 (required: 14 otherwise) and the converted
  // arguments of position 1; the first failing argument stops the conversion (undefined).
  static APMPValueRef statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                      APMPError* error);

  // Foundation object to value: null gives null; a string a string value; a bool a boolean; an
  // integer or double a number; a dictionary a map and an array an array made through the
  // scope's object manager, entries converted in order (a key that is no string is stored under
  // its description). The first failure returns undefined with the error. Any other kind fails
  // with 13.
  static APMPValueRef runtimeValueFromNSObject(const fnd::Value& object, const APMPScopeRef& scope,
                                               APMPError* error);

  // Value to Foundation object: null gives nullopt (no object); undefined ""; a map a dictionary
  // (dictionaryFromMapValue); an array an array of its converted elements (holes read as
  // undefined; elements that convert to no object are left out, as in maps); any other value its
  // number when that is not NaN, else its string form (so a statement or control value fails
  // with 5). A container's first failure returns what was built so far with the error.
  //
  // Every value reached counts one and every text its code units, a value reached twice (through
  // shared references) counting twice; past APMPMaximumHostConversionSize in all the conversion
  // fails with APMPErrorCodeResourceLimit, so a small DAG of arrays cannot expand without bound.
  static std::optional<fnd::Value> objectFromRuntimeValue(const APMPValueRef& value,
                                                          APMPError* error);
  // The same, charging that work to the instruction count of `scope` as it goes (elements and
  // code units, work_meter.h): the host conversions of event editing use it.
  // `size`, when given, receives the size counted (values and code units).
  static std::optional<fnd::Value> objectFromRuntimeValue(const APMPValueRef& value,
                                                          const APMPScopeRef& scope,
                                                          APMPError* error, size_t* size = nullptr);
  // Every property with its converted value; properties that convert to no object are left out.
  static fnd::Dictionary dictionaryFromMapValue(const APMPMapValue& map, APMPError* error);
};
