// Display texts of event names, user property names and parameter dictionaries for the engine's
// log lines. In debug mode an internal name is shown beside its public name ("screen_view (_vs)")
// and a parameter dictionary as a sorted, indented block with error codes spelled out; outside
// debug mode every function falls back to the plain text of the object. Nothing is changed.
//
// Each function reads the current mode (ZIVLogFormattingMode::current()) or takes one.
//
// Thread safety: stateless; may be called from any thread.
#pragma once

#include <string>

#include "platform/foundation/value.h"

// What the display texts depend on.
struct ZIVLogFormattingMode {
  // The engine monitor's debug mode.
  bool debugMode = false;
  // Whether the public analytics interface class "DEVAzodavevu" is present at run time (found in
  // the runtime class registry); public names are shown only then.
  bool publicInterfacePresent = false;

  // The mode of the process: the shared monitor and the shared runtime class registry.
  static ZIVLogFormattingMode current();
};

// The shared name rule: a non-string shows its description; an empty or public name, or an empty
// table, shows the name. In debug mode with the public interface present, the table's first key
// (in the table's order) whose value is the name and that does not begin with "zudiroru_" (else
// the last such key) is shown as "key (name)". Otherwise the name unchanged.
std::string ZIVFormattedName(const fnd::Value& name, const fnd::Dictionary& table,
                             const ZIVLogFormattingMode& mode);
std::string ZIVFormattedName(const fnd::Value& name, const fnd::Dictionary& table);
// The shared rule with the event name table.
std::string ZIVFormattedEventName(const fnd::Value& name, const ZIVLogFormattingMode& mode);
std::string ZIVFormattedEventName(const fnd::Value& name);
// The shared rule with the parameter name table.
std::string ZIVFormattedParameterName(const fnd::Value& name, const ZIVLogFormattingMode& mode);
std::string ZIVFormattedParameterName(const fnd::Value& name);
// A name beginning with "_exp_" shows as "experiment_id (name)" in every mode; any other name
// follows the shared rule with the user property name table.
std::string ZIVFormattedUserPropertyName(const fnd::Value& name, const ZIVLogFormattingMode& mode);
std::string ZIVFormattedUserPropertyName(const fnd::Value& name);

// Outside debug mode, or for a non-dictionary, the description. Otherwise one line
// "<indentation>    <display key> = <value text>;\n" per entry, sorted case-insensitively (stable),
// between "<indentation>{\n" and "<indentation>}". Arrays and array values show as nested
// descriptions; an int64 "_err" value shows as "ErrorName (code)" or the bare code.
std::string ZIVFormattedParametersDescriptionWithIndentation(const fnd::Value& parameters,
                                                             const std::string& indentation,
                                                             const ZIVLogFormattingMode& mode);
std::string ZIVFormattedParametersDescriptionWithIndentation(const fnd::Value& parameters,
                                                             const std::string& indentation);
// The dictionary form with no indentation.
std::string ZIVFormattedParametersDescription(const fnd::Value& parameters,
                                              const ZIVLogFormattingMode& mode);
std::string ZIVFormattedParametersDescription(const fnd::Value& parameters);
// Outside debug mode, or for a non-array, the description. Otherwise "[\n", each element as a
// parameter dictionary indented by four spaces, joined by ",\n", then "\n    ]".
std::string ZIVFormattedNestedParametersDescription(const fnd::Value& array,
                                                    const ZIVLogFormattingMode& mode);
std::string ZIVFormattedNestedParametersDescription(const fnd::Value& array);
