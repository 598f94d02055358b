#include "runtime/WorkerThreadQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/LogCapture.h"
#include "tests/runtime/Gate.h"
#include "tests/runtime/OsThreadName.h"

namespace {

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

TEST(WorkerThreadQueueTest, InitAndUninitLogTheirTracesAndState) {
  LogCapture capture;
  WorkerThreadQueue queue;
  queue.Init();
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "[hov] entry WorkerThreadQueue::Init");
  EXPECT_EQ(lines[1].text, "[hov] workerThreadTimer started");
  EXPECT_TRUE(StartsWith(lines[2].text, "[hov] exit WorkerThreadQueue::Init, cost: "))
      << lines[2].text;
  capture.Clear();
  queue.Uninit();
  std::vector<LogLine> stopLines = capture.Lines();
  ASSERT_EQ(stopLines.size(), 3u);
  EXPECT_EQ(stopLines[0].text, "[hov] entry WorkerThreadQueue::Uninit");
  EXPECT_EQ(stopLines[1].text, "[hov] workerThreadTimer stopped");
  EXPECT_TRUE(StartsWith(stopLines[2].text, "[hov] exit WorkerThreadQueue::Uninit, cost: "))
      << stopLines[2].text;
  for (const LogLine& line : lines) {
    EXPECT_EQ(line.level, 2);
  }
  for (const LogLine& line : stopLines) {
    EXPECT_EQ(line.level, 2);
  }
}

TEST(WorkerThreadQueueTest, UninitBeforeInitLogsTheRefusalAtLevel4) {
  LogCapture capture;
  WorkerThreadQueue queue;
  queue.Uninit();
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "[hov] entry WorkerThreadQueue::Uninit");
  EXPECT_EQ(lines[1].level, 4);
  EXPECT_EQ(lines[1].text, "[hov] stop timer thread error: no timer thread running");
  EXPECT_EQ(lines[2].level, 2);
  EXPECT_EQ(lines[2].text, "[hov] workerThreadTimer stopped");
  EXPECT_TRUE(StartsWith(lines[3].text, "[hov] exit WorkerThreadQueue::Uninit, cost: "))
      << lines[3].text;
}

TEST(WorkerThreadQueueTest, SecondInitLogsAgainAndKeepsTheWorker) {
  LogCapture capture;
  std::vector<std::thread::id> workers(2);
  Gate first;
  Gate second;
  WorkerThreadQueue queue;
  queue.Init();
  queue.Init();
  EXPECT_EQ(capture.Count("[hov] workerThreadTimer started"), 2);
  queue.Post(
      [&](void*) {
        workers[0] = std::this_thread::get_id();
        first.Open();
      },
      false);
  ASSERT_TRUE(first.Wait());
  queue.Init();
  queue.Post(
      [&](void*) {
        workers[1] = std::this_thread::get_id();
        second.Open();
      },
      false);
  ASSERT_TRUE(second.Wait());
  queue.Uninit();
  EXPECT_EQ(workers[0], workers[1]);
  EXPECT_NE(workers[0], std::this_thread::get_id());
}

TEST(WorkerThreadQueueTest, PostRunsOneShotOnceAndPeriodicOnEveryPass) {
  std::atomic<int> oneShotRuns{0};
  std::atomic<int> periodicRuns{0};
  Gate periodicRanOften;
  WorkerThreadQueue queue;
  queue.Init();
  queue.Post([&](void*) { oneShotRuns.fetch_add(1); }, false);
  queue.Post(
      [&](void*) {
        if (periodicRuns.fetch_add(1) + 1 == 6) {
          periodicRanOften.Open();
        }
      },
      true);
  ASSERT_TRUE(periodicRanOften.Wait());
  queue.Uninit();
  EXPECT_EQ(oneShotRuns.load(), 1);
  EXPECT_GE(periodicRuns.load(), 6);
}

TEST(WorkerThreadQueueTest, UninitFromATaskIsRefusedAndTheWorkerKeepsRunning) {
  LogCapture capture;
  Gate tried;
  Gate later;
  WorkerThreadQueue queue;
  queue.Init();
  queue.Post(
      [&](void*) {
        queue.Uninit();
        tried.Open();
      },
      false);
  ASSERT_TRUE(tried.Wait());
  std::vector<LogLine> lines = capture.Lines();
  ASSERT_GE(lines.size(), 4u);
  const std::vector<LogLine> tail(lines.end() - 4, lines.end());
  EXPECT_EQ(tail[0].text, "[hov] entry WorkerThreadQueue::Uninit");
  EXPECT_EQ(tail[1].level, 4);
  EXPECT_EQ(tail[1].text,
            "[hov] stop timer thread error: Cannot be call stopThread in timer callback");
  EXPECT_EQ(tail[2].text, "[hov] workerThreadTimer stopped");
  EXPECT_TRUE(StartsWith(tail[3].text, "[hov] exit WorkerThreadQueue::Uninit, cost: "));
  queue.Post([&](void*) { later.Open(); }, false);
  EXPECT_TRUE(later.Wait());
  queue.Uninit();
}

TEST(WorkerThreadQueueTest, PostsWhileStoppedAreDroppedAndNeverRunLater) {
  auto token = std::make_shared<int>(0);
  std::atomic<int> droppedRuns{0};
  Gate marker;
  WorkerThreadQueue queue;
  queue.Post([token, &droppedRuns](void*) { droppedRuns.fetch_add(1); }, false);
  EXPECT_EQ(token.use_count(), 1);
  queue.Init();
  queue.Uninit();
  queue.Post([token, &droppedRuns](void*) { droppedRuns.fetch_add(1); }, true);
  EXPECT_EQ(token.use_count(), 1);
  queue.Init();
  queue.Post([&marker](void*) { marker.Open(); }, false);
  ASSERT_TRUE(marker.Wait());
  queue.Uninit();
  EXPECT_EQ(droppedRuns.load(), 0);
}

TEST(WorkerThreadQueueTest, WorkerThreadCarriesItsName) {
  std::string name;
  Gate named;
  WorkerThreadQueue queue;
  queue.Init();
  queue.Post(
      [&](void*) {
        name = OsThreadName();
        named.Open();
      },
      false);
  ASSERT_TRUE(named.Wait());
  queue.Uninit();
  EXPECT_EQ(name, ExpectedOsThreadName("brivok_hov_timer_thread"));
#ifndef _WIN32
  EXPECT_EQ(name, "brivok_hov_time");
#endif
}

}  // namespace
