#include "analytics/engine/log_formatting.h"

#include <algorithm>
#include <vector>

#include "analytics/engine/event_util.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine/name_tables.h"
#include "analytics/engine/runtime_class_registry.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/value.h"
#include "platform/foundation/text.h"

namespace {

constexpr const char* kNestedIndentation = "    ";

// The plain text of an object: a string as it is, anything else its description.
std::string Describe(const fnd::Value& object) {
  return object.isString() ? object.asString() : object.description();
}

std::string ErrorCodeText(const ZIVValue& value) {
  const fnd::Value* name = ZIVErrorEventCodeNames().find(fnd::Value::Int64(value.int64Value()));
  const std::string code = std::to_string(value.int64Value());
  return name ? name->asString() + " (" + code + ")" : code;
}

std::string ValueText(const fnd::Value& key, const fnd::Value& value,
                      const ZIVLogFormattingMode& mode) {
  if (value.isArray()) return ZIVFormattedNestedParametersDescription(value, mode);
  if (auto typed = value.recordAs<ZIVValue>()) {
    if (typed->isArray()) {
      return ZIVFormattedNestedParametersDescription(fnd::Value(*typed->arrayValue()), mode);
    }
    if (key.isString() && key.asString() == "_err" && mode.debugMode && typed->isInt64()) {
      return ErrorCodeText(*typed);
    }
    return typed->description();
  }
  return Describe(value);
}

}  // namespace

ZIVLogFormattingMode ZIVLogFormattingMode::current() {
  ZIVLogFormattingMode mode;
  mode.debugMode = ZIVMeasurement::monitor()->isDebugModeEnabled();
  mode.publicInterfacePresent =
      ZIVRuntimeClassRegistry::sharedRegistry().classNamed("DEVAzodavevu") != nullptr;
  return mode;
}

std::string ZIVFormattedName(const fnd::Value& name, const fnd::Dictionary& table,
                             const ZIVLogFormattingMode& mode) {
  if (!name.isString()) return Describe(name);
  const std::string& text = name.asString();
  if (text.empty() || table.empty() || ZIVEventUtilIsPublicName(name)) return text;
  if (!mode.debugMode || !mode.publicInterfacePresent) return text;
  const fnd::Value* found = nullptr;
  for (const auto& [key, value] : table) {
    if (value != name) continue;
    found = &key;
    if (!fnd::HasPrefix(key.asString(), "zudiroru_")) break;
  }
  return found ? Describe(*found) + " (" + text + ")" : text;
}

std::string ZIVFormattedName(const fnd::Value& name, const fnd::Dictionary& table) {
  return ZIVFormattedName(name, table, ZIVLogFormattingMode::current());
}

std::string ZIVFormattedEventName(const fnd::Value& name, const ZIVLogFormattingMode& mode) {
  return ZIVFormattedName(name, ZIVInternalEventNames(), mode);
}
std::string ZIVFormattedEventName(const fnd::Value& name) {
  return ZIVFormattedEventName(name, ZIVLogFormattingMode::current());
}

std::string ZIVFormattedParameterName(const fnd::Value& name, const ZIVLogFormattingMode& mode) {
  return ZIVFormattedName(name, ZIVInternalParameterNames(), mode);
}
std::string ZIVFormattedParameterName(const fnd::Value& name) {
  return ZIVFormattedParameterName(name, ZIVLogFormattingMode::current());
}

std::string ZIVFormattedUserPropertyName(const fnd::Value& name, const ZIVLogFormattingMode& mode) {
  if (name.isString() && name.asString().rfind("_exp_", 0) == 0) {
    return "experiment_id (" + name.asString() + ")";
  }
  return ZIVFormattedName(name, ZIVInternalUserPropertyNames(), mode);
}
std::string ZIVFormattedUserPropertyName(const fnd::Value& name) {
  return ZIVFormattedUserPropertyName(name, ZIVLogFormattingMode::current());
}

std::string ZIVFormattedParametersDescriptionWithIndentation(const fnd::Value& parameters,
                                                             const std::string& indentation,
                                                             const ZIVLogFormattingMode& mode) {
  if (!mode.debugMode || !parameters.isDictionary()) return Describe(parameters);
  std::vector<std::string> lines;
  for (const auto& [key, value] : *parameters.dictionary()) {
    lines.push_back(indentation + kNestedIndentation + ZIVFormattedParameterName(key, mode) +
                    " = " + ValueText(key, value, mode) + ";\n");
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return fnd::CaseInsensitiveCompare(a, b) < 0;
  });
  std::string text = indentation + "{\n";
  for (const std::string& line : lines) text += line;
  return text + indentation + "}";
}

std::string ZIVFormattedParametersDescriptionWithIndentation(const fnd::Value& parameters,
                                                             const std::string& indentation) {
  return ZIVFormattedParametersDescriptionWithIndentation(parameters, indentation,
                                                          ZIVLogFormattingMode::current());
}

std::string ZIVFormattedParametersDescription(const fnd::Value& parameters,
                                              const ZIVLogFormattingMode& mode) {
  return ZIVFormattedParametersDescriptionWithIndentation(parameters, std::string(), mode);
}
std::string ZIVFormattedParametersDescription(const fnd::Value& parameters) {
  return ZIVFormattedParametersDescription(parameters, ZIVLogFormattingMode::current());
}

std::string ZIVFormattedNestedParametersDescription(const fnd::Value& array,
                                                    const ZIVLogFormattingMode& mode) {
  if (!mode.debugMode || !array.isArray()) return Describe(array);
  std::string text = "[\n";
  bool first = true;
  for (const fnd::Value& element : *array.array()) {
    if (!first) text += ",\n";
    first = false;
    text += ZIVFormattedParametersDescriptionWithIndentation(element, kNestedIndentation, mode);
  }
  return text + "\n" + kNestedIndentation + "]";
}
std::string ZIVFormattedNestedParametersDescription(const fnd::Value& array) {
  return ZIVFormattedNestedParametersDescription(array, ZIVLogFormattingMode::current());
}
