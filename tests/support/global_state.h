// Guards for the process-wide state tests change: settings, the log level, the
// log sink and environment variables. Each restores what it saved when it goes out
// of scope, so a failing assertion cannot leave the change to the next test;
// hold them as fixture members (or locals) rather than restoring at the end of
// a test body.
#pragma once

#include <stdlib.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/log.h"

// Saves a process-wide value (for example GetDBSettings()) and puts it back.
template <typename T>
class RestoreOnExit {
 public:
  explicit RestoreOnExit(T& value) : value_(value), saved_(value) {}
  ~RestoreOnExit() { value_ = saved_; }
  RestoreOnExit(const RestoreOnExit&) = delete;
  RestoreOnExit& operator=(const RestoreOnExit&) = delete;

 private:
  T& value_;
  T saved_;
};

// Saves the log level and puts it back.
class LogLevelGuard {
 public:
  LogLevelGuard() : saved_(GetLogLevel()) {}
  ~LogLevelGuard() { SetLogLevel(saved_); }
  LogLevelGuard(const LogLevelGuard&) = delete;
  LogLevelGuard& operator=(const LogLevelGuard&) = delete;

 private:
  LogLevel saved_;
};

// Sets (or with std::nullopt unsets) one environment variable and puts back
// what it was.
class EnvGuard {
 public:
  EnvGuard(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = getenv(name_.c_str())) saved_ = old;
    Set(value);
  }
  ~EnvGuard() { Set(saved_); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  void Set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Collects the agent's console log lines while it lives, instead of standard
// output; any thread may log meanwhile.
class LogCapture : public LogSink {
 public:
  LogCapture() { SetLogSinkForTests(this); }
  ~LogCapture() override { SetLogSinkForTests(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void Write(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += line;
  }
  // Everything logged so far.
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  // Everything logged so far, and starts again empty.
  std::string Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    all.swap(text_);
    return all;
  }

 private:
  std::mutex mutex_;
  std::string text_;  // guarded by mutex_
};
