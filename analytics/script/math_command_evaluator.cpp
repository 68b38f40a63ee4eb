#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"

// The codes of this family, routed here by the registrar; a code whose handler is not yet
// written yields undefined without an error.
APMPMathCommandEvaluator::APMPMathCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kEvaluated,
                                {
                                    {std::u16string(APMPCommandAdd), nullptr},
                                    {std::u16string(APMPCommandDivide), nullptr},
                                    {std::u16string(APMPCommandModulus), nullptr},
                                    {std::u16string(APMPCommandMultiply), nullptr},
                                    {std::u16string(APMPCommandNegate), nullptr},
                                    {std::u16string(APMPCommandPostDecrement), nullptr},
                                    {std::u16string(APMPCommandPostIncrement), nullptr},
                                    {std::u16string(APMPCommandPreDecrement), nullptr},
                                    {std::u16string(APMPCommandPreIncrement), nullptr},
                                    {std::u16string(APMPCommandSubtract), nullptr},
                                }) {}
