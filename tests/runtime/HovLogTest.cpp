#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/HovLog.h"
#include "tests/fakes/LogCapture.h"

namespace {

// Lines received by a log function that a test registers itself.
std::mutex g_ownMutex;
std::vector<std::pair<int, std::string>> g_ownLines;

void HOV_CALL OwnLogFunction(int level, const char* line) {
  std::lock_guard<std::mutex> lock(g_ownMutex);
  g_ownLines.emplace_back(level, line);
}

// The number after "cost: " in an exit line, or -1 when the line does not have that form.
long long CostOf(const std::string& line, const std::string& name) {
  const std::string head = "[hov] exit " + name + ", cost: ";
  if (line.compare(0, head.size(), head) != 0 || line.size() == head.size()) {
    return -1;
  }
  long long cost = 0;
  for (size_t i = head.size(); i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') {
      return -1;
    }
    cost = cost * 10 + (line[i] - '0');
  }
  return cost;
}

// The text mode of the Windows runtime writes a newline as CR LF.
std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// Waits on the wall clock, not on a timer: returns once WallClockMs() has reached ms.
void WaitForWallClock(int64_t ms) {
  while (WallClockMs() < ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Tests that change the log function put the built-in printer back.
class HovLogTest : public ::testing::Test {
 protected:
  void TearDown() override { HovLogger::GetInstance()->RegisterLogger(&HovLogger::BuiltinPrinter); }
};

TEST_F(HovLogTest, LineIsPrefixAndFormattedMessageAtTheGivenLevel) {
  LogCapture capture;
  HovLog(2, "value %d and %s", 42, "text");
  HovLog(3, "res:%d", -2147024891);
  HovLog(4, "%s", "");
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].text, "[hov] value 42 and text");
  EXPECT_EQ(lines[1].level, 3);
  EXPECT_EQ(lines[1].text, "[hov] res:-2147024891");
  EXPECT_EQ(lines[2].level, 4);
  EXPECT_EQ(lines[2].text, "[hov] ");
  EXPECT_EQ(lines[0].thread, std::this_thread::get_id());
}

TEST_F(HovLogTest, MessageIsCutAt1017Characters) {
  std::string message;
  for (int i = 0; i < 2000; ++i) {
    message.push_back(static_cast<char>('a' + i % 26));
  }
  LogCapture capture;
  HovLog(2, "%s", message.c_str());
  HovLog(2, "%s", message.substr(0, 1017).c_str());
  HovLog(2, "%s", message.substr(0, 1018).c_str());
  std::vector<std::string> texts = capture.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "[hov] " + message.substr(0, 1017));
  EXPECT_EQ(texts[0].size(), 1023u);
  EXPECT_EQ(texts[1], texts[0]);
  EXPECT_EQ(texts[2], texts[0]);
}

TEST_F(HovLogTest, BuiltinPrinterWritesLevel2ToStdoutAndHigherLevelsToStderr) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HovLogger::BuiltinPrinter(2, "two");
  HovLogger::BuiltinPrinter(3, "three");
  HovLogger::BuiltinPrinter(4, "four");
  HovLogger::BuiltinPrinter(2, nullptr);
  HovLogger::BuiltinPrinter(4, nullptr);
  std::string out = WithoutCarriageReturns(testing::internal::GetCapturedStdout());
  std::string err = WithoutCarriageReturns(testing::internal::GetCapturedStderr());
  EXPECT_EQ(out, "two\n");
  EXPECT_EQ(err, "three\nfour\n");
}

TEST_F(HovLogTest, RegisteredBuiltinPrinterPrintsWholeLines) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HovLogger::GetInstance()->RegisterLogger(&HovLogger::BuiltinPrinter);
  HovLog(2, "progress %d", 1);
  HovLog(3, "waveInOpen failed, res:%d", 11);
  HovLog(4, "stop timer thread error: %s", "no timer thread running");
  std::string out = WithoutCarriageReturns(testing::internal::GetCapturedStdout());
  std::string err = WithoutCarriageReturns(testing::internal::GetCapturedStderr());
  EXPECT_EQ(out, "[hov] HovLogger::RegisterLogger\n[hov] progress 1\n");
  EXPECT_EQ(err,
            "[hov] waveInOpen failed, res:11\n"
            "[hov] stop timer thread error: no timer thread running\n");
}

