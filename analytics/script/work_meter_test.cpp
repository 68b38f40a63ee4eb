#include "analytics/script/work_meter.h"

#include <gtest/gtest.h>

#include <string>

#include "analytics/script/evaluator.h"
#include "analytics/script/runtime.h"
#include "analytics/script/scope.h"

namespace {

TEST(WorkMeterTest, ChargesAddToTheRuntimesInstructionCount) {
  APMPRuntime runtime;
  runtime.resetInstructionCount();
  APMPScopeRef scope = runtime.getRunScope();
  APMPError error;
  EXPECT_TRUE(APMPChargeInstructions(scope, 10, &error));
  EXPECT_TRUE(APMPChargeInstructions(scope, 0, &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(runtime.getInstructionCount(), 10);

  // A meter charges one instruction per full batch of units and carries the rest over.
  APMPWorkMeter meter(scope, 4);
  EXPECT_TRUE(meter.add(3, &error));
  EXPECT_EQ(runtime.getInstructionCount(), 10);
  EXPECT_TRUE(meter.add(6, &error));  // 9 units: two batches, one unit left
  EXPECT_EQ(runtime.getInstructionCount(), 12);
  EXPECT_TRUE(meter.add(3, &error));
  EXPECT_EQ(runtime.getInstructionCount(), 13);
  EXPECT_TRUE(APMPChargeWork(scope, 7, 4, &error));  // One charge on its own drops the rest.
  EXPECT_EQ(runtime.getInstructionCount(), 14);
  EXPECT_FALSE(error);
}

TEST(WorkMeterTest, ChargingPastTheLimitFailsAndStopsAtTheLimit) {
  APMPRuntime runtime;
  runtime.resetInstructionCount();
  APMPScopeRef scope = runtime.getRunScope();
  APMPError error;
  EXPECT_TRUE(APMPChargeInstructions(scope, APMPInstructionCountHardLimit - 1, &error));
  EXPECT_FALSE(APMPChargeInstructions(scope, 2, &error));
  EXPECT_TRUE(APMPErrorHasCode(error, APMPErrorCodeInstructionLimit));
  EXPECT_EQ(runtime.getInstructionCount(), APMPInstructionCountHardLimit);

  // The next evaluation fails too, as after any instruction that reached the limit.
  APMPError next;
  APMPIncrementInstructionCounter(scope, &next);
  EXPECT_TRUE(APMPErrorHasCode(next, APMPErrorCodeInstructionLimit));

  // A charge larger than the whole limit cannot wrap around.
  APMPRuntime other;
  APMPError huge;
  APMPWorkMeter meter(other.getRunScope(), 1);
  EXPECT_FALSE(meter.add(static_cast<size_t>(-1), &huge));
  EXPECT_TRUE(APMPErrorHasCode(huge, APMPErrorCodeInstructionLimit));
}

TEST(WorkMeterTest, OutsideARuntimeTheCounterVariableIsCharged) {
  APMPScopeRef root = APMPScope::create();
  APMPScopeRef child = root->createChildScope();
  const std::u16string name(APMPInstructionCounterVariableName);
  root->addValue(APMPNumberValue::numberWithDouble(5), name);
  APMPError error;
  EXPECT_TRUE(APMPChargeInstructions(child, 3, &error));
  EXPECT_EQ(root->valueForName(name)->doubleValueOrError(&error), 8);
  EXPECT_FALSE(child->contents().hasName(name));
}

}  // namespace
