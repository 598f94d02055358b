// The runtime beneath the exports: log lines (their form, where the built-in printer puts them,
// scope traces, throttles on a clock the test sets), the timer thread on a clock the test
// advances by hand (what runs when, what is refused, what a stop drops) and the bound of the
// worker queue in front of it. Then the seven exports driven as a host application drives them,
// with the virtual sound card in place of the platform's devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hov/hov.h"
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

constexpr int64_t kSecond = 48000;

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::Reset();
    HovInit(&host::OnStatus, LogCapture::Function());
    ASSERT_TRUE(host::WaitStatus(1));
  }
  void TearDown() override {
    Start(5, [] { HovReceiveStop(); });
    Start(8, [] { HovSendStop(); });
    HovUninit();
  }
  // HovSendUpdate, counted for SyncWorker.
  void Update(const char* key) {
    ++m_updates;
    HovSendUpdate(key);
  }
  // Waits until the worker has run every task posted before this call: tasks run in posting
  // order, and every update task leaves one line.
  void SyncWorker() {
    Update("");
    ASSERT_TRUE(log.WaitFor("[hov] SendUpdate called", m_updates));
  }
  // Plays air until count reception results have arrived (or 20 s of air have passed).
  bool AdvanceUntilResult(size_t count = 1) {
    for (int i = 0; i < 200 && !host::WaitResults(count, std::chrono::milliseconds(1)); ++i) {
      device.Advance(kSecond / 10);
    }
    return host::WaitResults(count, std::chrono::milliseconds(2000));
  }
  void Start(int status, const std::function<void()>& start) {
    int before = host::StatusCount(status);
    start();
    ASSERT_TRUE(host::WaitStatus(status, before + 1));
  }
  void StartSending() {
    Start(6, [] { HovSendStart("ABCDEF"); });
  }
  void StartReceiving(int timeoutMs = 60000) {
    Start(3, [timeoutMs] { HovReceiveStart(timeoutMs, &host::OnRecv); });
  }

  LogCapture log;
  VirtualAudioDevice device;
  int m_updates = 0;
};

TEST_F(ExportsTest, KeySentIsReceivedOnTheWorkerAndAnUpdateAfterTheQueuedSecondsAndTheFade) {
  StartSending();
  device.Advance(kSecond / 2);  // the signal is already playing when capture starts
  StartReceiving();
  ASSERT_TRUE(AdvanceUntilResult());
  std::vector<RecvResult> results = host::Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 0);
  EXPECT_EQ(results[0].key, "ABCDEF");
  EXPECT_NE(results[0].thread, std::this_thread::get_id());
  EXPECT_EQ(log.Count("[hov] recvDataCallback called, code:0, shareKey:ABxxxx"), 1);
  // The next pass retired the receiver: a new start succeeds without a stop.
  Update("QWERTY");
  SyncWorker();
  EXPECT_FALSE(device.InputOpen());
  // Five seconds were queued before the update; then the half-second fade.
  device.Advance(5 * kSecond + kSecond / 2);
  StartReceiving();
  ASSERT_TRUE(AdvanceUntilResult(2));
  EXPECT_EQ(host::Results()[1].key, "QWERTY");
}

TEST_F(ExportsTest, TimeOutsReportMinusTwoWithEmptyTextAndANullCallbackNothing) {
  StartReceiving(0);
  ASSERT_TRUE(host::WaitResults(1));
  SyncWorker();
  StartReceiving(-5000);
  ASSERT_TRUE(host::WaitResults(2));
  for (const RecvResult& result : host::Results()) {
    EXPECT_EQ(result.code, -2);
    EXPECT_EQ(result.key, "");
  }
  SyncWorker();
  Start(3, [] { HovReceiveStart(0, nullptr); });
  EXPECT_TRUE(log.WaitFor("[hov] Invalid Recv Packet", 3));
  EXPECT_EQ(host::Results().size(), 2u);
}

// Bad keys, then second starts, are refused and leave the running sessions alone.
TEST_F(ExportsTest, RefusedStartsGiveStatusSevenAndFourAndChangeNothing) {
  const std::string longKey(10000, 'A');
  for (const char* key : {static_cast<const char*>(nullptr), "", "abcdef", "ABCDE", "ABCDEFG",
                          "ABC DE", longKey.c_str()}) {
    HovSendStart(key);
  }
  ASSERT_TRUE(host::WaitStatus(7, 7));
  EXPECT_FALSE(device.OutputOpen());
  StartSending();
  Start(7, [] { HovSendStart("QWERTY"); });
  StartReceiving();
  // Neither the running receiver's callback is replaced nor the running sender's key.
  Start(4, [] {
    HovReceiveStart(60000, [](int, const char*) { ADD_FAILURE() << "second callback"; });
  });
  ASSERT_TRUE(AdvanceUntilResult());
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");
}

// Stops report with nothing running; a receive stopped before its result calls nothing back.
TEST_F(ExportsTest, StopsReportAlwaysAndAStoppedReceiveCallsNothingBack) {
  HovSendStop();
  HovReceiveStop();
  Update("ABCDEF");  // no sender: no status
  SyncWorker();
  EXPECT_EQ(host::Statuses(), (std::vector<int>{1, 8, 5}));
  StartSending();
  StartReceiving();
  Start(5, [] { HovReceiveStop(); });
  device.Advance(4 * kSecond);
  SyncWorker();
  EXPECT_TRUE(host::Results().empty());
  EXPECT_FALSE(device.InputOpen());
}

