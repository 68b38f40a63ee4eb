// Resource limits of the scripting runtime beyond the instruction count (evaluator.h). They keep
// a hostile or broken program from exhausting the stack or the memory of the process: reaching
// one fails the operation with APMPErrorCodeResourceLimit.
#pragma once

#include <cstddef>
#include <cstdint>

// Statement evaluations nested inside each other on one thread (argument evaluation, function
// calls, blocks, loops, method callbacks).
inline constexpr int APMPMaximumEvaluationDepth = 400;

// Nesting of program-tree entries converted to statements, and of containers converted to or
// from Foundation objects, joined to text or compared for equality.
inline constexpr int APMPMaximumNestingDepth = 200;

// Elements of one array value (its length, holes included).
inline constexpr size_t APMPMaximumArrayLength = 1u << 20;

// UTF-16 code units of one string value made by the runtime.
inline constexpr size_t APMPMaximumStringLength = 1u << 24;

// Memory (memory_account.h). One event may make values holding at most this many bytes more than
// were live when it started; the whole budget of instructions copying text could otherwise keep
// gigabytes alive. Reaching it fails with code 18, as the instruction limit does.
inline constexpr int64_t APMPMaximumEventMemory = int64_t{128} << 20;
// Bytes a runtime may keep alive between events (its globals, callbacks and what they hold).
// Past it after an event, the event fails with code 18 and the event editing gives up its
// program (every later event fails the same way), since what a program keeps only grows.
inline constexpr int64_t APMPMaximumRuntimeMemory = int64_t{32} << 20;
// What the account charges: per array element (the slot and a share of the value it holds), per
// property-map entry besides its name, per value besides its contents, and the strings below
// this many code units are not charged on their own (their holder's element or entry covers
// them).
inline constexpr int64_t APMPMemoryPerElement = 64;
inline constexpr int64_t APMPMemoryPerEntry = 128;
inline constexpr int64_t APMPMemoryPerValue = 64;
inline constexpr size_t APMPMemoryChargedStringLength = 64;

// Code units converted for the host by one call (setParamValue, setEventName, logEvent), and
// values reached by it: a value reached twice through shared references counts twice, so that a
// DAG of a few small arrays cannot expand into gigabytes. Past either the call fails with
// APMPErrorCodeResourceLimit. (Event parameters are short texts and small lists.)
inline constexpr size_t APMPMaximumHostConversionSize = 1u << 20;
inline constexpr size_t APMPMaximumHostConversionValues = 1u << 16;

// Events that the callbacks may create for one input event (each is stored like a logged event).
// The next logEvent fails with code 18.
inline constexpr size_t APMPMaximumCreatedEvents = 100;
// The parameters of all events created for one input event, counted as in a host conversion.
inline constexpr size_t APMPMaximumCreatedEventsSize = 1u << 21;
