#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "support/wait.h"

extern char** environ;

namespace {

// The full path of `program` on PATH, or `program` itself.
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) return program;
    start = end + 1;
  }
}

}  // namespace

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& outputFile) {
  if (pid_ > 0 || reader_.joinable() || argv.empty()) return false;
  exitCode_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.clear();
  }
  // Everything the child needs is prepared before fork: after it, the child of
  // a threaded process may only make async-signal-safe calls.
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    vars[entry.substr(0, entry.find('='))] = entry;
  }
  for (const std::string& entry : env) vars[entry.substr(0, entry.find('='))] = entry;
  std::vector<std::string> envStrings;
  for (auto& [name, entry] : vars) envStrings.push_back(entry);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  const std::string program = FindProgram(args[0]);
  std::vector<char*> argp;
  for (std::string& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  int fds[2] = {-1, -1};
  int outFd = -1;
  if (outputFile.empty()) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      output_ = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    outFd = fds[1];
  } else {
    outFd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (outFd < 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      output_ = "cannot open " + outputFile + ": " + std::strerror(errno);
      return false;
    }
  }
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(devNull, 0);
    dup2(outFd, 1);
    dup2(outFd, 2);
    execve(program.c_str(), argp.data(), envp.data());
    const char message[] = "cannot start the program\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(127);
  }
  const int forkError = errno;
  if (devNull >= 0) close(devNull);
  close(outFd);
  if (pid_ < 0) {
    if (fds[0] >= 0) close(fds[0]);
    std::lock_guard<std::mutex> lock(mutex_);
    output_ = std::string("fork: ") + std::strerror(forkError);
    return false;
  }
  if (fds[0] >= 0) reader_ = std::thread([this, fd = fds[0]] { ReadOutput(fd); });
  return true;
}

void ChildProcess::ReadOutput(int fd) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
}

std::string ChildProcess::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit,
                                 int times) {
  return WaitUntil([&] { return CountOf(Output(), text) >= times; }, limit);
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

void ChildProcess::Reap(int status) {
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  // The reader ends when the last holder of the pipe (the child, or a
  // grandchild it left behind) has closed it.
  if (reader_.joinable()) reader_.join();
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return exitCode_;
  int status = 0;
  const bool ended = WaitUntil(
      [&] {
        pid_t rc = waitpid(pid_, &status, WNOHANG);
        return rc == pid_ || (rc < 0 && errno != EINTR);
      },
      limit);
  if (!ended) return std::nullopt;
  Reap(status);
  return exitCode_;
}

int ChildProcess::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Reap(status);
  }
  if (reader_.joinable()) reader_.join();
  return exitCode_.value_or(-1);
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
  ProcessResult result;
  ChildProcess child;
  if (!child.Start(argv, env)) {
    result.output =
        "cannot start " + (argv.empty() ? std::string() : argv[0]) + ": " + child.Output();
    return result;
  }
  // Tests bound their programs themselves (timeouts of their own, or the
  // test's time limit); this waits as long as the program runs.
  std::optional<int> code;
  while (!(code = child.WaitForExit(std::chrono::hours(1)))) {
  }
  result.exitCode = *code;
  result.output = child.Output();
  return result;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}
