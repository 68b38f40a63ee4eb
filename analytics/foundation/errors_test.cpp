#include "analytics/foundation/errors.h"

#include <gtest/gtest.h>

#include <memory>

#include "analytics/foundation/monitor_context.h"

namespace {

TEST(ErrorsTest, ErrorCarriesDescriptionAndContextOnlyWhenNonEmpty) {
  struct Case {
    std::string description;
    std::string context;
    size_t userInfoSize;
  };
  for (const Case& c :
       {Case{"", "", 0}, Case{"bad", "", 1}, Case{"", "ctx", 1}, Case{"bad", "ctx", 2}}) {
    fnd::Error error = ziv_errorWithCode(7, c.description, c.context);
    EXPECT_EQ(error.domain(), kZIVErrorDomain);
    EXPECT_EQ(error.code(), 7);
    EXPECT_EQ(error.userInfo().size(), c.userInfoSize) << c.description << "/" << c.context;
    if (!c.description.empty()) {
      EXPECT_EQ(error.localizedDescription(), c.description);
    }
    if (!c.context.empty()) {
      EXPECT_EQ(error.userInfo().get(kZIVMonitorContextKey), fnd::Value(c.context));
    }
  }
}

TEST(ErrorsTest, SetErrorFillsOnlyANonNullOutParameterAndReturnsFalse) {
  EXPECT_FALSE(ZIVSetError(nullptr, 3, "ignored"));
  fnd::Error error;
  EXPECT_FALSE(ZIVSetErrorWithMonitorContext(&error, 3, "failed", "db"));
  EXPECT_EQ(error, ziv_errorWithCode(3, "failed", "db"));
}

TEST(ErrorsTest, AssertionsFillTheErrorWithoutContextOnlyWhenTheyFail) {
  int value = 1;
  std::shared_ptr<int> none;
  struct Case {
    const char* name;
    bool result;
  };
  fnd::Error error;
  const Case passing[] = {
      {"true", ZIVAssertTrue(true, &error, 1, "x")},
      {"not nil", ZIVAssertNotNil(fnd::Value("v"), &error, 1, "x")},
      {"not null", ZIVAssertNotNull(&value, &error, 1, "x")},
      {"not zero", ZIVAssertNotZero(-4, &error, 1, "x")},
  };
  for (const Case& c : passing) EXPECT_TRUE(c.result) << c.name;
  EXPECT_EQ(error, fnd::Error()) << "a passing check must leave the error alone";

  const Case failing[] = {
      {"true", ZIVAssertTrue(false, &error, 11, "false")},
      {"not nil", ZIVAssertNotNil(fnd::Value(), &error, 12, "nil")},
      {"not null", ZIVAssertNotNull(none, &error, 13, "null")},
      {"not zero", ZIVAssertNotZero(0, &error, 14, "zero")},
  };
  for (const Case& c : failing) EXPECT_FALSE(c.result) << c.name;
  EXPECT_EQ(error, ziv_errorWithCode(14, "zero"));
  EXPECT_FALSE(ZIVAssertTrue(false, nullptr, 1, "no out-parameter"));
}

TEST(ErrorsTest, MonitorContextStringJoinsEngineErrorContextsOnly) {
  fnd::Array contexts = {
      ZIVErrorContext(ziv_errorWithCode(1, "a", "first")),
      ZIVErrorContext(
          fnd::Error("other.domain", 1, fnd::Dictionary{{kZIVMonitorContextKey, "foreign"}})),
      fnd::Value("plain string"),
      ZIVErrorContext(ziv_errorWithCode(2, "b")),  // No context.
      fnd::Value(),
      ZIVErrorContext(ziv_errorWithCode(3, "c", "second")),
  };
  EXPECT_EQ(ZIVMonitorContextString(contexts), "first,second");
  EXPECT_EQ(ZIVMonitorContextString({}), "");
  EXPECT_EQ(ZIVMonitorContextString({fnd::Value(5)}), "");
}

}  // namespace
