// The log function: level filtering and the fatal path.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/log.h"
#include "platform/settings.h"
#include "support/global_state.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { saved = GetSettings().log_level; }
  void TearDown() override { GetSettings().log_level = saved; }
  LogLevel saved = LOG_ERROR;
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
    GetSettings().log_level = c.configured;
    LogCapture capture;
    LogMessage("w", LOG_WARNING);
    LogMessage("d1", LOG_DEBUG1);
    LogMessage("d2", LOG_DEBUG2);
    EXPECT_EQ(capture.Take(), c.expected) << c.configured;
  }
}

TEST_F(LogTest, FatalMessagesEndTheProcessWithCodeOne) {
  // The line goes to standard output; in the dying child that is pointed at
  // standard error, which the death test reads.
  EXPECT_EXIT((stdout = stderr, LogFatal("it broke")),
              ::testing::ExitedWithCode(1), "ERROR: it broke");
  EXPECT_EXIT((stdout = stderr, LogMessage("also fatal", LOG_ERROR)),
              ::testing::ExitedWithCode(1), "ERROR: also fatal");
}

}  // namespace
