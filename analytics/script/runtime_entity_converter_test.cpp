#include "analytics/script/runtime_entity_converter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "analytics/script/array_value.h"
#include "analytics/script/map_value.h"
#include "analytics/script/object_manager.h"
#include "analytics/script/runtime_limits.h"
#include "analytics/script/scope.h"
#include "analytics/script/script_test_support.h"

namespace {

using script_test::Entity;
using script_test::NewEntity;
using script_test::Outcome;
using script_test::StatementEntity;
using script_test::StringEntity;

std::string Convert(const Entity& entity) {
  APMPError error;
  APMPValueRef value = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, &error);
  return Outcome(value, error);
}

TEST(RuntimeEntityConverterTest, EntitiesByType) {
  Entity codeless = NewEntity(4);
  fnd::Array children = {fnd::Value(std::shared_ptr<fnd::Record>(StringEntity("a")))};
  NANOSetArray(codeless.get(), APMPBRuntimeEntity::kChildren, &children);
  Entity numberWithoutValue = NewEntity(2);
  struct Case {
    const char* name;
    Entity entity;
    const char* outcome;
  } cases[] = {
      {"string", StringEntity("x"), "'x'"},
      {"string without value", NewEntity(1), "''"},
      {"number", script_test::NumberEntity(-2.5), "-2.5"},
      {"number without value", numberWithoutValue, "NaN"},
      {"boolean", script_test::BooleanEntity(true), "true"},
      {"boolean without value", NewEntity(3), "false"},
      {"statement", StatementEntity("15", {StringEntity("x")}), "<statement 15>"},
      {"statement without code", codeless, "error 14"},
      {"type 0", NewEntity(0), "error 12"},
      {"type 5", NewEntity(5), "error 12"},
      {"bad argument", StatementEntity("7", {StringEntity("a"), NewEntity(9)}), "error 12"},
  };
  for (const auto& c : cases) EXPECT_EQ(Convert(c.entity), c.outcome) << c.name;

  APMPError error;
  auto statement =
      APMPCast<APMPStatementValue>(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
          *script_test::Program("(Assign \"x\" (Get \"y\") 3)")[0], &error));
  ASSERT_TRUE(statement);
  EXPECT_EQ(statement->functionName(), u"3");
  ASSERT_EQ(statement->arguments().size(), 3u);
  EXPECT_EQ(script_test::Show(statement->arguments()[1]), "<statement 15>");
  EXPECT_EQ(script_test::Show(statement->arguments()[2]), "3");
}

TEST(RuntimeEntityConverterTest, DeepTreesFailInsteadOfRecursingWithoutEnd) {
  Entity entity = StringEntity("leaf");
  for (int i = 0; i < APMPMaximumNestingDepth + 1; ++i) entity = StatementEntity("53", {entity});
  EXPECT_EQ(Convert(entity), "error 19");
  Entity shallow = StringEntity("leaf");
  for (int i = 0; i < 50; ++i) shallow = StatementEntity("53", {shallow});
  EXPECT_EQ(Convert(shallow), "<statement 53>");
}

TEST(RuntimeEntityConverterTest, FoundationObjectsToValues) {
  APMPRuntime runtime;
  APMPScopeRef scope = runtime.getRunScope();
  fnd::Dictionary nested;
  nested.set(fnd::Value("k"), fnd::Value(fnd::Array{fnd::Value(1), fnd::Value("two")}));
  nested.set(fnd::Value(5), fnd::Value(true));
  nested.set(fnd::Value(2.5), fnd::Value(nullptr));
  struct Case {
    fnd::Value object;
    const char* outcome;
  } cases[] = {
      {fnd::Value(), "null"},
      {fnd::Value("s"), "'s'"},
      {fnd::Value(true), "true"},
      {fnd::Value(int64_t{7}), "7"},
      {fnd::Value(1.5), "1.5"},
      {fnd::Value(nested), "{k:[1,'two'],5:true,2.5:null}"},
      {fnd::Value(fnd::Data{1, 2}), "error 13"},
      {fnd::Value(fnd::Date{1}), "error 13"},
      {fnd::Value(fnd::Array{fnd::Value(1), fnd::Value(fnd::Data{})}), "error 13"},
  };
  for (const auto& c : cases) {
    APMPError error;
    APMPValueRef value =
        APMPRuntimeEntityConverter::runtimeValueFromNSObject(c.object, scope, &error);
    EXPECT_EQ(Outcome(value, error), c.outcome) << c.object.description();
  }
  // Containers are made through the collector.
  APMPError error;
  APMPValueRef map =
      APMPRuntimeEntityConverter::runtimeValueFromNSObject(fnd::Value(nested), scope, &error);
  bool tracked = false;
  for (const auto& object : runtime.objectManager().trackedObjects()) tracked |= object == map;
  EXPECT_TRUE(tracked);
}

TEST(RuntimeEntityConverterTest, ValuesToFoundationObjects) {
  auto map = std::make_shared<APMPMapValue>();
  map->setValue(APMPNull(), u"a");
  map->setValue(APMPNumberValue::numberWithDouble(1), u"b");
  map->setValue(APMPUndefined(), u"c");
  auto array = std::make_shared<APMPArrayValue>(APMPValueList{
      APMPStringValue::stringWithUTF8("12"), APMPNull(), APMPArrayValue::emptyValue(),
      APMPBooleanValue::booleanValueWithBool(true), APMPStringValue::stringWithUTF8("x")});
  auto failing = std::make_shared<APMPMapValue>();
  failing->setValue(APMPNumberValue::numberWithDouble(1), u"first");
  failing->setValue(APMPControlValue::breakValue(), u"bad");
  failing->setValue(APMPNumberValue::numberWithDouble(2), u"never");
  struct Case {
    APMPValueRef value;
    const char* object;  // Description, or "none".
    const char* error;
  } cases[] = {
      {APMPNull(), "none", ""},
      {APMPUndefined(), "\"\"", ""},
      {APMPBooleanValue::booleanValueWithBool(true), "1.0", ""},
      {APMPStringValue::stringWithUTF8("12"), "12.0", ""},
      {APMPStringValue::stringWithUTF8(""), "0.0", ""},
      {APMPStringValue::stringWithUTF8("abc"), "\"abc\"", ""},
      {APMPNumberValue::numberWithDouble(std::nan("")), "\"NaN\"", ""},
      {std::make_shared<APMPFunctionValue>(u"f"), "\"f\"", ""},
      {std::make_shared<APMPStatementValue>(u"1", APMPValueList{}), "none", "error 5"},
      {map, "{\"b\": 1.0, \"c\": \"\"}", ""},
      {array, "[12.0, \"\", 1.0, \"x\"]", ""},
      {failing, "{\"first\": 1.0}", "error 5"},
  };
  for (const auto& c : cases) {
    APMPError error;
    std::optional<fnd::Value> object =
        APMPRuntimeEntityConverter::objectFromRuntimeValue(c.value, &error);
    EXPECT_EQ(object ? object->description() : "none", c.object) << script_test::Show(c.value);
    EXPECT_EQ(error ? Outcome(nullptr, error) : "", c.error) << script_test::Show(c.value);
  }
}

TEST(RuntimeEntityConverterTest, CyclicValuesFailToConvert) {
  auto map = std::make_shared<APMPMapValue>();
  map->setValue(map, u"self");
  APMPError error;
  APMPRuntimeEntityConverter::objectFromRuntimeValue(map, &error);
  EXPECT_TRUE(APMPErrorHasCode(error, APMPErrorCodeResourceLimit));
  map->mutablePropertyMap().clear();
}

}  // namespace
