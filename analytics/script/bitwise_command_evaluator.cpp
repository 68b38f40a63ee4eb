#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"

// The codes of this family, routed here by the registrar; a code whose handler is not yet
// written yields undefined without an error.
APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kEvaluated,
                                {
                                    {std::u16string(APMPCommandBitwiseAnd), nullptr},
                                    {std::u16string(APMPCommandBitwiseLeftShift), nullptr},
                                    {std::u16string(APMPCommandBitwiseNot), nullptr},
                                    {std::u16string(APMPCommandBitwiseOr), nullptr},
                                    {std::u16string(APMPCommandBitwiseRightShift), nullptr},
                                    {std::u16string(APMPCommandBitwiseUnsignedRightShift), nullptr},
                                    {std::u16string(APMPCommandBitwiseXor), nullptr},
                                }) {}
