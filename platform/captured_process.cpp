#include "platform/captured_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>

#include "platform/text.h"

extern char** environ;

namespace {

// Never destroyed: a worker may still end its child while the process exits.
std::mutex& GroupsMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
// Guarded by GroupsMutex(): the process groups of running children, and
// whether the agent is stopping (no new children then).
std::set<pid_t>& RunningGroups() {
  static std::set<pid_t>* groups = new std::set<pid_t>;
  return *groups;
}
bool stopping = false;

struct SpawnAttrDeleter {
  void operator()(posix_spawnattr_t* attr) const {
    posix_spawnattr_destroy(attr);
    delete attr;
  }
};
struct FileActionsDeleter {
  void operator()(posix_spawn_file_actions_t* actions) const {
    posix_spawn_file_actions_destroy(actions);
    delete actions;
  }
};

}  // namespace

CapturedProcess::~CapturedProcess() {
  if (pid_ > 0) {
    KillGroup();
    Reap();
  }
}

bool CapturedProcess::Start(const std::vector<std::string>& argv, std::string* errorText) {
  if (pid_ > 0 || argv.empty()) {
    *errorText = "a process is already running or no program was given";
    errno = EINVAL;
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *errorText = StrFormat("pipe2 failed: %s", strerror(errno));
    return false;
  }
  UniqueFd readFd(fds[0]);
  UniqueFd writeFd(fds[1]);

  auto attr = std::unique_ptr<posix_spawnattr_t, SpawnAttrDeleter>(new posix_spawnattr_t);
  if (posix_spawnattr_init(attr.get()) != 0) {
    attr.release();  // nothing to destroy
    *errorText = "posix_spawnattr_init failed";
    return false;
  }
  // The agent blocks the stop signals for its signal thread; the child must
  // get them like any process, with default handlers.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigmask(attr.get(), &none);
  posix_spawnattr_setsigdefault(attr.get(), &defaults);
  posix_spawnattr_setpgroup(attr.get(), 0);
  posix_spawnattr_setflags(attr.get(),
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  auto actions = std::unique_ptr<posix_spawn_file_actions_t, FileActionsDeleter>(
      new posix_spawn_file_actions_t);
  if (posix_spawn_file_actions_init(actions.get()) != 0) {
    actions.release();
    *errorText = "posix_spawn_file_actions_init failed";
    return false;
  }
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), writeFd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), writeFd.get(), STDERR_FILENO);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  // Registered under the mutex, so that EndAllCapturedProcesses either sees
  // the new group or keeps it from being made.
  std::lock_guard<std::mutex> lock(GroupsMutex());
  if (stopping) {
    *errorText = "the agent is stopping";
    errno = ECANCELED;
    return false;
  }
  pid_t child = -1;
  int rc = posix_spawn(&child, args[0], actions.get(), attr.get(), args.data(), environ);
  if (rc != 0) {
    errno = rc;
    *errorText = StrFormat("posix_spawn of %s failed: %s", argv[0].c_str(), strerror(rc));
    return false;
  }
  pid_ = child;
  waitStatus_ = -1;
  RunningGroups().insert(child);
  readEnd = std::move(readFd);
  return true;  // writeFd closes here: only the child holds the write end
}

CapturedProcess::Outcome CapturedProcess::ReadAll(size_t maxBytes, std::string* output,
                                                  std::chrono::milliseconds limit) {
  if (pid_ <= 0) return Outcome::kFailed;  // nothing was started
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pastDeadline = [&] {
    return limit > std::chrono::milliseconds::zero() &&
           std::chrono::steady_clock::now() >= deadline;
  };
  auto stopRequested = [] {
    std::lock_guard<std::mutex> lock(GroupsMutex());
    return stopping;
  };
  char buffer[4096];
  bool exited = false;
  for (;;) {
    if (!exited) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited = true;
        waitStatus_ = status;
        // The group may live on in a daemon that holds the pipe: take only
        // what is already there from now on.
        int flags = fcntl(readEnd.get(), F_GETFL);
        if (flags >= 0) fcntl(readEnd.get(), F_SETFL, flags | O_NONBLOCK);
      }
    }
    if (!exited) {
      pollfd pfd{readEnd.get(), POLLIN, 0};
      int ready = poll(&pfd, 1, 100);
      if (ready < 0 && errno != EINTR) {
        KillGroup();
        Reap();
        return Outcome::kFailed;
      }
      if (ready <= 0) {
        if (stopRequested()) {
          KillGroup();
          Reap();
          return Outcome::kEnded;
        }
        if (pastDeadline()) {
          KillGroup();
          Reap();
          return Outcome::kTimedOut;
        }
        continue;
      }
    }
    ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && !exited) {
      KillGroup();
      Reap();
      return Outcome::kFailed;
    }
    if (got <= 0) {
      // End of the pipe (every writer gone), or nothing more after the exit.
      // A child that closed its output and runs on is waited for, within the
      // time limit and as long as the agent is not stopping.
      int status = 0;
      pid_t done = 0;
      while (!exited && (done = waitpid(pid_, &status, WNOHANG)) == 0) {
        if (stopRequested() || pastDeadline()) {
          const bool ended = stopRequested();
          KillGroup();
          Reap();
          return ended ? Outcome::kEnded : Outcome::kTimedOut;
        }
        poll(nullptr, 0, 100);
      }
      if (done == pid_) waitStatus_ = status;
      Reap();
      std::lock_guard<std::mutex> lock(GroupsMutex());
      return stopping ? Outcome::kEnded : Outcome::kExited;
    }
    if (output->size() + static_cast<size_t>(got) > maxBytes) {
      KillGroup();
      Reap();
      return Outcome::kTooMuch;
    }
    output->append(buffer, static_cast<size_t>(got));
  }
}

void CapturedProcess::KillGroup() {
  if (pid_ > 0) kill(-pid_, SIGKILL);
}

void CapturedProcess::Reap() {
  if (pid_ <= 0) return;
  if (waitStatus_ == -1) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waitStatus_ = status;
  }
  {
    std::lock_guard<std::mutex> lock(GroupsMutex());
    RunningGroups().erase(pid_);
  }
  pid_ = -1;
  readEnd.Reset();
}

void EndAllCapturedProcesses() {
  std::lock_guard<std::mutex> lock(GroupsMutex());
  stopping = true;
  for (pid_t group : RunningGroups()) kill(-group, SIGKILL);
}
