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
#include "receive/HovRecv.h"
#include "send/HovSend.h"
#include "tests/fakes/HostCallbacks.h"
#include "tests/fakes/LogCapture.h"
#include "tests/fakes/VirtualAudioDevice.h"

namespace {

constexpr int64_t kSecond = 48000;

int CountOf(const std::vector<int>& v, int code) {
  return static_cast<int>(std::count(v.begin(), v.end(), code));
}

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::Reset();
    HovInit(&host::OnStatus, LogCapture::Function());
    ASSERT_TRUE(host::WaitStatus(1));
  }

  void TearDown() override {
    int stops = CountOf(host::Statuses(), 5);
    int sendStops = CountOf(host::Statuses(), 8);
    HovReceiveStop();
    HovSendStop();
    EXPECT_TRUE(host::WaitStatus(5, stops + 1));
    EXPECT_TRUE(host::WaitStatus(8, sendStops + 1));
    HovUninit();
  }

  // HovSendUpdate, counted so that SyncWorker knows how many of its tasks to wait for.
  void SendUpdate(const char* key) {
    ++updates;
    HovSendUpdate(key);
  }

  // Waits until the worker has run every task posted before this call: tasks run in posting
  // order, so the last of the update tasks posted so far marks the point.
  void SyncWorker() {
    SendUpdate("");
    ASSERT_TRUE(log.WaitFor("[hov] SendUpdate called", updates));
  }

  // Plays air until the first reception result arrives (or 20 s of air have passed).
  bool AdvanceUntilResult(size_t count = 1, bool second = false) {
    for (int i = 0; i < 200; ++i) {
      device.Advance(kSecond / 10);
      if (host::WaitResults(count, second, std::chrono::milliseconds(1))) {
        return true;
      }
    }
    return host::WaitResults(count, second, std::chrono::milliseconds(2000));
  }

  void StartSending(const char* key) {
    int started = CountOf(host::Statuses(), 6);
    HovSendStart(key);
    ASSERT_TRUE(host::WaitStatus(6, started + 1));
  }

  void StartReceiving(int timeoutMs, HovRecvCallback callback = &host::OnRecv) {
    int started = CountOf(host::Statuses(), 3);
    HovReceiveStart(timeoutMs, callback);
    ASSERT_TRUE(host::WaitStatus(3, started + 1));
  }

  LogCapture log;
  VirtualAudioDevice device;
  int updates = 0;
};

TEST_F(ExportsTest, KeySentIsReceivedWithMaskedLogLine) {
  StartSending("ABCDEF");
  device.Advance(kSecond / 2);  // the signal is already playing when capture starts
  StartReceiving(60000);
  ASSERT_TRUE(AdvanceUntilResult());
  auto results = host::Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 0);
  EXPECT_EQ(results[0].key, "ABCDEF");
  EXPECT_EQ(log.Count("[hov] recvDataCallback called, code:0, shareKey:ABxxxx"), 1);
  EXPECT_EQ(log.Count("[hov] ShareKeyEncoder Decode Success"), 1);
  // The result arrives on the worker thread, the thread of the status codes 3 to 8.
  EXPECT_EQ(results[0].thread, host::StatusThread(host::Statuses().size() - 1));
  EXPECT_NE(results[0].thread, std::this_thread::get_id());

  // The next pass retired the receiver: a new start succeeds without a stop.
  SyncWorker();
  EXPECT_FALSE(device.InputOpen());
  StartReceiving(60000);
}

TEST_F(ExportsTest, KeyUpdateIsHeardAfterTheQueuedSecondsAndTheCrossFade) {
  StartSending("ABCDEF");
  SendUpdate("QWERTY");
  SyncWorker();
  EXPECT_EQ(log.Count("[hov] HovSend Begin Update sharekey to QWERTY"), 1);
  // Five seconds were queued before the update; then the half-second fade.
  device.Advance(5 * kSecond + kSecond / 2);
  StartReceiving(60000);
  ASSERT_TRUE(AdvanceUntilResult());
  EXPECT_EQ(host::Results()[0].key, "QWERTY");
}

