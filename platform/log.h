// The agent's one log function and its levels. LogMessage may be called from any
// thread without a lock; lines of different threads may interleave.
#pragma once

#include <string>

// Levels of LogMessage, and the configured log level (SetLogLevel): a message
// is written when the configured level is at least its own. LOG_ERROR
// is fatal: it ends a foreground agent with exit code 1 and stops a service. The
// names are the agent's own; <syslog.h> defines clashing macros, so only
// platform/syslog_sink.cpp may include it.
enum LogLevel : int {
  LOG_ERROR = 0,
  LOG_WARNING = 1,
  LOG_DEBUG1 = 2,
  LOG_DEBUG2 = 3,
};

// Writes `text` (already translated and formatted) at `level`, filtered by the
// configured log level. To the console in the foreground, to syslog in a service.
// A LOG_ERROR does not return (it is LogFatal).
void LogMessage(const std::string& text, LogLevel level);

// Sets the configured log level (LOG_ERROR until set). Call on the main thread
// before other threads start; LogMessage reads it on any thread.
void SetLogLevel(LogLevel level);
LogLevel GetLogLevel();

// Writes `text` as a fatal error and ends the process with exit code 1: the
// fatal handler (see SetFatalLogHandler) runs first when one is set. Never
// returns.
[[noreturn]] void LogFatal(const std::string& text);

// Switches LogMessage to service mode: lines go to syslog under `serviceName`,
// and debug lines are written only at log level debug2. Call once on the main
// thread before other threads start.
void UseServiceLog(const std::string& serviceName);

// Sets what a fatal message does after the line was written, in the foreground
// and in a service: the agent marks its start as over, and in a service stops
// the agent and reports the service stopped, then ends the process. Until a
// handler is set (while the settings are read) a fatal message ends the process
// with exit code 1 at once. The handler should not return; when it does, the
// process ends with exit code 1.
using FatalLogHandler = void (*)(const std::string& text);
void SetFatalLogHandler(FatalLogHandler handler);

// Receives the console lines (with their "WARNING: " or "DEBUG: " prefix and
// line end) instead of standard output while it is set, so that tests read the
// log without redirecting the process's output. Write may be called from any
// thread; calls are serialised.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(const std::string& line) = 0;
};

// Sets the sink, or none (nullptr) to write to standard output again. Once it
// returns, the previous sink receives no more lines. Fatal lines still go to
// standard output, as the process ends.
void SetLogSinkForTests(LogSink* sink);

// Ends the process at once with `exitCode` after flushing standard output and
// error, without running static destructors, which other threads may still use.
[[noreturn]] void EndProcess(int exitCode);
