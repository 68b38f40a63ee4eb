// Arithmetic: the handlers live in operators.cpp.
#include "analytics/script/command_evaluator.h"
#include "analytics/script/operators.h"

APMPMathCommandEvaluator::APMPMathCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kEvaluated, APMPMathCommandHandlers()) {}
