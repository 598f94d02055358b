// The runtime: log lines (their form, where the built-in printer puts them, scope traces and
// throttles on a clock the test sets); the timer thread on a clock the test advances by hand
// (what runs when, what is refused, what a stop drops); the bound of the worker queue in front
// of it. (Start and stop from many threads at once: the exports' stress test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/HovLog.h"
#include "runtime/TimerThread.h"
#include "runtime/WorkerThreadQueue.h"
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
      {3, "value 42", "[hov] value 42"},
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
  ASSERT_EQ(capture.Lines().size(), 2u);
  EXPECT_EQ(capture.Lines()[0].text, "[hov] entry Some::Operation");
  EXPECT_EQ(capture.Lines()[1].text.rfind("[hov] exit Some::Operation, cost: ", 0), 0u);
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

// A one-way flag that one thread opens and others wait for, with a time limit so that a broken
// test fails instead of hanging. Any thread.
struct Gate : Changes {
  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return Until([this] { return open; }, limit);
  }
  bool open = false;
};

constexpr int32_t kHourMs = 3600 * 1000;

class TimerThreadTest : public ::testing::Test {
 protected:
  TimerThreadTest() : timer([this] { return nowUs.load(); }, 3, 6) {}
  ~TimerThreadTest() override {
    std::string reason;
    timer.stopThread(&reason);
  }

  void Advance(int64_t ms) { nowUs.fetch_add(ms * 1000); }
  // Returns once the thread has run a one-shot posted now: one-shots run at once and in
  // posting order, and a pass runs every entry due at its start, so everything due by the
  // clock has run too.
  void Sync() {
    auto ran = std::make_shared<Gate>();
    ASSERT_GE(timer.addTimer(
                  0, 1, true, [ran](void*) { ran->Open(); }, nullptr),
              0);
    ASSERT_TRUE(ran->Wait());
  }
  // A task that counts its runs into *runs.
  static TimerThread::Task Counting(std::shared_ptr<std::atomic<int>> runs) {
    return [runs](void*) { runs->fetch_add(1); };
  }
  // A task that holds the thread until the test opens release (or a stop is asked for when
  // untilStop is true).
  TimerThread::Task Holding(std::shared_ptr<Gate> started, std::shared_ptr<Gate> release,
                            bool untilStop = false) {
    return [this, started, release, untilStop](void*) {
      started->Open();
      while (!release->Wait(std::chrono::milliseconds(1))) {
        if (untilStop && timer.stopRequested()) {
          return;
        }
      }
    };
  }

  std::atomic<int64_t> nowUs{1000000};
  TimerThread timer;  // at most 3 one-shots waiting, ids 0 to 5
};

TEST_F(TimerThreadTest, EntriesRunWhenTheClockSaysTheyAreDue) {
  struct Step {
    int64_t advanceMs;
    int runsAfter;
    bool wake = false;  // before the advance
  };
  struct Case {
    const char* name;
    int32_t delayMs;
    int32_t intervalMs;
    bool once;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"one-shot at once", 0, 1, true, {{0, 1}, {kHourMs, 1}}},
      // A wake runs periodic entries at once, once per wake, but not one-shots that are not due.
      {"one-shot later", 100, 1, true, {{99, 0}, {0, 0, true}, {1, 1}, {1000, 1}}},
      {"periodic, woken", kHourMs, kHourMs, false, {{0, 0}, {0, 1, true}, {0, 1}}},
      // A periodic entry runs once per interval and does not catch up missed ones.
      {"periodic", 25, 25, false, {{24, 0}, {1, 1}, {24, 1}, {1, 2}, {100, 3}, {25, 4}}},
  };
  ASSERT_TRUE(timer.startThread());
  for (const Case& c : cases) {
    auto runs = std::make_shared<std::atomic<int>>(0);
    int32_t id = timer.addTimer(c.delayMs, c.intervalMs, c.once, Counting(runs), nullptr);
    ASSERT_GE(id, 0) << c.name;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      if (c.steps[i].wake) {
        timer.wake();
      }
      Advance(c.steps[i].advanceMs);
      Sync();
      EXPECT_EQ(runs->load(), c.steps[i].runsAfter) << c.name << ", step " << i;
    }
    timer.removeTimer(id);
  }
}

