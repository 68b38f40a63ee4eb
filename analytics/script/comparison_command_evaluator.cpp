#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"

// The codes of this family, routed here by the registrar; a code whose handler is not yet
// written yields undefined without an error.
APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kExactlyTwoEvaluated,
                                {
                                    {std::u16string(APMPCommandEquals), nullptr},
                                    {std::u16string(APMPCommandGreaterThan), nullptr},
                                    {std::u16string(APMPCommandGreaterThanEquals), nullptr},
                                    {std::u16string(APMPCommandIdentityEquals), nullptr},
                                    {std::u16string(APMPCommandIdentityNotEquals), nullptr},
                                    {std::u16string(APMPCommandLessThan), nullptr},
                                    {std::u16string(APMPCommandLessThanEquals), nullptr},
                                    {std::u16string(APMPCommandNotEquals), nullptr},
                                }) {}
