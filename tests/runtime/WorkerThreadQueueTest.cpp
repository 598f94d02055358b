// The controller's front to the worker: the bound of its queue.
#include "runtime/WorkerThreadQueue.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/fakes/Host.h"
#include "tests/runtime/Gate.h"

namespace {

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
