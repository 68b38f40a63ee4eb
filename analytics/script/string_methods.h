// The string methods (charAt, concat, hasOwnProperty, indexOf, lastIndexOf, match, replace,
// search, slice, split, substring, toLowerCase, toLocaleLowerCase, toString, toUpperCase,
// toLocaleUpperCase, trim): the handler table of APMPStringCommandEvaluator
// (string_command_evaluator.h), which looks the method name up, evaluates the arguments once more
// and calls the handler with the receiver's text. Strings are immutable; every result is new.
//
// Every length, index and position counts UTF-16 code units. Position arguments go through the
// number form and APMPToInteger. The methods follow JavaScript's with these differences, which
// are the contract:
//   match and search take a pattern string (an ICU regular expression without options, no flag
//     syntax); match answers an array holding only the whole first match, or null.
//   replace takes a plain search text and replaces its first occurrence only; "$" in the
//     replacement is plain text; a function replacement is called with (search text, index,
//     whole text).
//   indexOf and lastIndexOf never find the empty text; the plain searches match canonically
//     equivalent sequences (the platform's default string search).
//   split takes a plain separator, split at every exact occurrence of its code units.
// A count outside a method's range fails with 9; conversion errors pass through. A pattern that
// does not compile, or a match that exceeds the regular-expression work limit, fails with the
// error of platform/foundation/regex.h (not a runtime code). Results longer than
// APMPMaximumStringLength, or splits into more than APMPMaximumArrayLength parts, fail with
// APMPErrorCodeResourceLimit; scans of long texts are charged against the instruction limit
// (work_meter.h).
//
// Thread safety: the table holds plain functions without state. The locale-dependent case
// mappings read the current locale at each call.
#pragma once

#include <string>
#include <unordered_map>

#include "analytics/script/string_command_evaluator.h"

// The handler table of APMPStringCommandEvaluator, keyed by the APMPStringCommand... names.
std::unordered_map<std::u16string, APMPStringCommandEvaluator::Handler> APMPStringMethodHandlers();
