// Bitwise operators: the handlers live in operators.cpp.
#include "analytics/script/command_evaluator.h"
#include "analytics/script/operators.h"

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kEvaluated, APMPBitwiseCommandHandlers()) {}
