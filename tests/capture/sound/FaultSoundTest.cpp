// A host's view of sound-server faults, against the private PulseAudio of scripts/with-pulse
// (which it freezes, kills and starts again): stops answer while the server is frozen, a session
// whose server restarts carries on, and a sender started before any server plays once one exists.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hov/hov.h"
#include "tests/fakes/Host.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double MsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

void Server(const char* action) {
  const char* control = std::getenv("HOV_PULSE_CONTROL");
  const char* dir = std::getenv("HOV_PULSE_DIR");
  ASSERT_TRUE(control != nullptr && dir != nullptr) << "run under scripts/with-pulse";
  std::string command = std::string(control) + " --dir " + dir + " --control " + action;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Runs call and waits for the status it ends with; the time it took, or -1 after 5 s.
template <class Call>
double Timed(Call call, int status) {
  int before = host::StatusCount(status);
  Clock::time_point start = Clock::now();
  call();
  if (status != 0 && !host::WaitStatus(status, before + 1, milliseconds(5000))) {
    return -1;
  }
  return MsSince(start);
}

class FaultSoundTest : public testing::Test {
 protected:
  void SetUp() override {
    host::Reset();
    HovInit(&host::OnStatus, LogCapture::Function());
  }
  void TearDown() override {
    HovReceiveStop();
    Timed([] { HovSendStop(); }, 8);  // waits until both stops have run
    HovUninit();
    for (const LogLine& line : log.Lines()) {
      if (HasFailure() && line.level == 3) {
        std::printf("  log %s\n", line.text.c_str());
      }
    }
  }
  void StartBoth(int timeoutMs) {
    ASSERT_GE(Timed([] { HovSendStart("ABCDEF"); }, 6), 0);
    ASSERT_GE(Timed([timeoutMs] { HovReceiveStart(timeoutMs, &host::OnRecv); }, 3), 0);
  }
  LogCapture log;
};

TEST_F(FaultSoundTest, StopsAnswerWithin300MsAndStartsGiveUpWhileTheServerIsFrozen) {
  // A healthy server first: on a sink that rewinds, this is the stop a desktop sees.
  StartBoth(60000);
  double healthyRecvStop = Timed([] { HovReceiveStop(); }, 5);
  double healthySendStop = Timed([] { HovSendStop(); }, 8);
  StartBoth(60000);
  Server("freeze");
  double recvStop = Timed([] { HovReceiveStop(); }, 5);
  double sendStop = Timed([] { HovSendStop(); }, 8);
  double sendStart = Timed([] { HovSendStart("ABCDEF"); }, 7);
  double recvStart = Timed([] { HovReceiveStart(60000, &host::OnRecv); }, 4);
  Server("thaw");
  // And with both sessions running when the host leaves.
  StartBoth(60000);
  Server("freeze");
  double uninit = Timed([] { HovUninit(); }, 0);
  HovInit(&host::OnStatus, LogCapture::Function());
  Server("thaw");
  std::printf(
      "[ figure ] stops on a healthy server %.1f and %.1f ms; frozen server: HovReceiveStop %.1f "
      "ms, HovSendStop %.1f ms, HovUninit with both running %.1f ms; starts refused in %.0f and "
      "%.0f ms (-1: no answer in 5 s)\n",
      healthyRecvStop, healthySendStop, recvStop, sendStop, uninit, sendStart, recvStart);
  for (double stop : {healthyRecvStop, healthySendStop, recvStop, sendStop, uninit}) {
    EXPECT_TRUE(stop >= 0 && stop < 300) << stop;
  }
  for (double start : {sendStart, recvStart}) {
    EXPECT_TRUE(start >= 0 && start < 2500) << start;
  }
}

TEST_F(FaultSoundTest, TheKeyIsHeardAgainAfterTheServerRestarts) {
  const std::string lost = ": sound server lost, reopening the default device";
  const std::string back = ": default device open again";
  StartBoth(8000);
  ASSERT_TRUE(host::WaitResults(1));
  ASSERT_EQ(host::Results()[0].code, 0);
  // A receive that the server's death interrupts, and a send that runs on through it.
  HovReceiveStart(15000, &host::OnRecv);
  ASSERT_TRUE(host::WaitStatus(3, 2));
  Server("kill");
  EXPECT_TRUE(log.WaitFor("[hov] hov_playback" + lost, 1, milliseconds(3000)));
  EXPECT_TRUE(log.WaitFor("[hov] hov_capture" + lost, 1, milliseconds(3000)));
  // Measured from the server's return: the control command answers once the server does.
  Server("start");
  Clock::time_point backAt = Clock::now();
  EXPECT_TRUE(log.WaitFor("[hov] hov_playback" + back, 1, milliseconds(3000)));
  const double playing = MsSince(backAt);
  EXPECT_TRUE(log.WaitFor("[hov] hov_capture" + back, 1, milliseconds(3000)));
  ASSERT_TRUE(host::WaitResults(2, milliseconds(15000)));
  std::printf("[ figure ] playback again %.0f ms after the server's return\n", playing);
  EXPECT_LT(playing, 1000);
  EXPECT_EQ(host::Results()[1].code, 0);
  EXPECT_EQ(host::Results()[1].key, "ABCDEF");
  EXPECT_EQ(log.Count("[hov] hov_playback" + lost), 1);
  EXPECT_EQ(log.Count("[hov] hov_playback" + back), 1);
}

// Run alone (ALSA reads its configuration once per process): no server when the process first
// plays, then a server, and the next start plays.
TEST_F(FaultSoundTest, ASenderStartsOnceAServerExists) {
  Server("kill");
  HovSendStart("ABCDEF");
  ASSERT_TRUE(host::WaitStatus(7));
  Server("start");
  StartBoth(8000);
  ASSERT_TRUE(host::WaitResults(1));
  EXPECT_EQ(host::Results()[0].key, "ABCDEF");
}

}  // namespace
