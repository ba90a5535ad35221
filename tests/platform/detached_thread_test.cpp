#include "platform/detached_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "support/wait.h"

namespace {

// Records where and in which order Entry and the destructor ran.
struct Trace {
  std::atomic<bool> entryRan{false};
  std::atomic<bool> destroyedAfterEntry{false};
  std::atomic<bool> destroyed{false};
  std::thread::id entryThread;
  std::thread::id destructorThread;
};

class TracedThread : public DetachedThread {
 public:
  explicit TracedThread(Trace& trace) : trace_(trace) {}
  ~TracedThread() override {
    trace_.destructorThread = std::this_thread::get_id();
    trace_.destroyedAfterEntry = trace_.entryRan.load();
    trace_.destroyed = true;
  }

 protected:
  int Entry() override {
    trace_.entryThread = std::this_thread::get_id();
    trace_.entryRan = true;
    return 0;
  }

 private:
  Trace& trace_;
};

// Sleeps until asked to end, like a thread whose loop never returns on its own.
class SleeperThread : public DetachedThread {
 public:
  explicit SleeperThread(std::atomic<int>& wakeups) : wakeups_(wakeups) {}

 protected:
  int Entry() override {
    while (!TestDestroy()) {
      SleepUnlessDestroyed(60);
      ++wakeups_;
    }
    return 0;
  }

 private:
  std::atomic<int>& wakeups_;
};

TEST(DetachedThread, RunsEntryAndDeletesItselfOnItsOwnThread) {
  Trace trace;
  ASSERT_NE(StartDetachedThread(std::make_unique<TracedThread>(trace)), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return trace.destroyed.load(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(trace.destroyedAfterEntry);
  EXPECT_EQ(trace.entryThread, trace.destructorThread);
  EXPECT_NE(trace.entryThread, std::this_thread::get_id());
  EXPECT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, std::chrono::seconds(10)));
}

TEST(DetachedThread, RunWithoutCreateOrTwiceIsRefused) {
  Trace trace;
  {
    auto thread = std::make_unique<TracedThread>(trace);
    EXPECT_FALSE(thread->Run());  // not created: the caller still owns it
    EXPECT_FALSE(trace.entryRan);
  }
  EXPECT_TRUE(trace.destroyed);

  std::atomic<int> wakeups{0};
  SleeperThread* sleeper = StartDetachedThread(std::make_unique<SleeperThread>(wakeups));
  ASSERT_NE(sleeper, nullptr);
  EXPECT_FALSE(sleeper->Create());
  EXPECT_FALSE(sleeper->Run());
  sleeper->Delete();
  EXPECT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, std::chrono::seconds(10)));
}

TEST(DetachedThread, DeleteWakesASleepingThreadAtOnce) {
  std::atomic<int> wakeups{0};
  SleeperThread* thread = StartDetachedThread(std::make_unique<SleeperThread>(wakeups));
  ASSERT_NE(thread, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(DetachedThread::LiveCount(), 1);
  thread->Delete();
  // Ended well within the 60-second sleep: it was woken, not timed out.
  ASSERT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(wakeups, 1);
}

TEST(DetachedThread, AThreadThatCannotStartIsDestroyedByTheHelper) {
  Trace unstarted;
  EXPECT_EQ(StartDetachedThread(std::unique_ptr<TracedThread>()), nullptr);
  auto refused = std::make_unique<TracedThread>(unstarted);
  ASSERT_TRUE(refused->Create());
  // Created already: the helper's Create fails, and the object is destroyed there.
  EXPECT_EQ(StartDetachedThread(std::move(refused)), nullptr);
  EXPECT_TRUE(unstarted.destroyed);
  EXPECT_FALSE(unstarted.entryRan);
}

TEST(DetachedThread, ManyThreadsAtOnceAllFinish) {
  constexpr int kThreads = 64;
  Trace traces[kThreads];
  for (Trace& trace : traces) {
    ASSERT_NE(StartDetachedThread(std::make_unique<TracedThread>(trace)), nullptr);
  }
  ASSERT_TRUE(WaitUntil([] { return DetachedThread::LiveCount() == 0; }, std::chrono::seconds(30)));
  for (const Trace& trace : traces) {
    EXPECT_TRUE(trace.destroyedAfterEntry);
  }
}

}  // namespace