TEST_F(ExportsTest, TimeOutReportsMinusTwoWithEmptyText) {
  StartReceiving(0);
  ASSERT_TRUE(host::WaitResults(1));
  auto results = host::Results();
  EXPECT_EQ(results[0].code, -2);
  EXPECT_EQ(results[0].key, "");
  EXPECT_FALSE(results[0].nullKey);
  EXPECT_TRUE(log.WaitFor("[hov] Invalid Recv Packet"));
  EXPECT_EQ(log.Count("[hov] recvDataCallback called, code:-2, shareKey:"), 1);
  // Negative time-outs time out the same way, on a new receiver.
  SyncWorker();
  StartReceiving(-5000);
  ASSERT_TRUE(host::WaitResults(2));
  EXPECT_EQ(host::Results()[1].code, -2);
}

TEST_F(ExportsTest, ReceiveStopBeforeTheResultMeansNoCallback) {
  StartSending("ABCDEF");
  StartReceiving(60000);
  HovReceiveStop();
  ASSERT_TRUE(host::WaitStatus(5));
  device.Advance(4 * kSecond);
  SyncWorker();
  EXPECT_TRUE(host::Results().empty());
  EXPECT_FALSE(device.InputOpen());
  EXPECT_TRUE(log.Contains("[hov] HovRecvListener::InstallRecvDataCallback null"));
}

TEST_F(ExportsTest, SecondStartsAreRefusedAndLeaveTheRunningSessionsAlone) {
  StartSending("ABCDEF");
  HovSendStart("QWERTY");
  ASSERT_TRUE(host::WaitStatus(7));
  EXPECT_TRUE(log.Contains("[hov] Exit HovManager::SendStart Because Of HovSend Model Exist"));
  EXPECT_TRUE(log.Contains("[hov] SendStart Failed"));

  StartReceiving(60000, &host::OnRecv);
  HovReceiveStart(60000, &host::OnRecv2);
  ASSERT_TRUE(host::WaitStatus(4));
  EXPECT_TRUE(log.Contains("[hov] HovManager::RecvStart exit because of m_hovRecv is not nullptr"));
  ASSERT_TRUE(AdvanceUntilResult());
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");  // the running sender was untouched
  EXPECT_TRUE(host::Results2().empty());        // and the running receiver's callback too
}

TEST_F(ExportsTest, StopsWithNothingRunningStillReport) {
  HovSendStop();
  HovReceiveStop();
  EXPECT_TRUE(host::WaitStatus(8));
  EXPECT_TRUE(host::WaitStatus(5));
  SendUpdate("ABCDEF");  // no sender: trace lines only, no status
  SyncWorker();
  EXPECT_FALSE(log.Contains("[hov] HovManager SendUpdate Start: ABCDEF"));
  auto statuses = host::Statuses();
  EXPECT_EQ(statuses, (std::vector<int>{1, 8, 5}));
}

