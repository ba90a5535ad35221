// Worker threads and their count: a worker counts until its queue is deleted,
// because deleting a queue may still use the central connection.
#include "work/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/wait.h"

namespace {

struct Gate {
  std::atomic<bool> ran{false};
  std::atomic<bool> inDestructor{false};
  std::atomic<bool> release{false};
  std::atomic<bool> deleted{false};
};

// A queue whose deletion waits for the test, like the final writes of a job.
class SlowToDeleteQueue : public WorkQueue {
 public:
  explicit SlowToDeleteQueue(Gate& gate) : gate(gate) {}
  ~SlowToDeleteQueue() override {
    gate.inDestructor = true;
    while (!gate.release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    gate.deleted = true;
  }
  int Run() override {
    gate.ran = true;
    return 0;
  }
  std::string Describe() override { return "slow queue"; }

 private:
  Gate& gate;
};

TEST(WorkerThread, CountsUntilItsQueueIsDeleted) {
  ASSERT_EQ(GetRunningWorkerCount(), 0);
  Gate gate;
  ASSERT_TRUE(StartWorkerThread(std::make_unique<SlowToDeleteQueue>(gate)));
  ASSERT_TRUE(WaitUntil([&] { return gate.inDestructor.load(); }, std::chrono::seconds(60)));
  EXPECT_TRUE(gate.ran);
  EXPECT_EQ(GetRunningWorkerCount(), 1) << "its queue is still being deleted";
  gate.release = true;
  ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(60)));
  EXPECT_TRUE(gate.deleted);
}

TEST(WorkerThread, ManyWorkersDrain) {
  Gate gates[20];
  for (Gate& gate : gates) {
    gate.release = true;
    ASSERT_TRUE(StartWorkerThread(std::make_unique<SlowToDeleteQueue>(gate)));
  }
  ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(60)));
  for (Gate& gate : gates) EXPECT_TRUE(gate.ran && gate.deleted);
  // The thread objects are gone too once their destructors have returned.
  EXPECT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, std::chrono::seconds(60)));
}

}  // namespace
