// Equality and ordering: the handlers live in operators.cpp.
#include "analytics/script/command_evaluator.h"
#include "analytics/script/operators.h"

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kExactlyTwoEvaluated,
                                APMPComparisonCommandHandlers()) {}
