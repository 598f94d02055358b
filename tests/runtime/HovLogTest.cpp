// Log lines: their form, where the built-in printer puts them, scope traces and throttles (on a
// clock the test sets).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/HovLog.h"
#include "tests/fakes/Host.h"

namespace {

// The Windows runtime writes a newline as CR LF.
std::string Unix(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

TEST(HovLogTest, LinesArePrefixedFormattedAndCut) {
  std::string longMessage;
  for (int i = 0; i < 2000; ++i) {
    longMessage.push_back(static_cast<char>('a' + i % 26));
  }
  struct Case {
    int level;
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      {2, "value 42", "[hov] value 42"},
      {3, "res:-2147024891", "[hov] res:-2147024891"},
      {4, "", "[hov] "},
      {2, longMessage, "[hov] " + longMessage.substr(0, 1017)},
      {2, longMessage.substr(0, 1018), "[hov] " + longMessage.substr(0, 1017)},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    HovLog(c.level, "%s", c.message.c_str());
    std::vector<LogLine> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, c.level);
    EXPECT_EQ(lines[0].text, c.line);
  }
}

TEST(HovLogTest, BuiltinPrinterPutsProgressOnStdoutAndFailuresAndNoticesOnStderr) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HovLogger::GetInstance()->RegisterLogger(&HovLogger::BuiltinPrinter);
  HovLog(2, "progress %d", 1);
  HovLog(3, "failed, res:%d", 11);
  HovLog(4, "notice");
  EXPECT_EQ(Unix(testing::internal::GetCapturedStdout()),
            "[hov] HovLogger::RegisterLogger\n[hov] progress 1\n");
  EXPECT_EQ(Unix(testing::internal::GetCapturedStderr()), "[hov] failed, res:11\n[hov] notice\n");
}

TEST(HovLogTest, ScopeTraceBracketsTheScopeWithItsOwnCopyOfTheName) {
  LogCapture capture;
  char name[] = "Some::Operation";
  {
    ScopeTrace trace(name);
    std::strcpy(name, "Changed::Later");
  }
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "[hov] entry Some::Operation");
  EXPECT_EQ(lines[1].text.rfind("[hov] exit Some::Operation, cost: ", 0), 0u) << lines[1].text;
}

int64_t g_nowMs = 0;
int64_t NowMs() {
  return g_nowMs;
}

TEST(LogThrottleTest, PassesOncePerGapByItsClock) {
  const std::vector<std::pair<int64_t, bool>> steps = {
      {100000, true}, {100000, false}, {104999, false}, {105000, true}, {109999, false}};
  LogThrottle throttle(5000, &NowMs);
  for (const auto& [atMs, allowed] : steps) {
    g_nowMs = atMs;
    EXPECT_EQ(throttle.Allow(), allowed) << atMs;
  }
}

}  // namespace
