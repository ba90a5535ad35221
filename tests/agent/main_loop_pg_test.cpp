// The real agent program (varo-agent DEBUG) run as a child process against the
// test cluster: start-up, heartbeats, the active flag, takeover, reconnects and
// the schema version check. Each test uses an agent id of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "agent_test_support.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"

using agent_test::AgentOptions;
using agent_test::AgentProcess;
using agent_test::CountOf;
using agent_test::WaitUntil;
using namespace std::chrono_literals;

namespace fs = std::filesystem;

namespace {

std::string Exec(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

// The central backend PIDs registered for `agentId` in varo.jobagent.
std::string RegisteredPids(int agentId) {
  return Exec(
      "SELECT coalesce(string_agg(jagpid::text, ',' ORDER BY jagstart), '') FROM "
      "varo.jobagent WHERE agent_id = " +
      std::to_string(agentId));
}

// True when `pid` is a live backend of role agent<agentId> on database varo.
bool IsAgentBackend(const std::string& pid, int agentId) {
  return !pid.empty() && pid.find(',') == std::string::npos &&
         PgCluster::Get().Exec("postgres", "SELECT count(*) FROM pg_stat_activity WHERE pid = " +
                                               pid + " AND datname = 'varo' AND usename = 'agent" +
                                               std::to_string(agentId) + "'") == "1";
}

void AddAgent(int agentId) {
  ASSERT_EQ(PgCluster::Get().RunCentralDb({"--agent", std::to_string(agentId)}), 0);
}

void Bind(int agentId, int serverId, const std::string& host, int port) {
  ASSERT_EQ(
      PgCluster::Get().RunCentralDb({"--bind", std::to_string(agentId), std::to_string(serverId),
                                     host, std::to_string(port), "postgres", "monitored"}),
      0);
}

TEST(AgentMainLoop, FullStart) {
  PgCluster& cluster = PgCluster::Get();
  AddAgent(51);
  Bind(51, 5101, cluster.socketDir(), cluster.port());
  Bind(51, 5102, "127.0.0.1", 1);  // does not answer
  // A server of agent 52 that agent 51 is told to take over.
  Bind(52, 5201, "127.0.0.1", 1);
  Exec("UPDATE varo.agent_server_binding SET allow_takeover = true WHERE server_id = 5201");
  Exec("UPDATE varo.agent SET heartbeat_interval = 1 WHERE id = 51");

  // What a dead agent left behind: its registration, a claimed job with a
  // running job log and step log.
  const std::string deadPid = "2147480001";
  Exec("INSERT INTO varo.jobagent (jagpid, agent_id) VALUES (" + deadPid + ", 52)");
  std::string job = Exec("INSERT INTO varo.job (agent_id, jobprocessid, jobnextrun) VALUES (52, " +
                         deadPid + ", NULL) RETURNING jobid");
  std::string step = Exec("INSERT INTO varo.jobstep (jstjobid, jstkind) VALUES (" + job +
                          ", 's') RETURNING jstid");
  std::string jobLog =
      Exec("INSERT INTO varo.joblog (jlgjobid) VALUES (" + job + ") RETURNING jlgid");
  Exec("INSERT INTO varo.jobsteplog (jsljlgid, jsljstid) VALUES (" + jobLog + ", " + step + ")");

  TempDir flagDir("varo-flags-");
  ASSERT_FALSE(flagDir.path().empty());
  const std::string flags = flagDir.str();
  fs::create_directories(flags + "/agent-51");
  std::ofstream(flags + "/agent-51/takeover-server-5201") << "";

  std::vector<std::string> options = AgentOptions(51);
  options.insert(options.end(), {"-o", "agent_flag_dir=" + flags});
  AgentProcess agent(options);

  ASSERT_TRUE(agent.WaitForOutput("DEBUG: checking for probes to run\n", 30s)) << agent.Output();
  // Registered with its central backend.
  std::string pid = RegisteredPids(51);
  EXPECT_TRUE(IsAgentBackend(pid, 51)) << pid;
  // The dead agent's leftovers are cleared.
  EXPECT_EQ(Exec("SELECT count(*) FROM varo.jobagent WHERE jagpid = " + deadPid), "0");
  EXPECT_EQ(Exec("SELECT jobprocessid IS NULL FROM varo.job WHERE jobid = " + job), "t");
  EXPECT_EQ(Exec("SELECT jlgstatus FROM varo.joblog WHERE jlgid = " + jobLog), "d");
  EXPECT_EQ(Exec("SELECT jslstatus FROM varo.jobsteplog WHERE jsljlgid = " + jobLog), "d");
  // Capabilities, the takeover, heartbeats.
  EXPECT_EQ(Exec("SELECT agent_capability_list[1] FROM varo.agent WHERE id = 51"), "linux");
  EXPECT_EQ(Exec("SELECT agent_id FROM varo.agent_server_binding WHERE server_id = 5201"), "51");
  EXPECT_FALSE(fs::exists(flags + "/agent-51/takeover-server-5201"));
  EXPECT_TRUE(WaitUntil(
      [] {
        return Exec("SELECT last_heartbeat IS NOT NULL FROM varo.server WHERE id = 5101") == "t";
      },
      20s));
  EXPECT_EQ(Exec("SELECT last_heartbeat IS NOT NULL FROM varo.agent WHERE id = 51"), "t");
  EXPECT_EQ(Exec("SELECT last_heartbeat IS NULL FROM varo.server WHERE id = 5102"), "t");
  EXPECT_TRUE(agent.WaitForOutput("WARNING: Heartbeat: Unable to connect to server: 5102", 20s));

  // Disabled: one warning, then no heartbeats until enabled again.
  Exec("UPDATE varo.agent SET active = false WHERE id = 51");
  ASSERT_TRUE(agent.WaitForOutput("WARNING: Agent has been disabled.\n", 20s)) << agent.Output();
  std::this_thread::sleep_for(1500ms);  // a heartbeat under way may still land
  Exec("UPDATE varo.agent SET last_heartbeat = NULL WHERE id = 51");
  Exec("UPDATE varo.server SET last_heartbeat = NULL WHERE id = 5101");
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(Exec("SELECT last_heartbeat IS NULL FROM varo.agent WHERE id = 51"), "t");
  EXPECT_EQ(Exec("SELECT last_heartbeat IS NULL FROM varo.server WHERE id = 5101"), "t");
  Exec("UPDATE varo.agent SET active = true WHERE id = 51");
  ASSERT_TRUE(agent.WaitForOutput("WARNING: Agent has been enabled.\n", 20s)) << agent.Output();
  EXPECT_TRUE(WaitUntil(
      [] {
        return Exec("SELECT last_heartbeat IS NOT NULL FROM varo.server WHERE id = 5101") == "t";
      },
      20s));

  agent.Stop();
  std::string output = agent.Output();
  EXPECT_EQ(CountOf(output, "Agent has been disabled."), 1);
  EXPECT_EQ(CountOf(output, "Agent has been enabled."), 1);
  EXPECT_EQ(CountOf(output, "DEBUG: clearing zombies\n"), 1);
  EXPECT_EQ(output.find("Alerts["), std::string::npos);  // alert_threads 0: none started
  agent_test::ExpectNoSanitizerReport(output);
  fs::remove_all(flags);
}

TEST(AgentMainLoop, AJobOfAKilledAgentIsLeftToTheZombieCleanUpOfTheNextStart) {
  PgCluster& cluster = PgCluster::Get();
  AddAgent(57);
  Bind(57, 5701, cluster.socketDir(), cluster.port());
  const std::string job =
      Exec("INSERT INTO varo.job (agent_id, jobname) VALUES (57, 'killed') RETURNING jobid");
  Exec(
      "INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, server_id, database_name) "
      "VALUES (" +
      job + ", 'a', 's', 'SELECT pg_sleep(300) /* job of agent 57 */', 5701, 'monitored'), (" +
      job + ", 'b', 's', 'SELECT 1', 5701, 'monitored')");
  const std::string stepLog =
      "SELECT coalesce(string_agg(s.jstname || ':' || l.jslstatus, ',' ORDER BY s.jstname), '') "
      "FROM varo.jobsteplog l JOIN varo.jobstep s ON s.jstid = l.jsljstid WHERE s.jstjobid = " +
      job;
  {
    AgentProcess agent(AgentOptions(57));
    ASSERT_TRUE(WaitUntil([&] { return Exec(stepLog) == "a:r"; }, 30s)) << agent.Output();
    EXPECT_EQ(Exec("SELECT jlgstatus FROM varo.joblog WHERE jlgjobid = " + job), "r");
    EXPECT_EQ(Exec("SELECT jobprocessid::text = '" + RegisteredPids(57) +
                   "' FROM varo.job WHERE jobid = " + job),
              "t");
    agent.Kill();
  }
  // The step's query outlives the agent; it is ended here.
  Exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE "
      "'SELECT pg_sleep(300) /* job of agent 57 */%' AND pid <> pg_backend_pid()");

  AgentProcess agent(AgentOptions(57));
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: checking for probes to run\n", 30s)) << agent.Output();
  EXPECT_EQ(Exec("SELECT jlgstatus FROM varo.joblog WHERE jlgjobid = " + job), "d");
  EXPECT_EQ(Exec(stepLog), "a:d");
  // Released; without an interval it does not run again.
  EXPECT_EQ(
      Exec("SELECT jobprocessid IS NULL AND jobnextrun IS NULL FROM varo.job WHERE jobid = " + job),
      "t");
  agent.Stop();
  EXPECT_EQ(Exec("SELECT count(*) FROM varo.joblog WHERE jlgjobid = " + job), "1");
  agent_test::ExpectNoSanitizerReport(agent.Output());
}

TEST(AgentMainLoop, ReconnectsAfterLosingItsBackendOrTheServer) {
  AddAgent(53);
  AgentProcess agent(AgentOptions(53));
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: checking for probes to run\n", 30s)) << agent.Output();
  std::string first = RegisteredPids(53);
  ASSERT_TRUE(IsAgentBackend(first, 53)) << first;

  // The central backend is terminated: the pass fails, the agent waits the
  // retry period, reconnects and registers again (clearing its old row).
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + first + ")");
  ASSERT_TRUE(agent.WaitForOutput("WARNING: failed to query jobs table: ", 15s)) << agent.Output();
  const auto failedAt = agent_test::Clock::now();
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: connected to VARO database\n", 30s, 2)) << agent.Output();
  EXPECT_GE(agent_test::Clock::now() - failedAt, 8s);  // the retry period of 10 s
  std::string second;
  ASSERT_TRUE(WaitUntil(
      [&] {
        second = RegisteredPids(53);
        return IsAgentBackend(second, 53) && second != first;
      },
      20s))
      << second;

