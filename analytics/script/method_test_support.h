// Test support for the array-method and string-method tests: arrays with holes in the notation
// of script_test_support.h, and single method calls on a receiver. Not for production code.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "analytics/script/runtime.h"
#include "analytics/script/script_test_support.h"

namespace script_test {

// A program that evaluates to a new array whose elements are the space-separated forms of
// `elements`, "_" standing for a hole: Holey("1 _ 3") is [1, <hole>, 3].
inline std::string Holey(std::string_view elements) {
  std::string program = "(ExpressionList (Var \"holey\") (Assign \"holey\" (CreateArray))";
  size_t index = 0;
  size_t pos = 0;
  while (pos < elements.size()) {
    size_t end = elements.find(' ', pos);
    if (end == std::string_view::npos) end = elements.size();
    std::string_view form = elements.substr(pos, end - pos);
    if (!form.empty()) {
      if (form != "_") {
        program += " (SetProperty (Get \"holey\") " + std::to_string(index) + " " +
                   std::string(form) + ")";
      }
      ++index;
    }
    pos = end + 1;
  }
  program += " (SetProperty (Get \"holey\") \"length\" " + std::to_string(index) + ")";
  return program + " (Get \"holey\"))";
}

// Evaluates one program in the runtime's global scope; throws on an error.
inline APMPValueRef Evaluate(APMPRuntime& runtime, std::string_view program) {
  APMPError error;
  APMPValueRef value = runtime.executeStatements(Program(program), &error);
  if (error) throw std::runtime_error("evaluation failed: " + error->description());
  return value;
}

// Calls method `name` on the value of `receiver` with the values of the forms of `arguments`,
// the way Apply does (applyWithName()), and renders the outcome; with `showReceiver` the
// receiver follows after a " | ", as it is after the call.
inline std::string CallMethod(APMPRuntime& runtime, std::string_view receiver,
                              std::string_view name, std::string_view arguments,
                              bool showReceiver = false) {
  APMPValueRef target = Evaluate(runtime, receiver);
  APMPValueList values;
  for (const auto& entity : Program(arguments)) {
    APMPError error;
    values.push_back(runtime.executeStatements({entity}, &error));
    if (error) throw std::runtime_error("argument failed: " + error->description());
  }
  APMPError error;
  APMPValueRef result =
      target->applyWithName(fnd::ToUTF16(name), values, runtime.globalScope(), &error);
  std::string outcome = Outcome(result, error);
  if (showReceiver) outcome += " | " + Show(target);
  return outcome;
}

}  // namespace script_test
