// The log function: level filtering and the fatal path.
#include "platform/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/global_state.h"
#include "support/wait.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  LogLevelGuard level_;
};

TEST_F(LogTest, WritesOnlyUpToTheConfiguredLevel) {
  struct Case {
    LogLevel configured;
    std::string expected;
  };
  const Case cases[] = {
      {LOG_ERROR, ""},
      {LOG_WARNING, "WARNING: w\n"},
      {LOG_DEBUG1, "WARNING: w\nDEBUG: d1\n"},
      {LOG_DEBUG2, "WARNING: w\nDEBUG: d1\nDEBUG: d2\n"},
  };
  for (const Case& c : cases) {
    SetLogLevel(c.configured);
    LogCapture capture;
    LogMessage("w", LOG_WARNING);
    LogMessage("d1", LOG_DEBUG1);
    LogMessage("d2", LOG_DEBUG2);
    EXPECT_EQ(capture.Take(), c.expected) << c.configured;
  }
}

TEST_F(LogTest, SinkGetsWholeLinesFromManyThreadsUntilItIsRemoved) {
  SetLogLevel(LOG_DEBUG2);
  std::string all;
  {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) LogMessage("thread " + std::to_string(t), LOG_DEBUG1);
      });
    }
    for (std::thread& thread : threads) thread.join();
    all = capture.Take();
    LogMessage("after take", LOG_WARNING);
    EXPECT_EQ(capture.Text(), "WARNING: after take\n");
  }
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(CountOf(all, "DEBUG: thread " + std::to_string(t) + "\n"), 200) << t;
  }
  EXPECT_EQ(all.size(), 4u * 200u * std::string("DEBUG: thread 0\n").size());
  // Removed: lines go to standard output again.
  ::testing::internal::CaptureStdout();
  LogMessage("to stdout", LOG_WARNING);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "WARNING: to stdout\n");
}

TEST_F(LogTest, FatalMessagesEndTheProcessWithCodeOne) {
  // The line goes to standard output; in the dying child that is pointed at
  // standard error, which the death test reads.
  EXPECT_EXIT((stdout = stderr, LogFatal("it broke")), ::testing::ExitedWithCode(1),
              "ERROR: it broke");
  EXPECT_EXIT((stdout = stderr, LogMessage("also fatal", LOG_ERROR)), ::testing::ExitedWithCode(1),
              "ERROR: also fatal");
}

}  // namespace
