#include "platform/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/service_control.h"
#include "platform/settings.h"
#include "platform/syslog_sink.h"
#include "platform/text.h"

namespace {
// Both are written on the main thread before other threads start, except the
// handler, which the service host sets once its control thread runs.
std::atomic<bool> serviceMode{false};
std::atomic<FatalLogHandler> fatalHandler{nullptr};

// The test sink: the flag spares the lock while no sink is set.
std::atomic<bool> sinkSet{false};
std::mutex sinkMutex;
LogSink* sink = nullptr;  // guarded by sinkMutex

void WriteConsoleLine(const std::string& line) {
  if (sinkSet.load()) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (sink != nullptr) {
      sink->Write(line);
      return;
    }
  }
  std::fputs(line.c_str(), stdout);
}

void LogToConsole(const std::string& text, LogLevel level, LogLevel configured) {
  switch (level) {
    case LOG_ERROR:
      LogFatal(text);
    case LOG_WARNING:
      if (configured >= LOG_WARNING) WriteConsoleLine(StrFormat(_("WARNING: %s\n"), text.c_str()));
      break;
    case LOG_DEBUG1:
      if (configured >= LOG_DEBUG1) WriteConsoleLine(StrFormat(_("DEBUG: %s\n"), text.c_str()));
      break;
    case LOG_DEBUG2:
      if (configured >= LOG_DEBUG2) WriteConsoleLine(StrFormat(_("DEBUG: %s\n"), text.c_str()));
      break;
  }
  std::fflush(stdout);
}

void LogToSyslog(const std::string& text, LogLevel level, LogLevel configured) {
  switch (level) {
    case LOG_ERROR:
      LogFatal(text);
    case LOG_WARNING:
      if (configured >= LOG_WARNING) WriteSyslog(LOG_WARNING, text);
      break;
    case LOG_DEBUG1:
    case LOG_DEBUG2:
      // Debug lines reach the system log only at debug2, so that debug1 stays
      // a console level.
      if (configured >= LOG_DEBUG2) WriteSyslog(level, text);
      break;
  }
}
}  // namespace

void LogMessage(const std::string& text, LogLevel level) {
  const LogLevel configured = GetSettings().log_level;
  if (serviceMode.load()) {
    LogToSyslog(text, level, configured);
  } else {
    LogToConsole(text, level, configured);
  }
}

void LogFatal(const std::string& text) {
  if (serviceMode.load()) {
    WriteSyslog(LOG_ERROR, text);
    // The handler sets the initialised flag itself once it has marked the
    // start failed; setting it earlier would let the service host report a
    // start that is already failing as running.
    FatalLogHandler handler = fatalHandler.load();
    if (handler != nullptr) handler(text);
    SetAgentInitialised();
    // No service host yet: the settings are still being read. Starting the
    // service without the rejected value would run it with a configuration
    // nobody asked for, so the start fails instead.
  } else {
    std::printf(_("ERROR: %s\n"), text.c_str());
    SetAgentInitialised();
  }
  EndProcess(1);
}

void UseServiceLog(const std::string& serviceName) {
  OpenSyslog(serviceName);
  serviceMode = true;
}

void SetLogSinkForTests(LogSink* newSink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  sink = newSink;
  sinkSet = newSink != nullptr;
}

void SetFatalLogHandler(FatalLogHandler handler) { fatalHandler = handler; }

void EndProcess(int exitCode) {
  std::fflush(nullptr);
  std::_Exit(exitCode);
}