  // The whole server restarts.
  PgCluster::Get().Stop();
  PgCluster::Get().Start();
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: connected to VARO database\n", 40s, 3)) << agent.Output();
  std::string third;
  EXPECT_TRUE(WaitUntil(
      [&] {
        third = RegisteredPids(53);
        return IsAgentBackend(third, 53) && third != second;
      },
      20s))
      << third;

  agent.Stop();
  std::string output = agent.Output();
  EXPECT_EQ(CountOf(output, "DEBUG: clearing zombies\n"), 3) << output;
  agent_test::ExpectNoSanitizerReport(output);
}

TEST(AgentMainLoop, SilentServerStopsNeitherHeartbeatsNorTheReconnect) {
  // A monitored server that accepts TCP connections and never answers, next to
  // a good one, with the connect_timeout setting left at 0.
  PgCluster& cluster = PgCluster::Get();
  agent_test::SilentServer silent;
  silent.Listen();
  AddAgent(56);
  Bind(56, 5601, cluster.socketDir(), cluster.port());
  Bind(56, 5602, "127.0.0.1", silent.port());
  Exec("UPDATE varo.agent SET heartbeat_interval = 1 WHERE id = 56");
  auto goodServerBeat = [] {
    return Exec("SELECT last_heartbeat IS NOT NULL FROM varo.server WHERE id = 5601") == "t";
  };

  AgentProcess agent(AgentOptions(56));
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: checking for probes to run\n", 30s)) << agent.Output();
  // The good server's heartbeats go on at their interval.
  for (int i = 0; i < 3; ++i) {
    Exec("UPDATE varo.server SET last_heartbeat = NULL WHERE id = 5601");
    EXPECT_TRUE(WaitUntil(goodServerBeat, 20s)) << agent.Output();
  }
  // The silent server's attempt ends at the default connect timeout.
  EXPECT_TRUE(
      agent.WaitForOutput("WARNING: Heartbeat: Unable to connect to server: 5602, error: ", 60s))
      << agent.Output();

  // Its central backend killed, the agent drains its threads (a hanging attempt
  // ends within its bound), reconnects after the retry period and registers again.
  const std::string first = RegisteredPids(56);
  ASSERT_TRUE(IsAgentBackend(first, 56)) << first;
  const size_t before = agent.Output().size();
  PgCluster::Get().Exec("postgres", "SELECT pg_terminate_backend(" + first + ")");
  // Whichever step of the pass meets the closed connection first fails the pass.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string after = agent.Output().substr(before);
        return after.find("WARNING: failed to query jobs table: ") != std::string::npos ||
               after.find("WARNING: failed to query probe_schedule_view: ") != std::string::npos ||
               after.find("DEBUG: Heartbeat failed\n") != std::string::npos;
      },
      30s))
      << agent.Output();
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: connected to VARO database\n", 90s, 2)) << agent.Output();
  std::string second;
  EXPECT_TRUE(WaitUntil(
      [&] {
        second = RegisteredPids(56);
        return IsAgentBackend(second, 56) && second != first;
      },
      30s))
      << second;
  Exec("UPDATE varo.server SET last_heartbeat = NULL WHERE id = 5601");
  EXPECT_TRUE(WaitUntil(goodServerBeat, 20s)) << agent.Output();

  agent.Stop();
  agent_test::ExpectNoSanitizerReport(agent.Output());
}

class SchemaVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    original_ = Exec("SELECT pg_get_functiondef('varo.schema_version()'::regprocedure)");
    ASSERT_FALSE(original_.empty());
  }
  void TearDown() override { Restore(); }
  void Replace(const std::string& returns, const std::string& body) {
    Exec("DROP FUNCTION IF EXISTS varo.schema_version()");
    Exec("CREATE FUNCTION varo.schema_version() RETURNS " + returns + " LANGUAGE sql AS $$ " +
         body + " $$");
    Exec("GRANT EXECUTE ON FUNCTION varo.schema_version() TO varo_agent");
  }
  void Restore() {
    Exec("DROP FUNCTION IF EXISTS varo.schema_version()");
    Exec(original_);
    Exec("GRANT EXECUTE ON FUNCTION varo.schema_version() TO varo_agent");
  }

  std::string original_;
};

TEST_F(SchemaVersionTest, OlderVersionWarnsAndGoesOn) {
  AddAgent(54);
  Replace("integer", "SELECT 201210090");
  AgentProcess agent(AgentOptions(54));
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: checking for probes to run\n", 30s)) << agent.Output();
  EXPECT_TRUE(IsAgentBackend(RegisteredPids(54), 54));
  agent.Stop();
  std::string output = agent.Output();
  EXPECT_EQ(CountOf(output,
                    "WARNING: The VARO Agent is running against an older version of the "
                    "server. Please upgrade the VARO Server.\n"),
            1)
      << output;
  EXPECT_EQ(output.find("newer version"), std::string::npos);
  agent_test::ExpectNoSanitizerReport(output);
}

