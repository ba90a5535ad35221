#include "platform/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/syslog_sink.h"
#include "platform/text.h"

namespace {
// Written on the main thread before other threads start, except the handler,
// which the service host sets once its control thread runs.
std::atomic<bool> serviceMode{false};
std::atomic<LogLevel> configuredLevel{LOG_ERROR};
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
  const LogLevel configured = configuredLevel.load();
  if (serviceMode.load()) {
    LogToSyslog(text, level, configured);
  } else {
    LogToConsole(text, level, configured);
  }
}

void SetLogLevel(LogLevel level) { configuredLevel = level; }

LogLevel GetLogLevel() { return configuredLevel.load(); }

void LogFatal(const std::string& text) {
  if (serviceMode.load()) {
    WriteSyslog(LOG_ERROR, text);
  } else {
    std::printf(_("ERROR: %s\n"), text.c_str());
  }
  // Without a handler the settings are still being read: in a service, starting
  // without the rejected value would run it with a configuration nobody asked
  // for, so the start fails instead.
  FatalLogHandler handler = fatalHandler.load();
  if (handler != nullptr) handler(text);
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
