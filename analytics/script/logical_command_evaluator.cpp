// And, Or and Not: the handlers live in operators.cpp.
#include "analytics/script/command_evaluator.h"
#include "analytics/script/operators.h"

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kRaw, APMPLogicalCommandHandlers()) {}
