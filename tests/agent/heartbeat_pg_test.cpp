// The agent heartbeat and the server heartbeat threads, run inside the test
// process against the test cluster's central database as agent 41.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "agent/agent_heartbeat.h"
#include "agent/agent_main_loop.h"
#include "agent/heartbeat_thread.h"
#include "agent_test_support.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/global_state.h"
#include "support/pg_cluster.h"

using agent_test::CountOf;
using agent_test::SilentServer;
using agent_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kAgent = 41;
constexpr int32_t kAnswering = 4101;  // the cluster's database "monitored"
constexpr int32_t kRefusing = 4102;   // nothing listens on its port
constexpr int32_t kSilent = 4103;     // a socket of this test; silent once it listens

class AgentHeartbeatTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PgCluster& cluster = PgCluster::Get();
    silent_ = new SilentServer;
    SilentServer refused;  // closed at once: its port refuses connections
    const std::string agent = std::to_string(kAgent);
    ASSERT_EQ(cluster.RunCentralDb({"--agent", agent}), 0);
    ASSERT_EQ(
        cluster.RunCentralDb({"--bind", agent, std::to_string(kAnswering), cluster.socketDir(),
                              std::to_string(cluster.port()), "postgres", "monitored"}),
        0);
    ASSERT_EQ(cluster.RunCentralDb({"--bind", agent, std::to_string(kRefusing), "127.0.0.1",
                                    std::to_string(refused.port()), "postgres", "monitored"}),
              0);
    ASSERT_EQ(cluster.RunCentralDb({"--bind", agent, std::to_string(kSilent), "127.0.0.1",
                                    std::to_string(silent_->port()), "postgres", "monitored"}),
              0);
  }
  static void TearDownTestSuite() {
    delete silent_;
    silent_ = nullptr;
  }

  void SetUp() override {
    agent_test::ConnectCentralAs(kAgent);
    Exec("UPDATE varo.agent SET heartbeat_interval = 30, active = true WHERE id = 41");
    ClearHeartbeats();
    GetAgentHeartbeatState() = AgentHeartbeatState{};
  }
  void TearDown() override {
    if (silent_->listening()) silent_->Close();  // ends a hanging attempt of a failed test
    EXPECT_TRUE(WaitUntil([] { return LiveHeartBeatThreads() == 0; }, 30s));
    ReapIdleServerConnections();
    SetCentralConnection(nullptr);
  }

  static std::string Exec(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }
  static void ClearHeartbeats() {
    Exec("UPDATE varo.agent SET last_heartbeat = NULL WHERE id = 41");
    Exec("UPDATE varo.server SET last_heartbeat = NULL WHERE id IN (4101, 4102, 4103)");
  }
  static bool AgentBeat() {
    return Exec("SELECT last_heartbeat IS NOT NULL FROM varo.agent WHERE id = 41") == "t";
  }
  static bool ServerBeat(int32_t serverId) {
    return Exec("SELECT last_heartbeat IS NOT NULL FROM varo.server WHERE id = " +
                std::to_string(serverId)) == "t";
  }
  // Runs one agent heartbeat and waits for the server heartbeat threads it started.
  static HeartbeatOutcome Beat() {
    HeartbeatOutcome result = AgentHeartbeat(*GetCentralConnection());
    EXPECT_TRUE(WaitUntil([] { return LiveHeartBeatThreads() == 0; }, 30s));
    return result;
  }

  static SilentServer* silent_;

 private:
  // Restores the settings after TearDown, once no thread reads them.
  SettingsGuard settings_;
};

SilentServer* AgentHeartbeatTest::silent_ = nullptr;

