// Test support for the scripting runtime: program trees written in a compact notation, and a
// readable rendering of values. Not for production code.
//
// Notation: a program is a sequence of forms. A form is
//   "text"            a string entity (escapes: \" and \\)
//   12, -1.5, 1e21    a number entity
//   nan               a number entity without a value (NaN)
//   true, false       boolean entities
//   (Name args...)    a statement whose code is the command Name (Add, Assign, Get, ...)
//   (@code args...)   a statement with that literal code ("11", "myFunction")
// Example: (Var "x") (Assign "x" (Add (Get "x") 1))
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/array_value.h"
#include "analytics/script/commands.h"
#include "analytics/script/function_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/runtime.h"
#include "analytics/script/runtime_entity_converter.h"
#include "platform/foundation/text.h"

namespace script_test {

using Entity = std::shared_ptr<APMPBRuntimeEntity>;

inline const std::map<std::string, std::u16string_view>& CommandNames() {
  static const std::map<std::string, std::u16string_view> names = {
      {"Add", APMPCommandAdd},
      {"And", APMPCommandAnd},
      {"Apply", APMPCommandApply},
      {"Assign", APMPCommandAssign},
      {"Break", APMPCommandBreak},
      {"Case", APMPCommandCase},
      {"Continue", APMPCommandContinue},
      {"CreateArray", APMPCommandCreateArray},
      {"CreateObject", APMPCommandCreateObject},
      {"Default", APMPCommandDefault},
      {"Divide", APMPCommandDivide},
      {"Equals", APMPCommandEquals},
      {"ExpressionList", APMPCommandExpressionList},
      {"Get", APMPCommandGet},
      {"GetIndex", APMPCommandGetIndex},
      {"GetProperty", APMPCommandGetProperty},
      {"GreaterThan", APMPCommandGreaterThan},
      {"GreaterThanEquals", APMPCommandGreaterThanEquals},
      {"IdentityEquals", APMPCommandIdentityEquals},
      {"IdentityNotEquals", APMPCommandIdentityNotEquals},
      {"If", APMPCommandIf},
      {"LessThan", APMPCommandLessThan},
      {"LessThanEquals", APMPCommandLessThanEquals},
      {"Modulus", APMPCommandModulus},
      {"Multiply", APMPCommandMultiply},
      {"Negate", APMPCommandNegate},
      {"Not", APMPCommandNot},
      {"NotEquals", APMPCommandNotEquals},
      {"Or", APMPCommandOr},
      {"PostDecrement", APMPCommandPostDecrement},
      {"PostIncrement", APMPCommandPostIncrement},
      {"PreDecrement", APMPCommandPreDecrement},
      {"PreIncrement", APMPCommandPreIncrement},
      {"Return", APMPCommandReturn},
      {"Subtract", APMPCommandSubtract},
      {"Switch", APMPCommandSwitch},
      {"Ternary", APMPCommandTernary},
      {"Typeof", APMPCommandTypeof},
      {"Var", APMPCommandVar},
      {"While", APMPCommandWhile},
      {"SetProperty", APMPCommandSetProperty},
      {"Undefined", APMPCommandUndefined},
      {"Null", APMPCommandNull},
      {"Quote", APMPCommandQuote},
      {"ForIn", APMPCommandForIn},
      {"DefineFunction", APMPCommandDefineFunction},
      {"Fn", APMPCommandFn},
      {"Const", APMPCommandConst},
      {"Block", APMPCommandBlock},
      {"ForInConst", APMPCommandForInConst},
      {"ForInLet", APMPCommandForInLet},
      {"BitwiseAnd", APMPCommandBitwiseAnd},
      {"BitwiseLeftShift", APMPCommandBitwiseLeftShift},
      {"BitwiseNot", APMPCommandBitwiseNot},
      {"BitwiseOr", APMPCommandBitwiseOr},
      {"BitwiseRightShift", APMPCommandBitwiseRightShift},
      {"BitwiseUnsignedRightShift", APMPCommandBitwiseUnsignedRightShift},
      {"BitwiseXor", APMPCommandBitwiseXor},
      {"ForLet", APMPCommandForLet},
      {"ForOf", APMPCommandForOf},
      {"ForOfConst", APMPCommandForOfConst},
      {"ForOfLet", APMPCommandForOfLet},
  };
  return names;
}

// Entity builders.
inline Entity NewEntity(int32_t type) {
  Entity entity = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  if (type != 0) NANOSetInt32(entity.get(), APMPBRuntimeEntity::kType, type);
  return entity;
}
inline Entity StringEntity(const std::string& text) {
  Entity entity = NewEntity(1);
  NANOSetString(entity.get(), APMPBRuntimeEntity::kTag4String, fnd::Value(text));
  return entity;
}
inline Entity NumberEntity(double value) {
  Entity entity = NewEntity(2);
  NANOSetDouble(entity.get(), APMPBRuntimeEntity::kNumberValue, value);
  return entity;
}
inline Entity BooleanEntity(bool value) {
  Entity entity = NewEntity(3);
  NANOSetBool(entity.get(), APMPBRuntimeEntity::kBoolValue, value ? 1 : 0);
  return entity;
}
inline Entity StatementEntity(const std::string& code, const std::vector<Entity>& arguments) {
  Entity entity = NewEntity(4);
  NANOSetString(entity.get(), APMPBRuntimeEntity::kStringValue, fnd::Value(code));
  fnd::Array children;
  for (const auto& argument : arguments) {
    children.emplace_back(std::shared_ptr<fnd::Record>(argument));
  }
  NANOSetArray(entity.get(), APMPBRuntimeEntity::kChildren, &children);
  return entity;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::vector<Entity> parseProgram() {
    std::vector<Entity> forms;
    skipSpace();
    while (pos_ < text_.size()) {
      forms.push_back(parseForm());
      skipSpace();
    }
    return forms;
  }

 private:
  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + " at " + std::to_string(pos_) + " in " + std::string(text_));
  }
  std::string word() {
    size_t start = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])) &&
           text_[pos_] != '(' && text_[pos_] != ')') {
      ++pos_;
    }
    return std::string(text_.substr(start, pos_ - start));
  }
  Entity parseForm() {
    skipSpace();
    if (pos_ >= text_.size()) fail("unexpected end");
    char c = text_[pos_];
    if (c == '(') {
      ++pos_;
      std::string name = word();
      std::string code;
      if (!name.empty() && name[0] == '@') {
        code = name.substr(1);
      } else {
        auto it = CommandNames().find(name);
        if (it == CommandNames().end()) fail("unknown command " + name);
        code = fnd::FromUTF16(it->second);
      }
      std::vector<Entity> arguments;
      skipSpace();
      while (pos_ < text_.size() && text_[pos_] != ')') {
        arguments.push_back(parseForm());
        skipSpace();
      }
      if (pos_ >= text_.size()) fail("missing )");
      ++pos_;
      return StatementEntity(code, arguments);
    }
    if (c == '"') {
      ++pos_;
      std::string out;
      while (pos_ < text_.size() && text_[pos_] != '"') {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
        out += text_[pos_++];
      }
      if (pos_ >= text_.size()) fail("unterminated string");
      ++pos_;
      return StringEntity(out);
    }
    std::string w = word();
    if (w == "true") return BooleanEntity(true);
    if (w == "false") return BooleanEntity(false);
    if (w == "nan") return NewEntity(2);
    if (w == "inf") return NumberEntity(std::numeric_limits<double>::infinity());
    if (w == "-inf") return NumberEntity(-std::numeric_limits<double>::infinity());
    try {
      size_t used = 0;
      double value = std::stod(w, &used);
      if (used != w.size()) fail("bad number " + w);
      return NumberEntity(value);
    } catch (const std::logic_error&) {
      fail("bad token " + w);
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// The entities of a program in the notation above.
inline std::vector<Entity> Program(std::string_view text) { return Parser(text).parseProgram(); }

// The runtime values of a program's forms (converted without a runtime).
inline APMPValueList Statements(std::string_view text) {
  APMPValueList values;
  for (const auto& entity : Program(text)) {
    APMPError error;
    values.push_back(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, &error));
    if (error) throw std::runtime_error("conversion failed: " + error->description());
  }
  return values;
}

// A readable rendering: undefined, null, true, 1.5, 'text', [1,'a',<hole>], {a:1},
// function f, <return 5>, <break>, <statement 3>.
inline std::string Show(const APMPValueRef& value, int depth = 0) {
  if (!value) return "<null pointer>";
  if (depth > 8) return "...";
  APMPError error;
  switch (value->kind()) {
    case APMPRuntimeValue::Kind::kHole:
      return "<hole>";
    case APMPRuntimeValue::Kind::kString:
      return "'" + static_cast<const APMPStringValue&>(*value).utf8Value() + "'";
    case APMPRuntimeValue::Kind::kArray: {
      std::string out = "[";
      const auto& elements = static_cast<const APMPArrayValue&>(*value).elements();
      for (size_t i = 0; i < elements.size(); ++i) {
        if (i) out += ",";
        out += Show(elements[i], depth + 1);
      }
      return out + "]";
    }
    case APMPRuntimeValue::Kind::kMap: {
      std::string out = "{";
      bool first = true;
      for (const auto& [name, v] :
           static_cast<const APMPMapValue&>(*value).propertyMap().entries()) {
        if (!first) out += ",";
        first = false;
        out += fnd::FromUTF16(name) + ":" + Show(v, depth + 1);
      }
      return out + "}";
    }
    case APMPRuntimeValue::Kind::kFunction:
      return "function " +
             fnd::FromUTF16(static_cast<const APMPFunctionValue&>(*value).functionName());
    case APMPRuntimeValue::Kind::kStatement:
      return "<statement " +
             fnd::FromUTF16(static_cast<const APMPStatementValue&>(*value).functionName()) + ">";
    case APMPRuntimeValue::Kind::kControl: {
      const auto& control = static_cast<const APMPControlValue&>(*value);
      std::string out = "<" + fnd::FromUTF16(std::u16string(control.typeName()));
      if (control.isReturn()) out += " " + Show(control.data(), depth + 1);
      return out + ">";
    }
    default:
      return fnd::FromUTF16(value->stringValueOrError(&error));
  }
}

// "error N" for a runtime error, else the rendering of the value.
inline std::string Outcome(const APMPValueRef& value, const APMPError& error) {
  if (error) {
    if (error->domain() == APMPErrorDomain) return "error " + std::to_string(error->code());
    return "error " + error->domain() + " " + std::to_string(error->code());
  }
  return Show(value);
}

// Runs a program at the top level of `runtime` and renders its outcome.
inline std::string Run(APMPRuntime& runtime, std::string_view program) {
  APMPError error;
  APMPValueRef value = runtime.executeStatements(Program(program), &error);
  return Outcome(value, error);
}

// Runs a program in a fresh runtime.
inline std::string Run(std::string_view program) {
  APMPRuntime runtime;
  return Run(runtime, program);
}

}  // namespace script_test
