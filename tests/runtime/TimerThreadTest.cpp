#include "runtime/TimerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/Gate.h"
#include "tests/runtime/OsThreadName.h"

namespace {

constexpr int32_t kHourMs = 3600 * 1000;

// Holds the timer thread inside one task until released, so that a test can post while no
// pass runs. Releases on destruction so that a failed test cannot hang in the join.
class Blocker {
 public:
  ~Blocker() { Release(); }
  TimerThread::Task Task() {
    std::shared_ptr<State> state = m_state;
    return [state](void*) {
      state->started.Open();
      state->release.Wait(std::chrono::milliseconds(60000));
    };
  }
  bool WaitStarted() { return m_state->started.Wait(); }
  void Release() { m_state->release.Open(); }

 private:
  struct State {
    Gate started;
    Gate release;
  };
  std::shared_ptr<State> m_state = std::make_shared<State>();
};

// Records, under a lock, what tasks report; the test waits for a number of records.
template <typename T>
class Recorder {
 public:
  void Add(T value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.push_back(value);
    m_changed.notify_all();
  }
  bool WaitForCount(size_t count,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_values.size() >= count; });
  }
  std::vector<T> Values() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<T> m_values;
};

// A task that owns token; the token's use count tells whether the task still exists.
TimerThread::Task TaskHolding(const std::shared_ptr<int>& token, std::atomic<int>* runs) {
  return [token, runs](void*) { runs->fetch_add(1); };
}

// Waits for four runs of a periodic task and checks that the passes are at least 400 ms
// apart. The first gap is left out: the post itself wakes the thread for an extra pass.
void ExpectDefaultPassRhythm(TimerThread& timer) {
  Recorder<int64_t> runs;
  ASSERT_GE(timer.addTimer(
                0, 1, false, [&runs](void*) { runs.Add(TimerThread::SteadyUs()); }, nullptr),
            0);
  ASSERT_TRUE(runs.WaitForCount(4));
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  std::vector<int64_t> times = runs.Values();
  for (size_t i = 2; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], 400 * 1000) << "gap before run " << i;
  }
}