TEST_F(AgentHeartbeatTest, RecordsTheAgentAndEveryServerThatAnswers) {
  LogCapture capture;
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
  std::string log = capture.Take();

  EXPECT_TRUE(AgentBeat());
  EXPECT_TRUE(ServerBeat(kAnswering));
  EXPECT_FALSE(ServerBeat(kRefusing));
  EXPECT_FALSE(ServerBeat(kSilent));
  EXPECT_NE(log.find("DEBUG: Heartbeat: server query: SELECT varo.do_heartbeat(41,'{4101}');\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("WARNING: Heartbeat: Unable to connect to server: 4102, error: unable to "
                     "connect to server 4102 dbname monitored: "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("DEBUG: Heartbeat: query: SELECT heartbeat_interval, active FROM varo.agent "
                     "WHERE id = 41;\n"),
            std::string::npos);
  EXPECT_EQ(GetAgentHeartbeatState().heartbeatInterval, 30);

  // Not due again within the interval: nothing is sent.
  ClearHeartbeats();
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
  EXPECT_FALSE(AgentBeat());
  EXPECT_FALSE(ServerBeat(kAnswering));
}

TEST_F(AgentHeartbeatTest, IntervalZeroMakesEveryCallAHeartbeat) {
  Exec("UPDATE varo.agent SET heartbeat_interval = 0 WHERE id = 41");
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
  EXPECT_EQ(GetAgentHeartbeatState().heartbeatInterval, 0);
  for (int i = 0; i < 2; ++i) {
    ClearHeartbeats();
    EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
    EXPECT_TRUE(AgentBeat());
    EXPECT_TRUE(ServerBeat(kAnswering));
  }
}

TEST_F(AgentHeartbeatTest, InactiveAgentSendsNothingUntilEnabledAgain) {
  Exec("UPDATE varo.agent SET heartbeat_interval = 0, active = false WHERE id = 41");
  LogCapture capture;
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);  // still active when it started: this one is sent
  for (int i = 0; i < 3; ++i) {
    ClearHeartbeats();
    EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
    EXPECT_FALSE(AgentBeat());
    EXPECT_FALSE(ServerBeat(kAnswering));
  }
  Exec("UPDATE varo.agent SET active = true WHERE id = 41");
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);  // reads the change; sends nothing yet
  EXPECT_FALSE(AgentBeat());
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
  std::string log = capture.Take();
  EXPECT_TRUE(AgentBeat());
  EXPECT_TRUE(ServerBeat(kAnswering));
  EXPECT_EQ(CountOf(log, "WARNING: Agent has been disabled.\n"), 1) << log;
  EXPECT_EQ(CountOf(log, "WARNING: Agent has been enabled.\n"), 1) << log;
  EXPECT_LT(log.find("disabled"), log.find("enabled"));
}

TEST_F(AgentHeartbeatTest, FailuresOfTheCentralSide) {
  // Without the shared central connection the bound servers cannot be read:
  // the heartbeat fails.
  std::unique_ptr<DBConnection> own;
  ConnectToVARO(own, false);
  ASSERT_TRUE(own);
  SetCentralConnection(nullptr);
  ClearServerBindingCache();
  EXPECT_EQ(AgentHeartbeat(*own), HeartbeatOutcome::kFailed);

  // A failing interval query is reported as 1, which does not end the pass.
  agent_test::ConnectCentralAs(kAgent);
  GetAgentHeartbeatState() = AgentHeartbeatState{};
  Exec("REVOKE SELECT ON varo.agent FROM varo_agent");
  LogCapture capture;
  HeartbeatOutcome result = Beat();
  std::string log = capture.Take();
  Exec("GRANT SELECT ON varo.agent TO varo_agent");
  EXPECT_EQ(result, HeartbeatOutcome::kIntervalQueryFailed);
  EXPECT_NE(log.find("WARNING: Heartbeat: Error executing heartbeat query; reason: ERROR:  "
                     "permission denied for table agent"),
            std::string::npos)
      << log;
  EXPECT_TRUE(AgentBeat());  // the heartbeat itself went out
}

// The backend PID of a pooled connection to the answering server, left idle in
// the pool for the next heartbeat thread.
std::string IdlePooledBackend() {
  std::string error;
  ServerConnectionLease pooled = AllocateServerConnection(kAnswering, "monitored", error);
  EXPECT_TRUE(pooled) << error;
  if (!pooled) return "";
  return pooled->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
}

