// A child process whose standard output and standard error both go into one
// pipe that the parent reads to the end: the runner of scripts. The child gets
// /dev/null as standard input, default signal handling with nothing blocked,
// and a process group of its own, so that it and whatever it starts can be
// ended together. One thread uses an object; EndAllCapturedProcesses may be
// called from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

class CapturedProcess {
 public:
  // How reading the output ended.
  enum class Outcome {
    kExited,    // the child exited and its output was read
    kTooMuch,   // the output passed the limit; the process group was killed
    kEnded,     // the process group was ended by EndAllCapturedProcesses
    kFailed,    // reading the pipe failed; the process group was killed
    kTimedOut,  // the child ran past the time limit; the process group was killed
  };

  CapturedProcess() = default;
  // Kills the process group if the child still runs, and reaps the child.
  ~CapturedProcess();
  CapturedProcess(const CapturedProcess&) = delete;
  CapturedProcess& operator=(const CapturedProcess&) = delete;

  // Starts `argv[0]` (a path; PATH is not searched) with the arguments
  // `argv`, never through a shell, with the agent's environment. False with
  // the reason in *errorText (and errno kept) when it could not be started, or
  // when EndAllCapturedProcesses has been called.
  bool Start(const std::vector<std::string>& argv, std::string* errorText);

  // Reads the output until the child has exited and the pipe is empty or
  // closed, at most `maxBytes` bytes; then reaps the child. A descendant that
  // keeps the pipe open after the child exited does not hold the read up: what
  // is already in the pipe is taken and the rest is left. A child that closes
  // its output and runs on is waited for. With a `limit` above zero, a child
  // still running that long after the call has its process group killed
  // (kTimedOut). kFailed when nothing was started.
  Outcome ReadAll(size_t maxBytes, std::string* output,
                  std::chrono::milliseconds limit = std::chrono::milliseconds::zero());

  // The child's process id while it runs, or -1.
  pid_t pid() const { return pid_; }
  // The child's exit status as waitpid gave it, once reaped (-1 before).
  int waitStatus() const { return waitStatus_; }

 private:
  void KillGroup();
  void Reap();

  pid_t pid_ = -1;
  int waitStatus_ = -1;
  UniqueFd readEnd;
};

// Kills the process group of every running captured process and makes later
// starts fail: for the stop of the agent, so that no script holds it up.
void EndAllCapturedProcesses();