TEST_F(SchemaVersionTest, MissingOrNonNumericVersionIsRetried) {
  AddAgent(55);
  Replace("text", "SELECT 'abc'");
  AgentProcess agent(AgentOptions(55));
  const std::string warning =
      "WARNING: An error occurred when identifying the VARO server version. The operation will be "
      "retried: ";
  // The query itself succeeded: the text is the result's status.
  ASSERT_TRUE(agent.WaitForOutput(warning + "PGRES_TUPLES_OK\n", 20s)) << agent.Output();
  const auto firstAt = agent_test::Clock::now();
  EXPECT_EQ(RegisteredPids(55), "");

  // Gone altogether: the query fails and its error is in the warning.
  Exec("DROP FUNCTION varo.schema_version()");
  ASSERT_TRUE(
      agent.WaitForOutput(warning + "ERROR:  function varo.schema_version() does not exist", 30s))
      << agent.Output();
  EXPECT_GE(agent_test::Clock::now() - firstAt, 8s);  // after the retry period
  EXPECT_EQ(RegisteredPids(55), "");

  // Back again: the next attempt goes on to the main loop.
  Restore();
  ASSERT_TRUE(agent.WaitForOutput("DEBUG: checking for probes to run\n", 30s)) << agent.Output();
  EXPECT_TRUE(IsAgentBackend(RegisteredPids(55), 55));
  agent.Stop();
  agent_test::ExpectNoSanitizerReport(agent.Output());
}

}  // namespace
