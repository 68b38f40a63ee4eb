#include "analytics/script/command_evaluator.h"
#include "analytics/script/commands.h"

// The codes of this family, routed here by the registrar; a code whose handler is not yet
// written yields undefined without an error.
APMPLoopCommandEvaluator::APMPLoopCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kRaw,
                                {
                                    {std::u16string(APMPCommandWhile), nullptr},
                                    {std::u16string(APMPCommandForIn), nullptr},
                                    {std::u16string(APMPCommandForInConst), nullptr},
                                    {std::u16string(APMPCommandForInLet), nullptr},
                                    {std::u16string(APMPCommandForLet), nullptr},
                                    {std::u16string(APMPCommandForOf), nullptr},
                                    {std::u16string(APMPCommandForOfConst), nullptr},
                                    {std::u16string(APMPCommandForOfLet), nullptr},
                                }) {}