bool BackendGone(const std::string& pid) {
  return PgCluster::Get().Exec("postgres",
                               "SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid) == "0";
}

TEST_F(AgentHeartbeatTest, PooledConnectionWhoseBackendWentIsNotUsedForThePing) {
  // An idle pooled connection whose backend has gone is closed by the pool; the
  // heartbeat thread gets a new one and the server gets its heartbeat.
  const std::string pid = IdlePooledBackend();
  ASSERT_FALSE(pid.empty());
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + pid + ")");
  ASSERT_TRUE(WaitUntil([&] { return BackendGone(pid); }, 10s));

  LogCapture capture;
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
  std::string log = capture.Take();
  EXPECT_EQ(log.find("Unable to ping server: 4101"), std::string::npos) << log;
  EXPECT_TRUE(AgentBeat());
  EXPECT_TRUE(ServerBeat(kAnswering));
}

// Stops a backend with SIGSTOP for its lifetime; it goes on when this ends.
class StoppedBackend {
 public:
  explicit StoppedBackend(const std::string& pid) : pid_(std::stoi(pid)) {
    stopped_ = kill(pid_, SIGSTOP) == 0;
  }
  ~StoppedBackend() {
    if (stopped_) kill(pid_, SIGCONT);
  }
  bool stopped() const { return stopped_; }

 private:
  pid_t pid_;
  bool stopped_ = false;
};

