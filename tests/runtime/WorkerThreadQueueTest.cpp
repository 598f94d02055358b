// The controller's front to the worker: its log lines, the bound of its queue, its name.
#include "runtime/WorkerThreadQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/runtime/Gate.h"
#include "tests/runtime/OsThreadName.h"

namespace {

// Lines without the cost of the exit traces, "level text".
std::vector<std::string> Shown(const LogCapture& capture) {
  std::vector<std::string> shown;
  for (const LogLine& line : capture.Lines()) {
    std::string text = line.text.substr(0, line.text.find(", cost: "));
    shown.push_back(std::to_string(line.level) + " " + text);
  }
  return shown;
}

// Runs body as a task on the worker and waits for it.
template <typename Body>
void OnWorker(WorkerThreadQueue& queue, Body body) {
  auto done = std::make_shared<Gate>();
  ASSERT_GE(queue.Post(
                [body, done](void*) {
                  body();
                  done->Open();
                },
                false),
            0);
  ASSERT_TRUE(done->Wait());
}

TEST(WorkerThreadQueueTest, InitAndUninitSayWhatTheyDid) {
  struct Case {
    const char* name;
    bool init;
    bool uninitOnWorker;
    std::vector<std::string> uninitLines;
  };
  const Case cases[] = {
      {"running",
       true,
       false,
       {"2 [hov] entry WorkerThreadQueue::Uninit", "2 [hov] workerThreadTimer stopped",
        "2 [hov] exit WorkerThreadQueue::Uninit"}},
      {"never started",
       false,
       false,
       {"2 [hov] entry WorkerThreadQueue::Uninit",
        "4 [hov] stop timer thread error: no timer thread running",
        "2 [hov] workerThreadTimer stopped", "2 [hov] exit WorkerThreadQueue::Uninit"}},
      {"from a task",
       true,
       true,
       {"2 [hov] entry WorkerThreadQueue::Uninit",
        "4 [hov] stop timer thread error: Cannot be call stopThread in timer callback",
        "2 [hov] workerThreadTimer stopped", "2 [hov] exit WorkerThreadQueue::Uninit"}},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    WorkerThreadQueue queue;
    if (c.init) {
      ASSERT_TRUE(queue.Init());
      EXPECT_EQ(Shown(capture), (std::vector<std::string>{"2 [hov] entry WorkerThreadQueue::Init",
                                                          "2 [hov] workerThreadTimer started",
                                                          "2 [hov] exit WorkerThreadQueue::Init"}))
          << c.name;
    }
    capture.Clear();
    if (c.uninitOnWorker) {
      OnWorker(queue, [&queue] { queue.Uninit(); });
      std::vector<std::string> lines = Shown(capture);
      lines.resize(c.uninitLines.size());
      EXPECT_EQ(lines, c.uninitLines) << c.name;
      OnWorker(queue, [] {});  // still running
      queue.Uninit();
    } else {
      queue.Uninit();
      EXPECT_EQ(Shown(capture), c.uninitLines) << c.name;
    }
  }
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
  OnWorker(queue, [] {});
  queue.Uninit();
  // A stopped worker refuses quietly, as before HovInit.
  capture.Clear();
  EXPECT_EQ(queue.Post([](void*) {}, false), -1);
  EXPECT_TRUE(capture.Lines().empty());
}

TEST(WorkerThreadQueueTest, WorkerThreadCarriesItsName) {
  WorkerThreadQueue queue;
  ASSERT_TRUE(queue.Init());
  std::string name;
  OnWorker(queue, [&name] { name = OsThreadName(); });
  queue.Uninit();
  EXPECT_EQ(name, ExpectedOsThreadName("brivok_hov_timer_thread"));
}

}  // namespace
