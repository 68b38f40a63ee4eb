#include "analytics/foundation/console_log.h"

#include <gtest/gtest.h>

#include "analytics/foundation/asl_logger.h"

namespace {

TEST(ConsoleLogTest, StandardErrorGetsOneLinePerMessage) {
  ZIVConsoleLog console;
  testing::internal::CaptureStderr();
  console.logMessage(kZIVConsoleLevelWarning, "DuvUdiredururo", 41001, "two\nlines");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "<Warning> [com.rivado.measurement:DuvUdiredururo][I-ACS041001] two\\nlines\n");
}

TEST(ConsoleLogTest, LevelAndForceDecideWhatIsWritten) {
  auto console = std::make_shared<ZIVConsoleLog>();
  ZIVScopedConsoleCapture capture(console);
  EXPECT_EQ(console->level(), kZIVConsoleLevelNotice);
  console->logMessage(kZIVConsoleLevelNotice, "c", 1, "notice");
  console->logMessage(kZIVConsoleLevelInfo, "c", 2, "info is above notice");
  console->logBasic(kZIVConsoleLevelDebug, "s", "c", /*force=*/true, "I-ACS000003", "forced");
  console->logBasic(kZIVConsoleLevelDebug, "s", "c", /*force=*/false, "I-ACS000004", "dropped");
  console->setLevel(kZIVConsoleLevelDebug);
  console->logMessage(kZIVConsoleLevelDebug, "c", 5, "debug");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].code, "I-ACS000001");
  EXPECT_EQ(lines[1].message, "forced");
  EXPECT_EQ(lines[2].code, "I-ACS000005");
}

TEST(ConsoleLogTest, TheWriterDoublesPercentSignsAndTheConsoleRendersThemOnce) {
  auto console = std::make_shared<ZIVConsoleLog>();
  ZIVScopedConsoleCapture capture(console);
  APMASLLogger logger(console);
  logger.logMessage("50% of %@ and %%d", "<Tag>", 2002, 0);
  console->logBasic(kZIVConsoleLevelError, "s", "c", false, "x", "100%% and a lone % sign");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "50% of %@ and %%d");
  EXPECT_EQ(lines[0].code, "I-ACS002002");
  EXPECT_EQ(lines[0].category, "<Tag>");
  EXPECT_EQ(lines[0].level, kZIVConsoleLevelError);
  EXPECT_EQ(lines[1].message, "100% and a lone % sign");
  EXPECT_EQ(ZIVConsoleLog::MessageCodeString(-5), "I-ACS-00005");
}

}  // namespace
