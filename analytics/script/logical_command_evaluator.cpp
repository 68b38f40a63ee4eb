#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"

// The codes of this family, routed here by the registrar; a code whose handler is not yet
// written yields undefined without an error.
APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kRaw, {
                                                        {std::u16string(APMPCommandAnd), nullptr},
                                                        {std::u16string(APMPCommandNot), nullptr},
                                                        {std::u16string(APMPCommandOr), nullptr},
                                                    }) {}
