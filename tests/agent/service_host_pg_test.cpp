// The service host end to end: varo-agent RUN as a child process, with
// NOTIFY_SOCKET pointing at a datagram socket of the test (standing in for
// systemd, which does not run here), against the test cluster's central
// database. Signals are the control requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/pg_cluster.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kAgent = std::string(VARO_BINARY_DIR) + "/varo-agent";

// The service manager's side of the sd_notify protocol, plus the agent process.
class ServiceManagerStandIn {
 public:
  ServiceManagerStandIn() {
    dir_ = tmp_.path();
    socketPath_ = (dir_ / "notify").string();
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~ServiceManagerStandIn() {
    child_.Kill();
    if (fd_ >= 0) close(fd_);
    if (syslogFd_ >= 0) close(syslogFd_);
  }

  bool bound() const { return bound_; }
  const fs::path& dir() const { return dir_; }

  // Whether the agent can be run with a syslog socket of its own (a private
  // mount namespace, which needs root).
  static bool CanCaptureSyslog() {
    static const bool can =
        std::system("unshare --mount -- /bin/sh -c 'mount -t tmpfs tmpfs /mnt' 2>/dev/null") == 0;
    return can;
  }

  // Binds a datagram socket where the agent's syslog lines arrive: the agent
  // then runs in a private mount namespace whose /dev holds the real device
  // nodes and a /dev/log that is this socket.
  bool CaptureSyslog() {
    syslogPath_ = (dir_ / "log").string();
    syslogFd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, syslogPath_.c_str(), sizeof(address.sun_path) - 1);
    fs::create_directories(dir_ / "dev");
    return syslogFd_ >= 0 &&
           bind(syslogFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }

  // Every syslog line received so far, one per line.
  std::string SyslogLines() {
    for (;;) {
      pollfd p{syslogFd_, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) break;
      char buffer[4096];
      ssize_t n = recv(syslogFd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      syslog_.append(buffer, static_cast<size_t>(n));
      syslog_ += '\n';
    }
    return syslog_;
  }

  bool Start(const std::vector<std::string>& args) {
    std::vector<std::string> extra = PgCluster::Get().LibpqEnv();
    extra.push_back("NOTIFY_SOCKET=" + socketPath_);
    extra.push_back("VARO_REGISTRY_FILE=" + (dir_ / "agent.reg").string());
    // The agent makes its flag directory under the temporary directory; keep it
    // inside the test's own directory, which is removed afterwards.
    extra.push_back("TMPDIR=" + dir_.string());
    std::vector<std::string> argStrings = args;
    argStrings.insert(argStrings.begin(), kAgent);
    if (syslogFd_ >= 0) {
      const std::vector<std::string> wrapper = {
          "/usr/bin/unshare",
          "--mount",
          "--",
          "/bin/sh",
          "-c",
          "set -e; old=\"$1\"; log=\"$2\"; shift 2; mount --bind /dev \"$old\"; "
          "mount -t tmpfs tmpfs /dev; for f in \"$old\"/*; do ln -s \"$f\" /dev/; done; "
          "ln -s \"$log\" /dev/log; exec \"$@\"",
          "sh",
          (dir_ / "dev").string(),
          syslogPath_};
      argStrings.insert(argStrings.begin(), wrapper.begin(), wrapper.end());
    }
    return child_.Start(argStrings, extra, (dir_ / "output").string());
  }

  // Waits up to `timeout` for a notification containing `text`; every
  // notification received is kept in received().
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      received_.emplace_back(buffer, static_cast<size_t>(n));
      if (received_.back().find(text) != std::string::npos) return true;
    }
  }

  void Signal(int signal) { child_.Signal(signal); }

  // The exit code once the process ends within `timeout`, or -1.
  int WaitForExit(std::chrono::milliseconds timeout) {
    return child_.WaitForExit(timeout).value_or(-1);
  }

  std::string Received() const {
    std::string all;
    for (const std::string& r : received_) all += "[" + r + "]";
    return all;
  }

 private:
  TempDir tmp_{"varo-svc-"};
  fs::path dir_;
  std::string socketPath_;
  int fd_ = -1;
  bool bound_ = false;
  ChildProcess child_;  // killed before the directory is removed
  std::vector<std::string> received_;
  std::string syslogPath_;
  int syslogFd_ = -1;
  std::string syslog_;
};

