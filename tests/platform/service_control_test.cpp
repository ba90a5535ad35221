// The run token behind the pause point, with real threads: a pause or stop
// freezes every thread at its next pause point, continue lets it go, and the
// host's wait for the token is bounded.
#include "platform/service_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

// A thread that passes its pause point in a tight loop, counting the passes.
class PassingThread {
 public:
  PassingThread()
      : thread_([this] {
          while (!done_) {
            ServicePausePoint();
            ++passes_;
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  ~PassingThread() {
    done_ = true;
    ReleaseRunToken();
    thread_.join();
  }
  int passes() const { return passes_; }
  bool WaitForPasses(int count) const {
    return WaitUntil([&] { return passes_ >= count; }, 30s);
  }

 private:
  std::atomic<bool> done_{false};
  std::atomic<int> passes_{0};
  std::thread thread_;
};

TEST(RunToken, PauseFreezesAtThePausePointAndContinueResumes) {
  PassingThread agent;
  ASSERT_TRUE(agent.WaitForPasses(3));

  ASSERT_TRUE(TakeRunToken(5000));
  // Taking the token waited for the thread to arrive at its pause point.
  EXPECT_FALSE(IsAgentBusy());
  const int frozenAt = agent.passes();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(agent.passes(), frozenAt);

  // A second request (stop while paused) finds the token taken and gives up
  // after its bounded wait; the thread stays frozen.
  EXPECT_FALSE(TakeRunToken(50));
  EXPECT_EQ(agent.passes(), frozenAt);

  EXPECT_TRUE(ReleaseRunToken());
  EXPECT_FALSE(ReleaseRunToken());  // not held any more
  EXPECT_TRUE(agent.WaitForPasses(frozenAt + 3));
  EXPECT_TRUE(IsAgentBusy() || agent.passes() > frozenAt);
}

TEST(RunToken, TakingTheTokenIsBoundedWhenNoThreadPasses) {
  // No thread passes a pause point: the token is taken at once, and the wait
  // for a thread to park ends with the bound.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(TakeRunToken(100));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_TRUE(ReleaseRunToken());
}

TEST(RunToken, SleepWaitsOutAPause) {
  ASSERT_TRUE(TakeRunToken(0));
  std::atomic<bool> slept{false};
  std::thread sleeper([&] {
    SleepWithPausePoints(1);
    slept = true;
  });
  std::this_thread::sleep_for(1500ms);  // longer than the one-second sleep
  EXPECT_FALSE(slept);
  ReleaseRunToken();
  sleeper.join();
  EXPECT_TRUE(slept);
}

TEST(RunToken, WaitIsThePollIntervalLessThirtyMilliseconds) {
  EXPECT_EQ(RunTokenWaitMs(1), 970);
  EXPECT_EQ(RunTokenWaitMs(10), 9970);
  EXPECT_EQ(RunTokenWaitMs(2147483647), 2147483647);  // no overflow
}

TEST(InitialisedFlag, SetOnAnotherThreadEndsTheWait) {
  ClearAgentInitialised();
  EXPECT_FALSE(WaitForAgentInitialised(10));
  std::thread setter([] {
    std::this_thread::sleep_for(50ms);
    SetAgentInitialised();
  });
  EXPECT_TRUE(WaitForAgentInitialised(10000));
  EXPECT_TRUE(IsAgentInitialised());
  setter.join();
  ClearAgentInitialised();
  EXPECT_FALSE(IsAgentInitialised());
}

}  // namespace
