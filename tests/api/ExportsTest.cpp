// The seven exports driven as a host application drives them, with the virtual sound card in
// place of the platform's devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hov/hov.h"
#include "tests/fakes/Host.h"

namespace {

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
  void Start(int status, void (*start)()) {
    int before = host::StatusCount(status);
    start();
    ASSERT_TRUE(host::WaitStatus(status, before + 1));
  }
  void StartSending() {
    Start(6, [] { HovSendStart("ABCDEF"); });
  }
  void StartReceiving(int timeoutMs = 60000) {
    static int s_timeoutMs;
    s_timeoutMs = timeoutMs;
    Start(3, [] { HovReceiveStart(s_timeoutMs, &host::OnRecv); });
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

std::atomic<int> g_secondCallbacks{0};
void HOV_CALL SecondCallback(int, const char*) {
  g_secondCallbacks++;
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
  Start(4, [] { HovReceiveStart(60000, &SecondCallback); });
  ASSERT_TRUE(AdvanceUntilResult());
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");  // the running sender was untouched
  EXPECT_EQ(g_secondCallbacks.load(), 0);       // and the running receiver's callback too
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