std::vector<std::string> AgentArguments() {
  const PgCluster& cluster = PgCluster::Get();
  return {"RUN", "svc",
          "-o",  "varo_host=" + cluster.socketDir(),
          "-o",  "varo_port=" + std::to_string(cluster.port()),
          "-o",  "agent_id=7",
          "-t",  "1"};
}

class ServiceHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string output;
    int rc = PgCluster::Get().RunCentralDb({"--agent", "7"}, &output);
    ASSERT_EQ(rc, 0) << output;
  }
};

TEST_F(ServiceHost, StartPauseContinueStop) {
  ServiceManagerStandIn manager;
  ASSERT_TRUE(manager.bound());
  ASSERT_TRUE(manager.Start(AgentArguments()));

  // Start pending with the first wait hint, then running once initialised.
  ASSERT_TRUE(manager.WaitFor("EXTEND_TIMEOUT_USEC=15000000", 30s)) << manager.Received();
  ASSERT_TRUE(manager.WaitFor("READY=1", 120s)) << manager.Received();

  manager.Signal(SIGUSR1);
  ASSERT_TRUE(manager.WaitFor("STATUS=Paused", 10s)) << manager.Received();
  manager.Signal(SIGUSR2);
  ASSERT_TRUE(manager.WaitFor("STATUS=Running", 10s)) << manager.Received();

  manager.Signal(SIGTERM);
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", 10s)) << manager.Received();
  ASSERT_TRUE(manager.WaitFor("STATUS=Stopped", 10s)) << manager.Received();
  EXPECT_EQ(manager.WaitForExit(10s), 0);
}

TEST_F(ServiceHost, StopWhilePausedStillEnds) {
  ServiceManagerStandIn manager;
  ASSERT_TRUE(manager.bound());
  ASSERT_TRUE(manager.Start(AgentArguments()));
  ASSERT_TRUE(manager.WaitFor("READY=1", 120s)) << manager.Received();
  manager.Signal(SIGUSR1);
  ASSERT_TRUE(manager.WaitFor("STATUS=Paused", 10s)) << manager.Received();
  manager.Signal(SIGINT);
  ASSERT_TRUE(manager.WaitFor("STATUS=Stopped", 10s)) << manager.Received();
  EXPECT_EQ(manager.WaitForExit(10s), 0);
}

TEST_F(ServiceHost, FatalSettingErrorFailsTheStart) {
  // A rejected setting must not start the service with the value left out:
  // the start fails, and systemd sees a failure exit code.
  ServiceManagerStandIn manager;
  ASSERT_TRUE(manager.bound());
  std::vector<std::string> args = AgentArguments();
  args.push_back("-o");
  args.push_back("agent_id=abc");
  ASSERT_TRUE(manager.Start(args));
  EXPECT_EQ(manager.WaitForExit(30s), 1);
  EXPECT_FALSE(manager.WaitFor("READY=1", 100ms)) << manager.Received();
}

TEST_F(ServiceHost, FatalErrorWhileStartingSendsNoReady) {
  // A client key without a certificate is fatal on the agent thread and on
  // every alert thread, all within the first moments of the start; with many
  // alert threads one of them is usually first, and its stop waits for the
  // agent thread while the start is still pending. systemd
  // must see a failed start: no READY=1, exit status 1, the error in syslog.
  ServiceManagerStandIn manager;
  ASSERT_TRUE(manager.bound());
  const bool syslog = ServiceManagerStandIn::CanCaptureSyslog();
  if (syslog) {
    ASSERT_TRUE(manager.CaptureSyslog());
  }
  std::vector<std::string> args = AgentArguments();
  for (const char* extra : {"-o", "agent_ssl_key=/nonexistent", "-a", "20"}) args.push_back(extra);
  ASSERT_TRUE(manager.Start(args));
  EXPECT_EQ(manager.WaitForExit(60s), 1);
  EXPECT_TRUE(manager.WaitFor("STATUS=Stopped", 1s)) << manager.Received();
  manager.WaitFor("READY=1", 100ms);  // collect whatever else arrived
  EXPECT_EQ(manager.Received().find("READY=1"), std::string::npos) << manager.Received();
  if (!syslog) GTEST_SKIP() << "syslog not checked: no private mount namespace here";
  // <27> is the daemon facility at error priority, tagged with the service name.
  const std::string lines = manager.SyslogLines();
  EXPECT_NE(lines.find("<27>"), std::string::npos) << lines;
  EXPECT_NE(lines.find("svc["), std::string::npos) << lines;
  EXPECT_NE(lines.find("SSL configuration is missing agent_ssl_crt"), std::string::npos) << lines;
}

