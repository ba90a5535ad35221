// Helpers for the agent's integration tests: waiting for a condition, the
// agent's central connection inside the test process, and the real agent
// program run as a child process whose output the test reads.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/settings.h"
#include "db/central_connection.h"
#include "support/pg_cluster.h"

extern char** environ;

namespace agent_test {

using Clock = std::chrono::steady_clock;

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Counts the non-overlapping occurrences of `needle` in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// A TCP socket bound to a loopback port: connections are refused until Listen,
// then they are accepted by the kernel and never answered.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentServer() { Close(); }
  int port() const { return port_; }
  void Listen() {
    listen(fd_, 8);
    listening_ = true;
  }
  bool listening() const { return listening_ && fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool listening_ = false;
};

// Points the process settings at the test cluster as agent `agentId` and makes
// the shared central connection; fails the test when that is impossible.
inline void ConnectCentralAs(int32_t agentId) {
  PgCluster& cluster = PgCluster::Get();
  Settings& settings = GetSettings();
  settings.varo_host = cluster.socketDir();
  settings.varo_port = static_cast<uint16_t>(cluster.port());
  settings.agent_id = agentId;
  settings.short_wait = 1;
  settings.long_wait = 10;
  settings.log_level = LOG_DEBUG2;
  PublishSettings();
  std::unique_ptr<DBConnection> connection;
  ConnectToVARO(connection, true);
  ASSERT_TRUE(connection) << "the agent cannot connect to the test cluster";
  SetCentralConnection(std::move(connection));
}

// The agent program run in the foreground (DEBUG) as a child process. Its
// standard output and error are collected on a reader thread; the child is
// killed when the test process dies, and stopped by the destructor.
class AgentProcess {
 public:
  explicit AgentProcess(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    std::vector<std::string> argv = {std::string(VARO_BINARY_DIR) + "/varo-agent", "DEBUG"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& arg : argv) cargv.push_back(arg.data());
    cargv.push_back(nullptr);
    // The agent's temporary directory (its default flag directory lies under
    // it) is a private one, removed when the agent has been stopped.
    char tmpl[] = "/tmp/varo-agent-XXXXXX";
    if (mkdtemp(tmpl)) tmpDir_ = tmpl;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
    }
    env.push_back("TMPDIR=" + tmpDir_);
    std::vector<char*> cenv;
    for (std::string& entry : env) cenv.push_back(entry.data());
    cenv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      int devnull = open("/dev/null", O_RDONLY);
      dup2(devnull, 0);
      execve(cargv[0], cargv.data(), cenv.data());
      _exit(127);
    }
    close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] { ReadOutput(); });
  }

  ~AgentProcess() { Stop(); }

  // Everything the agent has printed so far.
  std::string Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

  // Waits until the output holds `text` at least `times` times.
  bool WaitForOutput(const std::string& text, std::chrono::seconds limit, int times = 1) {
    return WaitUntil([&] { return CountOf(Output(), text) >= times; }, limit);
  }

  // Stops the agent with SIGTERM (SIGKILL after 15 seconds) and returns its
  // exit code, or 128 + the signal that ended it.
  int Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      const auto deadline = Clock::now() + std::chrono::seconds(15);
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
          ADD_FAILURE() << "the agent did not end on SIGTERM";
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (readFd_ >= 0) {
      close(readFd_);
      readFd_ = -1;
    }
    if (!tmpDir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(tmpDir_, ignored);
      tmpDir_.clear();
    }
    return exitCode_;
  }

 private:
  void ReadOutput() {
    char buffer[4096];
    for (;;) {
      ssize_t n = read(readFd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      output_.append(buffer, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string tmpDir_;
  int exitCode_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;  // guarded by mutex_
};

// The options that point a child agent at the test cluster as agent `agentId`,
// polling every second, retrying after 10 seconds, logging everything.
inline std::vector<std::string> AgentOptions(int32_t agentId) {
  PgCluster& cluster = PgCluster::Get();
  return {"-o", "varo_host=" + cluster.socketDir(),
          "-o", "varo_port=" + std::to_string(cluster.port()),
          "-o", "agent_id=" + std::to_string(agentId),
          "-t", "1",
          "-r", "10",
          "-l", "debug2"};
}

// Fails the test when a sanitizer reported something in the agent's output.
inline void ExpectNoSanitizerReport(const std::string& output) {
  EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
  EXPECT_EQ(output.find("runtime error:"), std::string::npos) << output;
}

}  // namespace agent_test