TEST_F(ExportsTest, DeviceFailuresGiveStatusSevenAndFourAndLeaveNothingBehind) {
  struct Case {
    bool fail;
    bool raise;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {true,
       false,
       {"[hov] Open AudioOutput Failed", "[hov] HovSend Start Failed",
        "[hov] Open AudioInput Failed", "[hov] HovRecv Start Failed", "[hov] RecvStart failed"}},
      {false,
       true,
       {"[hov] HovSend::Start threw: no playback thread", "[hov] HovSend Start Failed",
        "[hov] HovRecv::Start threw: no capture thread", "[hov] HovRecv Start Failed"}},
  };
  for (const Case& c : cases) {
    int refusedSends = CountOf(host::Statuses(), 7);
    int refusedReceives = CountOf(host::Statuses(), 4);
    device.FailOutputOpen(c.fail);
    device.FailInputOpen(c.fail);
    device.ThrowOnOpen(c.raise);
    HovSendStart("ABCDEF");
    HovReceiveStart(1000, &host::OnRecv);
    ASSERT_TRUE(host::WaitStatus(7, refusedSends + 1));
    ASSERT_TRUE(host::WaitStatus(4, refusedReceives + 1));
    for (const std::string& line : c.lines) {
      EXPECT_TRUE(log.Contains(line)) << line;
    }
    // Nothing is left behind: the next starts work.
    device.FailOutputOpen(false);
    device.FailInputOpen(false);
    device.ThrowOnOpen(false);
    StartSending("ABCDEF");
    StartReceiving(60000);
    HovSendStop();
    HovReceiveStop();
    SyncWorker();
    EXPECT_FALSE(device.OutputOpen());
    EXPECT_FALSE(device.InputOpen());
  }
}

TEST_F(ExportsTest, BadKeysAreRefusedWithStatusSeven) {
  const std::string longKey(10000, 'A');
  const char* keys[] = {nullptr, "", "abcdef", "ABCDE", "ABCDEFG", "ABC DE", longKey.c_str()};
  for (const char* key : keys) {
    HovSendStart(key);
  }
  ASSERT_TRUE(host::WaitStatus(7, 7));
  EXPECT_EQ(CountOf(host::Statuses(), 6), 0);
  EXPECT_TRUE(log.Contains("[hov] HovManager Send Start: "));
  EXPECT_TRUE(log.Contains("[hov] ShareKeyEncoder::Encode encode string abcdef failed"));
  EXPECT_TRUE(log.Contains("[hov] encode share key length is 10000,not equal to 6"));
  EXPECT_FALSE(device.OutputOpen());
}

TEST_F(ExportsTest, NullStatusCallbackIsAcceptedAndReportsNothing) {
  host::Reset();
  HovInit(nullptr, LogCapture::Function());
  HovSendStart("ABCDEF");
  EXPECT_TRUE(log.WaitFor("[hov] SendStart Success"));
  EXPECT_TRUE(device.OutputOpen());
  EXPECT_TRUE(host::Statuses().empty());
  HovInit(&host::OnStatus, LogCapture::Function());  // the teardown waits for statuses again
}

TEST_F(ExportsTest, NullReceiveCallbackDropsTheResultSilently) {
  StartReceiving(0, nullptr);
  EXPECT_TRUE(log.WaitFor("[hov] Invalid Recv Packet"));
  EXPECT_TRUE(log.Contains("[hov] HovRecvListener::InstallRecvDataCallback null"));
  for (const std::string& line : log.Texts()) {
    EXPECT_EQ(line.find("recvDataCallback called"), std::string::npos) << line;
  }
}

TEST_F(ExportsTest, UninitFromACallbackIsRefusedAndInitFromThereDoesNotWait) {
  // The receive callback runs on the worker: stopping the worker from there is refused, and
  // starting it finds it running.
  StartReceiving(0, [](int, const char*) {
    HovUninit();
    HovInit(&host::OnStatus, LogCapture::Function());
  });
  EXPECT_TRUE(
      log.WaitFor("[hov] stop timer thread error: Cannot be call stopThread in timer callback"));
  ASSERT_TRUE(host::WaitStatus(1, 2));
  EXPECT_NE(host::StatusThread(host::Statuses().size() - 1), std::this_thread::get_id());
  SyncWorker();  // still running
}

TEST_F(ExportsTest, InitTwiceReportsAgainAndKeepsTheWorker) {
  HovInit(&host::OnStatus, LogCapture::Function());
  ASSERT_TRUE(host::WaitStatus(1, 2));
  EXPECT_EQ(log.Count("[hov] workerThreadTimer started"), 2);
  EXPECT_EQ(host::StatusThread(1), std::this_thread::get_id());
  // A receiver with a zero time-out reports once.
  StartReceiving(0);
  ASSERT_TRUE(host::WaitResults(1));
  SyncWorker();
  EXPECT_EQ(host::Results().size(), 1u);
}