TEST_F(ServiceHost, PauseBeforeTheAgentConnectedTakesEffectOnceItRuns) {
  // The central database cannot be reached at first: the agent's socket
  // directory is empty until the test links the cluster's socket into it.
  ServiceManagerStandIn manager;
  ASSERT_TRUE(manager.bound());
  const PgCluster& cluster = PgCluster::Get();
  const fs::path socketDir = manager.dir() / "pg";
  fs::create_directories(socketDir);
  const std::string port = std::to_string(cluster.port());
  ASSERT_TRUE(manager.Start({"RUN", "svc", "-o", "varo_host=" + socketDir.string(), "-o",
                             "varo_port=" + port, "-o", "agent_id=7", "-t", "1", "-r", "10"}));
  ASSERT_TRUE(manager.WaitFor("EXTEND_TIMEOUT_USEC=15000000", 30s)) << manager.Received();

  manager.Signal(SIGUSR1);
  ASSERT_TRUE(manager.WaitFor("STATUS=Start pending, pause requested", 10s)) << manager.Received();
  fs::create_symlink(fs::path(cluster.socketDir()) / (".s.PGSQL." + port),
                     socketDir / (".s.PGSQL." + port));

  // The start completes, and then the pause is carried out.
  ASSERT_TRUE(manager.WaitFor("READY=1", 120s)) << manager.Received();
  ASSERT_TRUE(manager.WaitFor("STATUS=Paused", 10s)) << manager.Received();
  manager.Signal(SIGUSR2);
  ASSERT_TRUE(manager.WaitFor("STATUS=Running", 10s)) << manager.Received();
  manager.Signal(SIGTERM);
  EXPECT_EQ(manager.WaitForExit(20s), 0);
}

}  // namespace

namespace {

// "Z" for a zombie, empty when no process `pid` exists.
std::string ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return "";
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? "" : line.substr(close + 2, 1);
}

TEST_F(ServiceHost, StopEndsARunningScript) {
  ServiceManagerStandIn manager;
  ASSERT_TRUE(manager.bound());
  const fs::path pidFile = manager.dir() / "script.pid";
  const PgCluster& cluster = PgCluster::Get();
  cluster.Exec("varo", "DELETE FROM varo.probe WHERE probe_internal_name = 't13_stop'");
  cluster.Exec("varo", "DROP TABLE IF EXISTS varodata.t13_stop");
  cluster.Exec("varo",
               "CREATE TABLE varodata.t13_stop (agent_id int, x text, "
               "recorded_time timestamptz NOT NULL DEFAULT now())");
  const std::string id =
      cluster.Exec("varo",
                   "INSERT INTO varo.probe (probe_internal_name, collection_method, probe_code, "
                   "probe_scope) VALUES ('t13_stop', 'b', $s$echo $$ > '" +
                       pidFile.string() + "'; exec sleep 600$s$, 'agent') RETURNING probe_id");
  cluster.Exec("varo",
               "INSERT INTO varo.probe_schedule (probe_id, agent_id) VALUES (" + id + ", 7)");

  ASSERT_TRUE(manager.Start(AgentArguments()));
  ASSERT_TRUE(manager.WaitFor("READY=1", 120s)) << manager.Received();
  pid_t script = 0;
  for (int i = 0; i < 600 && script == 0; ++i) {
    std::ifstream in(pidFile);
    if (!(in >> script)) {
      script = 0;
      std::this_thread::sleep_for(100ms);
    }
  }
  ASSERT_GT(script, 0) << "the script never ran";
  std::string state = ProcessState(script);
  EXPECT_TRUE(state == "S" || state == "R") << state;

  manager.Signal(SIGTERM);
  ASSERT_TRUE(manager.WaitFor("STATUS=Stopped", 20s)) << manager.Received();
  EXPECT_EQ(manager.WaitForExit(20s), 0);
  // The script's process group was killed: gone, or a zombie of whoever
  // inherited it.
  for (int i = 0; i < 100; ++i) {
    state = ProcessState(script);
    if (state.empty() || state == "Z") break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(state.empty() || state == "Z") << state;
  if (!state.empty() && state != "Z") kill(script, SIGKILL);
  cluster.Exec("varo", "DELETE FROM varo.probe WHERE probe_id = " + id);
  cluster.Exec("varo", "DROP TABLE varodata.t13_stop");
}

}  // namespace