TEST_F(AgentHeartbeatTest, PingOfAStoppedBackendIsAbandonedAndTheDrainEnds) {
  // The server took the connection and then stops answering: the ping is given
  // up after its bound, the connection closed, and nothing waits longer.
  const std::string pid = IdlePooledBackend();
  ASSERT_FALSE(pid.empty());
  LogCapture capture;
  {
    StoppedBackend stopped(pid);
    ASSERT_TRUE(stopped.stopped());
    ASSERT_EQ(AgentHeartbeat(*GetCentralConnection()), HeartbeatOutcome::kDone);
    std::atomic<bool> drained{false};
    std::thread drain([&] {
      DrainThreads();
      drained = true;
    });
    // Not a timing limit: the ping bound is 10 seconds; this only keeps a
    // broken build from waiting for ever.
    EXPECT_TRUE(WaitUntil([&] { return drained.load(); }, kHeartbeatPingLimit + 60s));
    drain.join();
    EXPECT_EQ(LiveHeartBeatThreads(), 0);
    // The abandoned connection is closed, not given back to the pool.
    EXPECT_EQ(IdleServerConnectionCount() + InUseServerConnectionCount(), 0u);
  }
  std::string log = capture.Take();
  EXPECT_NE(log.find("WARNING: Heartbeat: Unable to ping server: 4101, error: the server did not "
                     "answer within 10 seconds; the connection was closed.\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(AgentBeat());
  EXPECT_FALSE(ServerBeat(kAnswering));
  // Once going again the backend finds its client gone and ends.
  EXPECT_TRUE(WaitUntil([&] { return BackendGone(pid); }, 30s));

  // The next heartbeat connects afresh and the server gets its heartbeat.
  Exec("UPDATE varo.agent SET heartbeat_interval = 0 WHERE id = 41");
  GetAgentHeartbeatState() = AgentHeartbeatState{};
  EXPECT_EQ(Beat(), HeartbeatOutcome::kDone);
  EXPECT_TRUE(ServerBeat(kAnswering));
}

TEST_F(AgentHeartbeatTest, SilentServerIsGivenUpAfterTheDefaultConnectTimeout) {
  // A server that accepts TCP connections and never answers, with the
  // connect_timeout setting 0: the default bound ends the attempt, and the good
  // server's heartbeats go on meanwhile.
  SilentServer silent;
  silent.Listen();
  Exec("UPDATE varo.agent_server_binding SET port = '" + std::to_string(silent.port()) +
       "' WHERE server_id = 4103");
  ClearServerBindingCache();
  Exec("UPDATE varo.agent SET heartbeat_interval = 0 WHERE id = 41");
  GetSettings().connect_timeout = 0;  // restored by the fixture
  PublishSettings();
  LogCapture capture;
  EXPECT_EQ(AgentHeartbeat(*GetCentralConnection()), HeartbeatOutcome::kDone);
  EXPECT_TRUE(WaitUntil([] { return ServerBeat(kAnswering); }, 20s));
  // While the silent server's thread is still connecting, the good server is
  // beaten again on every heartbeat.
  int beatsWhileHanging = 0;
  while (beatsWhileHanging < 2 && CreateHeartBeatThread(kAgent, kSilent, "monitored") == nullptr) {
    ClearHeartbeats();
    EXPECT_EQ(AgentHeartbeat(*GetCentralConnection()), HeartbeatOutcome::kDone);
    if (WaitUntil([] { return ServerBeat(kAnswering); }, 20s)) ++beatsWhileHanging;
  }
  EXPECT_GE(beatsWhileHanging, 1);
  // The attempt ends by itself, with the connect time-out's error.
  EXPECT_TRUE(WaitUntil([] { return LiveHeartBeatThreads() == 0; }, 60s));
  std::string log = capture.Take();
  Exec("UPDATE varo.agent_server_binding SET port = '" + std::to_string(silent_->port()) +
       "' WHERE server_id = 4103");
  ClearServerBindingCache();
  EXPECT_NE(log.find("WARNING: Heartbeat: Unable to connect to server: 4103, error: unable to "
                     "connect to server 4103 dbname monitored: "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("timeout expired"), std::string::npos) << log;
  EXPECT_FALSE(ServerBeat(kSilent));
}

TEST_F(AgentHeartbeatTest, HangingServerKeepsOneThreadAndHoldsTheDrain) {
  // A backstop only (restored by the fixture): the test ends the hanging
  // attempt itself before that.
  GetSettings().connect_timeout = 120;
  PublishSettings();
  Exec("UPDATE varo.agent SET heartbeat_interval = 0 WHERE id = 41");
  silent_->Listen();
  EXPECT_EQ(AgentHeartbeat(*GetCentralConnection()), HeartbeatOutcome::kDone);
  // The threads of the other servers finish; the silent server's one hangs.
  ASSERT_TRUE(WaitUntil([] { return LiveHeartBeatThreads() == 1 && ServerBeat(kAnswering); }, 60s))
      << "the other servers' heartbeat threads did not finish while one server hangs (a "
         "connection pool that connects while holding its mutex stalls every user of the pool)";
  EXPECT_EQ(CreateHeartBeatThread(kAgent, kSilent, "monitored"), nullptr);

  // The drain waits for it.
  std::atomic<bool> drained{false};
  LogCapture capture;
  std::thread drain([&] {
    DrainThreads();
    drained = true;
  });
  std::this_thread::sleep_for(2500ms);
  EXPECT_FALSE(drained);

  // Meanwhile the next heartbeat goes on at once and skips the server whose
  // thread is still alive; the other servers get theirs.
  // It returns while the hanging attempt still goes on (which only the test
  // ends) and the drain still waits for it.
  ClearHeartbeats();
  std::atomic<bool> beaten{false};
  std::thread beat([&] {
    EXPECT_EQ(AgentHeartbeat(*GetCentralConnection()), HeartbeatOutcome::kDone);
    beaten = true;
  });
  const bool returned = WaitUntil([&] { return beaten.load(); }, 60s);
  EXPECT_TRUE(returned) << "the heartbeat waited for another server's connection attempt (a "
                           "connection pool that connects while holding its mutex stalls every "
                           "user of the pool)";
  EXPECT_FALSE(drained);
  EXPECT_EQ(CreateHeartBeatThread(kAgent, kSilent, "monitored"), nullptr);
  EXPECT_TRUE(WaitUntil([] { return ServerBeat(kAnswering); }, 30s));

  // The drain ends once the hanging connection attempt fails.
  silent_->Close();
  EXPECT_TRUE(WaitUntil([&] { return drained.load(); }, 60s));
  drain.join();
  beat.join();
  std::string log = capture.Take();
  EXPECT_NE(log.find("DEBUG: Waiting for 1 threads to drain\n"), std::string::npos) << log;
  EXPECT_NE(log.find("WARNING: Heartbeat: Unable to connect to server: 4103"), std::string::npos)
      << log;
  EXPECT_EQ(LiveHeartBeatThreads(), 0);
  EXPECT_FALSE(ServerBeat(kSilent));
}

}  // namespace