TEST_F(ExportsTest, UninitStopsRunningSessionsWithOneNotice) {
  struct Case {
    bool send;
    bool receive;
    const char* line;  // level 4
  };
  const Case cases[] = {
      {true, true, "[hov] HovUninit stopped a running sender and receiver"},
      {true, false, "[hov] HovUninit stopped a running sender"},
      {false, true, "[hov] HovUninit stopped a running receiver"},
      {false, false, nullptr},
  };
  for (const Case& c : cases) {
    if (c.send) {
      StartSending("ABCDEF");
    }
    if (c.receive) {
      StartReceiving(60000);
    }
    log.Clear();
    HovUninit();
    EXPECT_FALSE(device.OutputOpen());
    EXPECT_FALSE(device.InputOpen());
    int notices = 0;
    for (const LogLine& line : log.Lines()) {
      notices += line.level == 4 ? 1 : 0;
      if (c.line != nullptr && line.text == c.line) {
        EXPECT_EQ(line.level, 4);
      }
    }
    EXPECT_EQ(notices, c.line != nullptr ? 1 : 0);
    if (c.line != nullptr) {
      EXPECT_TRUE(log.Contains(c.line)) << c.line;
    }
    HovInit(&host::OnStatus, LogCapture::Function());
  }
  // The next session starts as on a fresh library.
  StartSending("ABCDEF");
  StartReceiving(60000);
  ASSERT_TRUE(AdvanceUntilResult());
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");
}

// The host's log function calls an export that logs the very line it reacts to.
void HOV_CALL StopOnItsOwnTrace(int level, const char* line) {
  LogCapture::Function()(level, line);
  if (std::string(line) == "[hov] entry HovReceiveStop") {
    HovReceiveStop();
  }
}

TEST_F(ExportsTest, AnExportCalledFromTheLogFunctionIsNotReentered) {
  HovInit(&host::OnStatus, &StopOnItsOwnTrace);
  HovReceiveStop();  // and once more from inside, whose own lines are dropped
  ASSERT_TRUE(host::WaitStatus(5, 2));
  HovInit(&host::OnStatus, LogCapture::Function());
  SyncWorker();
  EXPECT_EQ(CountOf(host::Statuses(), 5), 2);
  EXPECT_EQ(log.Count("[hov] entry HovReceiveStop"), 1);
}

TEST_F(ExportsTest, ExportTracesComeOnTheCallingThreadAndTheTaskOnTheWorker) {
  log.Clear();
  HovSendStart("ABCDEF");
  ASSERT_TRUE(host::WaitStatus(6));
  auto lines = log.Lines();
  auto find = [&](const std::string& text) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const LogLine& l) { return l.text == text; });
  };
  auto entry = find("[hov] entry HovSendStart");
  auto called = find("[hov] SendStart called");
  auto success = find("[hov] SendStart Success");
  ASSERT_NE(entry, lines.end());
  ASSERT_NE(called, lines.end());
  ASSERT_NE(success, lines.end());
  EXPECT_EQ(entry->thread, std::this_thread::get_id());
  EXPECT_EQ(called->thread, host::StatusThread(host::Statuses().size() - 1));
  EXPECT_TRUE(find("[hov] HovManager Send Start: ABCDEF") != lines.end());
  EXPECT_TRUE(find("[hov] entry HovSend::Start") != lines.end());
  EXPECT_LT(called - lines.begin(), success - lines.begin());
}

