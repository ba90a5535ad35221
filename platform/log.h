// The agent's one log function and its levels. LogMessage may be called from any
// thread without a lock; lines of different threads may interleave.
#pragma once

#include <string>

// Levels of LogMessage. LOG_ERROR is fatal: it ends a foreground agent with exit
// code 1 and stops a service. The names are the agent's own; <syslog.h> defines
// clashing macros, so only platform/syslog_sink.cpp may include it.
enum AgentLogLevel : int {
  LOG_ERROR = 0,
  LOG_WARNING = 1,
  LOG_DEBUG1 = 2,
  LOG_DEBUG2 = 3,
};

// Writes `text` (already translated and formatted) at `level`, filtered by the
// configured log level. To the console in the foreground, to syslog in a service.
void LogMessage(const std::string& text, int level);
