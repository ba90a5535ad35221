// Child processes for tests: a program run to completion, or run in the
// background with its standard output and error captured, waited on, signalled
// and always killed and reaped when the object goes out of scope. The child is
// also killed when the test process dies. Safe to use from any test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // exit status, or 128 + signal number when it was killed
  std::string output;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (looked up on PATH when it has no slash) with `argv`; `env`
  // entries NAME=value are added to (or replace) the test's own environment.
  // Standard input is /dev/null; standard output and error are collected
  // together, into Output(), or appended to `outputFile` when one is given.
  // False (with the reason in Output()) when it cannot start.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::string& outputFile = "");

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Everything the child has printed so far.
  std::string Output();

  // Waits until the output holds `text` at least `times` times.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit, int times = 1);

  // Sends `signal` to the child while it has not been reaped.
  void Signal(int signal);

  // The exit code (or 128 + the signal that ended it) once the child has ended
  // within `limit`, with its output read to the end; nullopt when it still runs.
  // After the child ended, returns the same code again.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit);

  // Kills the child with SIGKILL (if it still runs), reaps it and returns its
  // exit code.
  int Kill();

 private:
  void ReadOutput(int fd);
  void Reap(int status);

  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;  // guarded by mutex_
};

// Runs argv to completion (see ChildProcess::Start) and returns its exit code
// and output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {});

// Quotes `text` for /bin/sh.
std::string ShellQuote(const std::string& text);