TEST_F(ExportsTest, DeviceFailuresGiveStatusSevenAndFourAndLeaveNothingBehind) {
  for (VirtualAudioDevice::OpenFault fault :
       {VirtualAudioDevice::kFail, VirtualAudioDevice::kThrow}) {
    device.SetOpenFault(fault);
    Start(7, [] { HovSendStart("ABCDEF"); });
    Start(4, [] { HovReceiveStart(1000, &host::OnRecv); });
    device.SetOpenFault(VirtualAudioDevice::kNone);
    StartSending();
    StartReceiving();
    HovSendStop();
    HovReceiveStop();
    SyncWorker();
    EXPECT_FALSE(device.OutputOpen() || device.InputOpen());
  }
}

TEST_F(ExportsTest, UninitStopsRunningSessionsWithOneNotice) {
  // What runs, and the level 4 lines HovUninit leaves.
  const std::pair<int, std::vector<std::string>> cases[] = {
      {3, {"[hov] HovUninit stopped a running sender and receiver"}},
      {1, {"[hov] HovUninit stopped a running sender"}},
      {2, {"[hov] HovUninit stopped a running receiver"}},
      {0, {}},
  };
  for (const auto& [running, notices] : cases) {
    (running & 1) != 0 ? StartSending() : void();
    (running & 2) != 0 ? StartReceiving() : void();
    log.Clear();
    HovUninit();
    EXPECT_FALSE(device.OutputOpen() || device.InputOpen());
    std::vector<std::string> texts;
    for (const LogLine& line : log.Lines()) {
      line.level == 4 ? texts.push_back(line.text) : void();
    }
    EXPECT_EQ(texts, notices);
    HovInit(&host::OnStatus, LogCapture::Function());
  }
}

// A sender alone ticks only when the tick's line is due (every 5 s); what its device meets is
// logged when the device tells of it, before that tick.
TEST_F(ExportsTest, ASendersDeviceLinesDoNotWaitForItsNextTick) {
  const std::string tick = "[hov] hov tick called";
  const std::string news = "[hov] virtual playback lost";
  const int ticks = log.Count(tick);
  StartSending();
  ASSERT_TRUE(log.WaitFor(tick, ticks + 1));  // the next tick line is 5 s away now
  device.News("virtual playback lost");
  ASSERT_TRUE(log.WaitFor(news));
  const std::vector<LogLine> lines = log.Lines();
  auto is = [](const std::string& text) {
    return [text](const LogLine& l) { return l.text == text; };
  };
  EXPECT_EQ(
      std::count_if(lines.begin(), std::find_if(lines.begin(), lines.end(), is(news)), is(tick)),
      ticks + 1);
}

// The host's log function calls an export that logs the very line it reacts to.
void HOV_CALL StopOnItsOwnTrace(int level, const char* line) {
  LogCapture::Function()(level, line);
  if (std::string(line) == "[hov] entry HovReceiveStop") {
    HovReceiveStop();
  }
}

// Exports called from the library's callbacks: from the receive callback (on the worker)
// HovUninit is refused and HovInit finds the worker running; from the log function an export is
// not entered again, and the inner call's own lines are dropped.
TEST_F(ExportsTest, ExportsCalledFromCallbacksNeitherStopTheWorkerNorReenter) {
  HovReceiveStart(0, [](int, const char*) {
    HovUninit();
    HovInit(&host::OnStatus, LogCapture::Function());
  });
  ASSERT_TRUE(host::WaitStatus(1, 2));
  SyncWorker();  // still running
  HovInit(&host::OnStatus, &StopOnItsOwnTrace);
  HovReceiveStop();
  ASSERT_TRUE(host::WaitStatus(5, 2));
  HovInit(&host::OnStatus, LogCapture::Function());
  SyncWorker();
  EXPECT_EQ(host::StatusCount(5), 2);
  EXPECT_EQ(log.Count("[hov] entry HovReceiveStop"), 1);
}

TEST(ExportsWithoutInitTest, CallsWithoutAWorkerAndANullLogFunctionAreSilent) {
  host::Reset();
  HovUninit();  // whatever ran before: the worker is stopped now
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HovInit(nullptr, HovLogCallback{});
  HovUninit();
  HovSendStart("ABCDEF");
  HovReceiveStart(0, &host::OnRecv);
  HovSendStop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(host::Statuses().empty());
  LogCapture restore;  // puts a log function back for the tests that follow
}

// Many host threads at once, HovInit and HovUninit among the calls: nothing crashes or hangs,
// and the next session works as on a fresh library.
TEST_F(ExportsTest, SevenExportsFromFourThreadsInRandomOrder) {
  void (*const calls[])() = {
      [] { HovInit(&host::OnStatus, LogCapture::Function()); },
      [] { HovUninit(); },
      [] { HovSendStart("ABCDEF"); },
      [] { HovSendUpdate("QWERTY"); },
      [] { HovSendStop(); },
      [] { HovReceiveStart(0, &host::OnRecv); },
      [] { HovReceiveStop(); },
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([t, &calls] {
      std::mt19937 random(1234u + t);
      for (int i = 0; i < 400; ++i) {
        calls[random() % 7]();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  HovInit(&host::OnStatus, LogCapture::Function());
  TearDown();
  SetUp();
  StartSending();
  StartReceiving();
  ASSERT_TRUE(AdvanceUntilResult());
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");
}

}  // namespace
