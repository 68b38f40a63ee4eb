// The loop commands of APMPLoopCommandEvaluator (declared in command_evaluator.h): While (while,
// do-while and for loops without per-iteration bindings), ForLet (counting loops whose declared
// variables get a fresh binding in every iteration) and the key and item loops ForIn, ForInConst,
// ForInLet, ForOf, ForOfConst and ForOfLet. Every handler receives the unevaluated argument
// nodes.
//
// A body is an array value of statements (normally made by Quote), evaluated once before the
// first iteration and run as a statement list in every iteration. A body result that is an error
// or break ends the loop with undefined; a return value ends it and is the loop's result, so that
// the enclosing function returns; continue and plain values go on. A wrong argument count fails
// with 9, a body or name list that is not an array with 10, a for-of subject that is neither a
// string nor an array with 16.
//
// Loops have no iteration limit of their own: every evaluation they make counts against the
// instruction limit. The work that evaluates nothing is charged through APMPWorkMeter: the items
// taken from a long array, the bindings of iterations whose body is empty, and long name lists
// copied by ForLet. So no loop runs unbounded, and ordinary loops count only their evaluations.
//
// Thread safety: the table holds plain functions without state.
#pragma once

#include <string>
#include <unordered_map>

#include "analytics/script/command_evaluator.h"

// The handler table of APMPLoopCommandEvaluator, for its constructor (raw argument mode).
std::unordered_map<std::u16string, APMPCommandHandler> APMPLoopCommandHandlers();