TEST_F(HovLogTest, NullLogFunctionSilencesEverythingIncludingTheRegistrationLine) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HovLogger::GetInstance()->RegisterLogger(nullptr);
  HovLog(2, "progress");
  HovLog(3, "failure");
  HovLog(4, "notice");
  { ScopeTrace trace("Silent::Scope"); }
  HovLogger::GetInstance()->Log(2, "[hov] finished line");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(HovLogTest, RegistrationLineIsTheFirstLineANewFunctionReceives) {
  {
    std::lock_guard<std::mutex> lock(g_ownMutex);
    g_ownLines.clear();
  }
  HovLogger::GetInstance()->RegisterLogger(&OwnLogFunction);
  HovLog(3, "after");
  std::lock_guard<std::mutex> lock(g_ownMutex);
  ASSERT_EQ(g_ownLines.size(), 2u);
  EXPECT_EQ(g_ownLines[0], std::make_pair(2, std::string("[hov] HovLogger::RegisterLogger")));
  EXPECT_EQ(g_ownLines[1], std::make_pair(3, std::string("[hov] after")));
}

TEST_F(HovLogTest, LogHandsTheFinishedLineOverUnchanged) {
  LogCapture capture;
  HovLogger::GetInstance()->Log(4, "no prefix added %d");
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].text, "no prefix added %d");
}

TEST_F(HovLogTest, LinesFromManyThreadsArriveWhole) {
  LogCapture capture;
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        HovLog(2, "thread %d line %d", t, i);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(capture.Lines().size(), static_cast<size_t>(kThreads * kLines));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(capture.Count("[hov] thread " + std::to_string(t) + " line 199"), 1);
  }
}

TEST(WallClockMsTest, FollowsTheSystemClock) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::system_clock;
  int64_t before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  int64_t wall = WallClockMs();
  int64_t after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  EXPECT_LE(before, wall);
  EXPECT_LE(wall, after);
}

TEST_F(HovLogTest, ScopeTraceBracketsTheScopeWithEntryAndExitLines) {
  LogCapture capture;
  char name[] = "Some::Operation";
  {
    ScopeTrace trace(name);
    std::strcpy(name, "Changed::Later");  // the trace keeps its own copy
    HovLog(2, "inside");
  }
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "[hov] entry Some::Operation");
  EXPECT_EQ(lines[1].text, "[hov] inside");
  EXPECT_GE(CostOf(lines[2].text, "Some::Operation"), 0) << lines[2].text;
  for (const LogLine& line : lines) {
    EXPECT_EQ(line.level, 2);
  }
}

TEST_F(HovLogTest, FastScopeCostsZeroMilliseconds) {
  LogCapture capture;
  // A scope may straddle a millisecond tick of the wall clock; most of these cannot.
  constexpr int kScopes = 50;
  for (int i = 0; i < kScopes; ++i) {
    ScopeTrace trace("Fast::Scope");
  }
  std::vector<std::string> texts = capture.Texts();
  ASSERT_EQ(texts.size(), 2u * kScopes);
  int zeroCosts = 0;
  for (int i = 0; i < kScopes; ++i) {
    EXPECT_EQ(texts[2 * i], "[hov] entry Fast::Scope");
    long long cost = CostOf(texts[2 * i + 1], "Fast::Scope");
    EXPECT_GE(cost, 0) << texts[2 * i + 1];
    zeroCosts += cost == 0 ? 1 : 0;
  }
  EXPECT_GT(zeroCosts, 0);
}

TEST_F(HovLogTest, ScopeCostIsTheWallClockTimeSpent) {
  LogCapture capture;
  {
    ScopeTrace trace("Slow::Scope");
    WaitForWallClock(WallClockMs() + 20);
  }
  std::vector<std::string> texts = capture.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_GE(CostOf(texts[1], "Slow::Scope"), 20) << texts[1];
}

TEST(LogThrottleTest, FirstCheckPassesAndAnImmediateSecondIsRefused) {
  LogThrottle throttle(5000);
  EXPECT_TRUE(throttle.Allow());
  EXPECT_FALSE(throttle.Allow());
  EXPECT_FALSE(throttle.Allow());
}

TEST(LogThrottleTest, PassesAgainOnceTheGapHasGoneBy) {
  LogThrottle throttle(30);
  ASSERT_TRUE(throttle.Allow());
  int64_t passed = WallClockMs();
  WaitForWallClock(passed + 30);
  EXPECT_TRUE(throttle.Allow());
}

TEST(LogThrottleTest, ZeroGapAlwaysPasses) {
  LogThrottle throttle(0);
  EXPECT_TRUE(throttle.Allow());
  EXPECT_TRUE(throttle.Allow());
}

}  // namespace