TEST_F(TimerThreadTest, IdsWrapAndSkipTheOnesStillInUse) {
  ASSERT_TRUE(timer.startThread());
  auto runs = std::make_shared<std::atomic<int>>(0);
  ASSERT_EQ(timer.addTimer(kHourMs, 1, false, Counting(runs), nullptr), 0);  // keeps id 0
  for (int i = 0; i < 12; ++i) {
    const int32_t id = timer.addTimer(0, 1, true, Counting(runs), nullptr);
    EXPECT_TRUE(id > 0 && id < 6) << id;
    Sync();  // ids 1 to 5 alternate with the markers' ids
  }
  EXPECT_EQ(runs->load(), 12);
  EXPECT_EQ(timer.addTimer(-1, 1, true, Counting(runs), nullptr), -1);  // bad arguments
  EXPECT_EQ(timer.addTimer(0, 0, false, Counting(runs), nullptr), -1);
}

TEST_F(TimerThreadTest, StopEndsThePassInProgressAndDropsTheRestBeforeOnStop) {
  auto started = std::make_shared<Gate>();
  auto release = std::make_shared<Gate>();
  auto stopping = std::make_shared<Gate>();
  auto runs = std::make_shared<std::atomic<int>>(0);
  std::vector<std::string> events;  // written on the timer thread, read after the join
  ASSERT_TRUE(
      timer.startThread([&] { events.push_back("start"); },
                        [&] { events.push_back("stop " + std::to_string(runs.use_count())); }));
  ASSERT_GE(timer.addTimer(0, 1, true, Holding(started, release), nullptr), 0);
  ASSERT_TRUE(started->Wait());
  // Posted while the first pass runs: the next pass collects all three, and a stop comes
  // while its first task runs.
  ASSERT_GE(timer.addTimer(0, 1, true, Holding(stopping, std::make_shared<Gate>(), true), nullptr),
            0);
  ASSERT_GE(timer.addTimer(0, 1, true, Counting(runs), nullptr), 0);
  ASSERT_GE(timer.addTimer(0, 5, false, Counting(runs), nullptr), 0);
  release->Open();
  ASSERT_TRUE(stopping->Wait());
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(runs->load(), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"start", "stop 1"}));
  EXPECT_FALSE(timer.isRunning());
  EXPECT_EQ(timer.addTimer(0, 1, true, Counting(runs), nullptr), -1);
  // Nothing comes back with a new start.
  ASSERT_TRUE(timer.startThread());
  Sync();
  EXPECT_EQ(runs->load(), 0);
}

TEST(WorkerThreadQueueTest, AFullQueueRefusesWithALevel3LineAndAcceptsAgainOnceDrained) {
  LogCapture capture;
  WorkerThreadQueue queue(&TimerThread::SteadyUs, 2);
  ASSERT_TRUE(queue.Init());
  auto started = std::make_shared<Gate>();
  auto release = std::make_shared<Gate>();
  ASSERT_GE(queue.Post(
                [started, release](void*) {
                  started->Open();
                  release->Wait();
                },
                false),
            0);
  ASSERT_TRUE(started->Wait());
  auto ran = std::make_shared<Gate>();
  EXPECT_GE(queue.Post([](void*) {}, false), 0);
  EXPECT_GE(queue.Post([ran](void*) { ran->Open(); }, false), 0);
  EXPECT_EQ(queue.Post([](void*) {}, false), -1);
  EXPECT_EQ(capture.Count("[hov] WorkerThreadQueue::Post refused: queue full"), 1);
  EXPECT_GE(queue.Post([](void*) {}, true), 0);  // the poll is never refused
  release->Open();
  ASSERT_TRUE(ran->Wait());  // taken up by a pass: the queue has room again
  auto again = std::make_shared<Gate>();
  ASSERT_GE(queue.Post([again](void*) { again->Open(); }, false), 0);
  ASSERT_TRUE(again->Wait());
  queue.Uninit();
  // A stopped worker refuses quietly, as before HovInit.
  capture.Clear();
  EXPECT_EQ(queue.Post([](void*) {}, false), -1);
  EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