// Calls while the worker is not running only log.
TEST(ExportsWithoutInitTest, CallsOnlyTraceAndNothingHappens) {
  host::Reset();
  HovUninit();  // whatever ran before: the worker is stopped now
  testing::internal::CaptureStdout();
  HovSendStart("ABCDEF");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[hov] entry HovSendStart\n[hov] entry HovController::HovSendStart\n"
                     "[hov] exit HovController::HovSendStart, cost: "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[hov] exit HovSendStart, cost: "), std::string::npos);

  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  HovUninit();
  out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "[hov] stop timer thread error: no timer thread running\n");
  EXPECT_NE(out.find("[hov] workerThreadTimer stopped"), std::string::npos);
  EXPECT_TRUE(host::Statuses().empty());
}

TEST(ExportsWithoutInitTest, NullLogFunctionSilencesEverything) {
  host::Reset();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HovInit(nullptr, nullptr);
  HovSendStart("bad");
  HovSendStop();
  HovUninit();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  LogCapture restore;  // puts a log function back for the tests that follow
}

// The receiver's half of the wake path: the capture side tells the listener once, when the
// vote completes, and the next poll reports the key.
TEST(HovRecvTest, TellsTheListenerOnceWhenAKeyIsAcceptedAndThePollReportsIt) {
  struct Listener : HovRecv::Listener {
    void OnRecvData(int code, const char*) override { codes.push_back(code); }
    void OnRecvReady() override { ++ready; }
    std::vector<int> codes;
    int ready = 0;
  } listener;
  LogCapture log;
  VirtualAudioDevice device;  // capture is delivered on this thread by Advance
  HovSend send;
  ASSERT_TRUE(send.Start("ABCDEF"));
  HovRecv recv;
  ASSERT_TRUE(recv.Start(60000, &listener));
  for (int i = 0; i < 40 && listener.ready == 0; ++i) {
    device.Advance(kSecond / 10);
  }
  EXPECT_EQ(listener.ready, 1);
  EXPECT_TRUE(listener.codes.empty());
  EXPECT_FALSE(recv.Poll());
  EXPECT_EQ(listener.codes, std::vector<int>{0});
  device.Advance(kSecond);
  EXPECT_EQ(listener.ready, 1);
  recv.Stop();
  send.Stop();
}

// Many host threads at once, HovInit and HovUninit among the calls: nothing crashes or hangs,
// and the library still works afterwards.
TEST(ExportsStressTest, SevenExportsFromFourThreadsInRandomOrder) {
  LogCapture log;
  VirtualAudioDevice device;
  host::Reset();
  constexpr int kThreads = 4;
  constexpr int kCalls = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::mt19937 random(1234u + static_cast<unsigned>(t));
      for (int i = 0; i < kCalls; ++i) {
        switch (random() % 7) {
          case 0:
            HovInit(&host::OnStatus, LogCapture::Function());
            break;
          case 1:
            HovUninit();
            break;
          case 2:
            HovSendStart("ABCDEF");
            break;
          case 3:
            HovSendUpdate("QWERTY");
            break;
          case 4:
            HovSendStop();
            break;
          case 5:
            HovReceiveStart(0, &host::OnRecv);
            break;
          default:
            HovReceiveStop();
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  host::Reset();
  HovInit(&host::OnStatus, LogCapture::Function());
  HovSendStop();
  HovReceiveStop();
  ASSERT_TRUE(host::WaitStatus(5));
  HovSendStart("ABCDEF");
  ASSERT_TRUE(host::WaitStatus(6));
  device.Advance(kSecond / 2);
  HovReceiveStart(60000, &host::OnRecv);
  ASSERT_TRUE(host::WaitStatus(3));
  for (int i = 0; i < 200 && host::Results().empty(); ++i) {
    device.Advance(kSecond / 10);
    host::WaitResults(1, false, std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(host::WaitResults(1));
  EXPECT_EQ(host::Results()[0].code, 0);
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");
  // Generous: a functional check against a hang, not a measurement.
  auto before = std::chrono::steady_clock::now();
  HovUninit();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_FALSE(device.OutputOpen());
}

}  // namespace
