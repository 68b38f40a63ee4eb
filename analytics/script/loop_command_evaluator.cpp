// Loops: the handlers live in loops.cpp.
#include "analytics/script/command_evaluator.h"
#include "analytics/script/loops.h"

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator()
    : APMPTableCommandEvaluator(ArgumentMode::kRaw, APMPLoopCommandHandlers()) {}
