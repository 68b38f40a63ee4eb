#include "analytics/script/work_meter.h"

#include <algorithm>
#include <string>

#include "analytics/script/evaluator.h"
#include "analytics/script/scope.h"

bool APMPChargeInstructions(const APMPScopeRef& scope, int64_t instructions, APMPError* error) {
  if (instructions <= 0) return true;
  // The same counter as APMPIncrementInstructionCounter(): the hidden count of the runtime's
  // root scope, or the script variable for a chain outside any runtime.
  APMPScope* owner = scope->instructionCounterScope();
  const std::u16string name(APMPInstructionCounterVariableName);
  int64_t count = 0;
  if (owner) {
    count = owner->instructionCount();
  } else {
    double number = scope->valueForName(name)->doubleValueOrError(error);
    if (*error) return false;
    count = APMPToInt32(number);
  }
  auto store = [&](int64_t value) {
    if (owner) {
      owner->setInstructionCount(static_cast<int32_t>(value));
    } else {
      scope->setValue(APMPNumberValue::numberWithDouble(static_cast<double>(value)), name);
    }
  };
  const int64_t total = count + instructions;
  if (count >= APMPInstructionCountHardLimit || total > APMPInstructionCountHardLimit) {
    if (count < APMPInstructionCountHardLimit) store(APMPInstructionCountHardLimit);
    return APMPSetError(error, APMPErrorCodeInstructionLimit);
  }
  store(total);
  return true;
}

bool APMPWorkMeter::add(size_t units, APMPError* error) {
  pending_ += units % unitsPerInstruction_;
  size_t instructions = units / unitsPerInstruction_ + pending_ / unitsPerInstruction_;
  pending_ %= unitsPerInstruction_;
  if (instructions == 0) return true;
  // More than the whole limit fails the same way as the limit plus one.
  const size_t most = static_cast<size_t>(APMPInstructionCountHardLimit) + 1;
  return APMPChargeInstructions(scope_, static_cast<int64_t>(std::min(instructions, most)), error);
}

bool APMPChargeWork(const APMPScopeRef& scope, size_t units, size_t unitsPerInstruction,
                    APMPError* error) {
  APMPWorkMeter meter(scope, unitsPerInstruction);
  return meter.add(units, error);
}
