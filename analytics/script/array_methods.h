// The array methods (concat, every, filter, forEach, hasOwnProperty, indexOf, join, lastIndexOf,
// map, pop, push, reduce, reduceRight, reverse, shift, slice, some, sort, splice, toString,
// unshift): the handler table of APMPArrayCommandEvaluator (array_command_evaluator.h), which
// looks the method name up, evaluates the arguments once more and calls the handler.
//
// They follow the JavaScript methods with these differences, which are the contract:
//   every, filter, forEach, map and some take exactly one argument, a function, and call it with
//     (element, index, array); reduce and reduceRight take the function and an optional initial
//     value and call it with (accumulator, element, index, array). Holes are skipped; the length
//     is taken once, so elements added by a callback are not visited.
//   join(null) and join(undefined) join with the empty string.
//   sort(undefined) fails with 10, as does any argument that is no function, unless the array has
//     fewer than two elements.
//   indexOf and lastIndexOf use strict equality (NaN is never found); lastIndexOf with a NaN
//     start searches from the end.
// Index arguments go through the number form and APMPToInteger; a negative index counts from
// the end. New arrays are made through APMPObjectManager so that the collector tracks them.
//
// Failures: a count outside a method's range fails with 9, a callback that is no function with
// 10, reduce of an array without present elements and without an initial value with 8; errors of
// callbacks and conversions pass through. The result is then undefined, except that a sort whose
// comparison failed returns the (partly reordered) receiver with the error. Growing an array past
// APMPMaximumArrayLength fails with APMPErrorCodeResourceLimit, and work on large arrays is
// charged against the instruction limit (work_meter.h).
//
// Thread safety: the table holds plain functions without state.
#pragma once

#include <string>
#include <unordered_map>

#include "analytics/script/array_command_evaluator.h"

// The handler table of APMPArrayCommandEvaluator, keyed by the APMPArrayCommand... names.
std::unordered_map<std::u16string, APMPArrayCommandEvaluator::Handler> APMPArrayMethodHandlers();
