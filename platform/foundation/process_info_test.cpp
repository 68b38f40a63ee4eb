#include "platform/foundation/process_info.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fnd {
namespace {

TEST(ProcessInfoTest, ArgumentsAreReplaceable) {
  ProcessInfo info;
  EXPECT_TRUE(info.arguments().empty());
  const char* argv[] = {"/opt/app/quellmark", "-DEVDebugEnabled", "--bundle"};
  info.setArguments(3, argv);
  EXPECT_EQ(info.arguments().size(), 3u);
  EXPECT_TRUE(info.hasArgument("-DEVDebugEnabled"));
  EXPECT_FALSE(info.hasArgument("-DEVDebug"));
  EXPECT_EQ(info.processName(), "quellmark");
  info.setArguments(std::vector<std::string>{});
  EXPECT_FALSE(info.processName().empty());  // Falls back to the executable's name.
}

TEST(ProcessInfoTest, OperatingSystemVersion) {
  struct Case {
    const char* text;
    OperatingSystemVersion expected;
  };
  const Case cases[] = {
      {"6.1.0-18-amd64", {6, 1, 0}}, {"5.15", {5, 15, 0}},   {"10.15.7", {10, 15, 7}},
      {"4.4.302+", {4, 4, 302}},     {"garbage", {0, 0, 0}}, {"", {0, 0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProcessInfo::ParseVersion(c.text), c.expected) << c.text;
  }
  ProcessInfo info;
  // A macOS release, never the kernel's version.
  const OperatingSystemVersion real = info.operatingSystemVersion();
  EXPECT_EQ(real, kDefaultOperatingSystemVersion);
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 26.1 (Build 25B78)");
  info.setOperatingSystemVersion({10, 15, 7}, "Version 10.15.7 (Build 19H2)");
  EXPECT_EQ(info.operatingSystemVersion(), (OperatingSystemVersion{10, 15, 7}));
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 10.15.7 (Build 19H2)");
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({10, 15, 0}));
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({10, 15, 7}));
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({10, 15, 8}));
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({11, 0, 0}));
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({9, 99, 99}));
  info.resetOperatingSystemVersion();
  EXPECT_EQ(info.operatingSystemVersion(), real);

  EXPECT_TRUE(info.setOperatingSystemVersionText("14.2"));
  EXPECT_EQ(info.operatingSystemVersion(), (OperatingSystemVersion{14, 2, 0}));
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 14.2");
  EXPECT_TRUE(info.setOperatingSystemVersionText("11.0.3"));
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 11.0.3");
  for (const char* bad : {"", "x", "0.9", "-1"}) {
    EXPECT_FALSE(info.setOperatingSystemVersionText(bad)) << bad;
  }
  EXPECT_EQ(info.operatingSystemVersion(), (OperatingSystemVersion{11, 0, 3}));
}

TEST(ProcessInfoTest, EnvironmentAndMachine) {
  ProcessInfo info;
  setenv("FND_PROCESS_INFO_TEST", "a=b", 1);
  EXPECT_EQ(info.environmentValue("FND_PROCESS_INFO_TEST"), "a=b");
  EXPECT_EQ(info.environment().get("FND_PROCESS_INFO_TEST"), Value("a=b"));
  unsetenv("FND_PROCESS_INFO_TEST");
  EXPECT_FALSE(info.environmentValue("FND_PROCESS_INFO_TEST"));
  EXPECT_GT(info.processorCount(), 0u);
  EXPECT_GT(info.physicalMemory(), 0u);
  EXPECT_GT(info.processIdentifier(), 0);
  EXPECT_FALSE(info.hostName().empty());
  EXPECT_EQ(&ProcessInfo::processInfo(), &ProcessInfo::processInfo());
}

TEST(ProcessInfoTest, ScopedOverrideRestoresTheSharedInstance) {
  ProcessInfo& shared = ProcessInfo::processInfo();
  const auto arguments = shared.arguments();
  const auto version = shared.operatingSystemVersion();
  {
    ScopedProcessInfoOverride scoped({"app", "-flag"}, {10, 15, 0}, "Version 10.15");
    EXPECT_TRUE(shared.hasArgument("-flag"));
    EXPECT_EQ(shared.operatingSystemVersion(), (OperatingSystemVersion{10, 15, 0}));
    {
      ScopedProcessInfoOverride inner({"app"});
      EXPECT_FALSE(shared.hasArgument("-flag"));
      EXPECT_EQ(shared.operatingSystemVersionString(), "Version 10.15");
    }
    EXPECT_TRUE(shared.hasArgument("-flag"));
  }
  EXPECT_EQ(shared.arguments(), arguments);
  EXPECT_EQ(shared.operatingSystemVersion(), version);
}

}  // namespace
}  // namespace fnd
