#include "analytics/foundation/service_url.h"

#include <gtest/gtest.h>

#include "platform/foundation/process_info.h"

namespace {

TEST(ServiceURLTest, TheArgumentWinsOverTheEnvironment) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> environment;
    std::optional<std::string> base;
  };
  const Case cases[] = {
      {{}, std::nullopt, std::nullopt},
      {{}, "", std::nullopt},
      {{}, "http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
      {{"q", "--service-url", "http://127.0.0.1:9"}, "http://127.0.0.1:8080", "http://127.0.0.1:9"},
      {{"q", "--service-url=https://collector.quellmark.example/base/"},
       std::nullopt,
       "https://collector.quellmark.example/base"},
      {{"q", "--service-url", "ftp://x"}, "http://localhost:1", "http://localhost:1"},
      {{}, "not a url", std::nullopt},
      {{}, "http://h/x?q=1", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZIVServiceBaseURLFrom(c.arguments, c.environment), c.base)
        << c.environment.value_or("-");
  }
}

TEST(ServiceURLTest, PathAndQueryAreKept) {
  const std::optional<std::string> base = "http://127.0.0.1:5000";
  EXPECT_EQ(ZIVServiceURLWithBase("https://measurement.quellmark.example/a", base),
            "http://127.0.0.1:5000/a");
  EXPECT_EQ(ZIVServiceURLWithBase(
                "https://measurement.quellmark.example/config/app/1%3Aa?platform=macos", base),
            "http://127.0.0.1:5000/config/app/1%3Aa?platform=macos");
  EXPECT_EQ(ZIVServiceURLWithBase("https://h", base), "http://127.0.0.1:5000");
  EXPECT_EQ(ZIVServiceURLWithBase("https://h/a", std::nullopt), "https://h/a");

  fnd::ScopedProcessInfoOverride arguments({"quellmark", "--service-url", "http://[::1]:7/"});
  EXPECT_EQ(ZIVServiceURL("https://experiments.quellmark.example/sdk-exp"),
            "http://[::1]:7/sdk-exp");
}

}  // namespace