TEST(TimerThreadTest, AddTimerBeforeStartIsRefusedAndDropsTheTask) {
  TimerThread timer;
  auto token = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  EXPECT_EQ(timer.addTimer(0, 1, true, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(timer.isRunning());
}

TEST(TimerThreadTest, BadArgumentsAreRefusedWithoutUsingAnId) {
  auto token = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(25));
  EXPECT_EQ(timer.addTimer(-1, 1, true, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(timer.addTimer(0, 0, true, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(timer.addTimer(0, -1, false, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(timer.addTimer(0, 1, true, TimerThread::Task(), nullptr), -1);
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(timer.addTimer(kHourMs, 1, true, TaskHolding(token, &runs), nullptr), 0);
  EXPECT_EQ(timer.addTimer(
                0, 1, true, [](void*) {}, nullptr),
            1);
  std::string reason;
  EXPECT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(runs.load(), 0);
}

TEST(TimerThreadTest, IdSpaceRunsOutAfter999998AddsAlsoAcrossRestart) {
  constexpr int32_t kIdsGivenOut = 999998;  // ids 0 to 999997
  constexpr int32_t kBatch = 100000;
  TimerThread timer;
  std::string reason;
  // The adds come in batches, each while the thread sits in a blocker task, so that no pass
  // walks the growing list; the long delay keeps the entries from running, and the stop at
  // the end of each batch frees them, which keeps memory small and the ids carrying on.
  int32_t expectedId = 0;
  int32_t wrongIds = 0;
  while (expectedId < kIdsGivenOut) {
    ASSERT_TRUE(timer.startThread(25));
    Blocker blocker;
    ASSERT_EQ(timer.addTimer(0, 1, true, blocker.Task(), nullptr), expectedId++);
    ASSERT_TRUE(blocker.WaitStarted());
    for (int32_t i = 0; i < kBatch && expectedId < kIdsGivenOut; ++i, ++expectedId) {
      if (timer.addTimer(
              kHourMs, 1, true, [](void*) {}, nullptr) != expectedId) {
        ++wrongIds;
      }
    }
    blocker.Release();
    ASSERT_TRUE(timer.stopThread(&reason));
  }
  EXPECT_EQ(wrongIds, 0);

  auto token = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  ASSERT_TRUE(timer.startThread(25));
  EXPECT_EQ(timer.addTimer(0, 1, true, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(timer.addTimer(kHourMs, 1, false, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(token.use_count(), 1);
  ASSERT_TRUE(timer.stopThread(&reason));
  ASSERT_TRUE(timer.startThread(25));
  EXPECT_EQ(timer.addTimer(0, 1, true, TaskHolding(token, &runs), nullptr), -1);
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(runs.load(), 0);
}

TEST(TimerThreadTest, ZeroIntervalGivesHalfSecondPassesAndASecondStartKeepsIt) {
  std::atomic<int> hookRuns{0};
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(0));
  EXPECT_TRUE(timer.startThread(
      25, [&hookRuns] { hookRuns.fetch_add(1); }, [&hookRuns] { hookRuns.fetch_add(1); }));
  ExpectDefaultPassRhythm(timer);
  EXPECT_EQ(hookRuns.load(), 0);
}

TEST(TimerThreadTest, NegativeIntervalGivesHalfSecondPasses) {
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(-25));
  ExpectDefaultPassRhythm(timer);
}

TEST(TimerThreadTest, StopFromATaskIsRefusedAndTheThreadKeepsRunning) {
  Gate tried;
  Gate later;
  bool stopped = true;
  std::string reason;
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(
                0, 1, true,
                [&](void*) {
                  stopped = timer.stopThread(&reason);
                  tried.Open();
                },
                nullptr),
            0);
  ASSERT_TRUE(tried.Wait());
  EXPECT_FALSE(stopped);
  EXPECT_EQ(reason, "Cannot be call stopThread in timer callback");
  EXPECT_TRUE(timer.isRunning());
  ASSERT_GE(timer.addTimer(
                0, 1, true, [&later](void*) { later.Open(); }, nullptr),
            0);
  EXPECT_TRUE(later.Wait());
  std::string outsideReason;
  EXPECT_TRUE(timer.stopThread(&outsideReason));
}

TEST(TimerThreadTest, StopWhenNotRunningIsRefused) {
  TimerThread timer;
  std::string reason;
  EXPECT_FALSE(timer.stopThread(&reason));
  EXPECT_EQ(reason, "no timer thread running");
  ASSERT_TRUE(timer.startThread(25));
  EXPECT_TRUE(timer.stopThread(&reason));
  EXPECT_FALSE(timer.isRunning());
  reason.clear();
  EXPECT_FALSE(timer.stopThread(&reason));
  EXPECT_EQ(reason, "no timer thread running");
}

TEST(TimerThreadTest, EntriesLeftAtStopAreDroppedWithoutRunning) {
  auto oneShot = std::make_shared<int>(0);
  auto periodic = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(kHourMs, 1, true, TaskHolding(oneShot, &runs), nullptr), 0);
  ASSERT_GE(timer.addTimer(kHourMs, 1, false, TaskHolding(periodic, &runs), nullptr), 0);
  EXPECT_EQ(oneShot.use_count(), 2);
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(oneShot.use_count(), 1);
  EXPECT_EQ(periodic.use_count(), 1);
  EXPECT_EQ(runs.load(), 0);
  // Nothing comes back with a new start.
  ASSERT_TRUE(timer.startThread(25));
  Gate marker;
  ASSERT_GE(timer.addTimer(
                0, 1, true, [&marker](void*) { marker.Open(); }, nullptr),
            0);
  ASSERT_TRUE(marker.Wait());
  EXPECT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(runs.load(), 0);
}

TEST(TimerThreadTest, OneShotRunsExactlyOnceWhilePeriodicRunsOnEveryPass) {
  std::atomic<int> periodicRuns{0};
  std::atomic<int> oneShotRuns{0};
  std::atomic<int> periodicRunsAtOneShot{-1};
  Recorder<int> periodicProgress;
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(
                0, 1, false, [&](void*) { periodicProgress.Add(periodicRuns.fetch_add(1) + 1); },
                nullptr),
            0);
  ASSERT_GE(timer.addTimer(
                0, 1, true,
                [&](void*) {
                  oneShotRuns.fetch_add(1);
                  periodicRunsAtOneShot.store(periodicRuns.load());
                },
                nullptr),
            0);
  ASSERT_TRUE(periodicProgress.WaitForCount(5));
  int seen = periodicRunsAtOneShot.load();
  ASSERT_GE(seen, 1);
  ASSERT_TRUE(periodicProgress.WaitForCount(static_cast<size_t>(seen) + 5));
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(oneShotRuns.load(), 1);
}

TEST(TimerThreadTest, PeriodicEntriesRunOncePerPassInListOrder) {
  Recorder<char> order;
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(
                0, 1, false, [&order](void*) { order.Add('P'); }, nullptr),
            0);
  ASSERT_TRUE(order.WaitForCount(2));
  ASSERT_GE(timer.addTimer(
                0, 1, false, [&order](void*) { order.Add('Q'); }, nullptr),
            0);
  ASSERT_TRUE(order.WaitForCount(30));
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  std::vector<char> runs = order.Values();
  size_t firstQ = 0;
  while (firstQ < runs.size() && runs[firstQ] != 'Q') {
    ++firstQ;
  }
  ASSERT_GE(firstQ, 2u);
  ASSERT_LT(firstQ, runs.size());
  for (size_t i = 0; i < firstQ; ++i) {
    EXPECT_EQ(runs[i], 'P') << "run " << i;
  }
  // From the pass before Q's first run on, every pass runs P then Q, once each.
  for (size_t i = firstQ - 1; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i], (i - (firstQ - 1)) % 2 == 0 ? 'P' : 'Q') << "run " << i;
  }
}

TEST(TimerThreadTest, OneShotTasksRunInPostingOrderWithTheirContext) {
  Recorder<int> order;
  int contexts[100];
  TimerThread timer;
  Blocker blocker;
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(0, 1, true, blocker.Task(), nullptr), 0);
  ASSERT_TRUE(blocker.WaitStarted());
  for (int i = 0; i < 100; ++i) {
    contexts[i] = i;
    ASSERT_GE(timer.addTimer(
                  0, 1, true, [&order](void* context) { order.Add(*static_cast<int*>(context)); },
                  &contexts[i]),
              0);
  }
  blocker.Release();
  ASSERT_TRUE(order.WaitForCount(100));
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  std::vector<int> runs = order.Values();
  ASSERT_EQ(runs.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(runs[i], i);
  }
}

TEST(TimerThreadTest, PostsFromOtherThreadsAreEachPickedUpOnce) {
  constexpr int kPosters = 4;
  constexpr int kPosts = 250;
  Recorder<std::thread::id> ranOn;
  std::atomic<int> refused{0};
  Recorder<std::thread::id> started;
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(
      25, [&started] { started.Add(std::this_thread::get_id()); }, nullptr));
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) {
        if (timer.addTimer(
                0, 1, true, [&ranOn](void*) { ranOn.Add(std::this_thread::get_id()); }, nullptr) <
            0) {
          refused.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& poster : posters) {
    poster.join();
  }
  EXPECT_EQ(refused.load(), 0);
  ASSERT_TRUE(ranOn.WaitForCount(kPosters * kPosts));
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  std::vector<std::thread::id> threads = ranOn.Values();
  EXPECT_EQ(threads.size(), static_cast<size_t>(kPosters * kPosts));
  ASSERT_EQ(started.Values().size(), 1u);
  for (const std::thread::id& id : threads) {
    ASSERT_EQ(id, started.Values()[0]);
  }
}

TEST(TimerThreadTest, HooksRunOnTheThreadAroundAllPasses) {
  Recorder<std::string> events;
  TimerThread timer;
  ASSERT_TRUE(timer.startThread(
      25, [&events] { events.Add("start"); }, [&events] { events.Add("stop"); }));
  ASSERT_GE(timer.addTimer(
                0, 1, true, [&events](void*) { events.Add("task"); }, nullptr),
            0);
  ASSERT_TRUE(events.WaitForCount(2));
  std::string reason;
  ASSERT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(events.Values(), (std::vector<std::string>{"start", "task", "stop"}));
}

TEST(TimerThreadTest, RestartRunsNewTasksAndIdsCarryOn) {
  Gate first;
  Gate second;
  TimerThread timer;
  std::string reason;
  ASSERT_TRUE(timer.startThread(25));
  EXPECT_EQ(timer.addTimer(
                0, 1, true, [&first](void*) { first.Open(); }, nullptr),
            0);
  ASSERT_TRUE(first.Wait());
  ASSERT_TRUE(timer.stopThread(&reason));
  ASSERT_TRUE(timer.startThread(25));
  EXPECT_EQ(timer.addTimer(
                0, 1, true, [&second](void*) { second.Open(); }, nullptr),
            1);
  EXPECT_TRUE(second.Wait());
  EXPECT_TRUE(timer.stopThread(&reason));
}

TEST(TimerThreadTest, ThreadCarriesItsNameFromTheStart) {
  Recorder<std::string> names;
  TimerThread timer;
  std::string reason;
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(
                0, 1, true, [&names](void*) { names.Add(OsThreadName()); }, nullptr),
            0);
  ASSERT_TRUE(names.WaitForCount(1));
  ASSERT_TRUE(timer.stopThread(&reason));
  timer.setThreadName("renamed_timer");
  ASSERT_TRUE(timer.startThread(25));
  ASSERT_GE(timer.addTimer(
                0, 1, true, [&names](void*) { names.Add(OsThreadName()); }, nullptr),
            0);
  ASSERT_TRUE(names.WaitForCount(2));
  ASSERT_TRUE(timer.stopThread(&reason));
  EXPECT_EQ(names.Values()[0], ExpectedOsThreadName("brivok_thread_timer_thread"));
  EXPECT_EQ(names.Values()[1], ExpectedOsThreadName("renamed_timer"));
}

}  // namespace
