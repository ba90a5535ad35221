// Helpers for the agent's integration tests: the agent's central connection
// inside the test process, and the real agent program run as a child process
// whose output the test reads.
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
#include "settings_guard.h"
#include "support/pg_cluster.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace agent_test {

using Clock = std::chrono::steady_clock;
using ::CountOf;
using ::WaitUntil;

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

// The agent program run in the foreground (DEBUG) as a child process, with a
// private temporary directory (its default flag directory lies under it)
// removed when the agent has been stopped. Stopped by the destructor.
class AgentProcess {
 public:
  explicit AgentProcess(const std::vector<std::string>& args) : tmpDir_("varo-agent-") {
    std::vector<std::string> argv = {std::string(VARO_BINARY_DIR) + "/varo-agent", "DEBUG"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child_.Start(argv, {"TMPDIR=" + tmpDir_.str()})) {
      ADD_FAILURE() << "cannot start the agent: " << child_.Output();
    }
  }

  ~AgentProcess() { Stop(); }

  // Everything the agent has printed so far.
  std::string Output() { return child_.Output(); }

  // Waits until the output holds `text` at least `times` times.
  bool WaitForOutput(const std::string& text, std::chrono::seconds limit, int times = 1) {
    return child_.WaitForOutput(text, limit, times);
  }

  // Ends the agent at once with SIGKILL, as a crash would.
  int Kill() { return child_.Kill(); }

  // Stops the agent with SIGTERM (SIGKILL after 15 seconds) and returns its
  // exit code, or 128 + the signal that ended it.
  int Stop() {
    if (child_.running()) {
      child_.Signal(SIGTERM);
      if (!child_.WaitForExit(std::chrono::seconds(15))) {
        ADD_FAILURE() << "the agent did not end on SIGTERM";
      }
    }
    return child_.Kill();
  }

 private:
  TempDir tmpDir_;  // outlives the child, which is stopped first
  ChildProcess child_;
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
