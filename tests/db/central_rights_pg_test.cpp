// What an agent role reaches in the central database, tested as real logins of
// real roles: agent1 against the rows of agent2 (refused or invisible), the
// cross-agent work it still does (takeover of an allowed server, clean-up
// after a dead agent), result storage into varodata, a person's read-only
// role, and the set-up script's binding and mail password options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/agent_heartbeat.h"
#include "agent/agent_main_loop.h"
#include "agent/alert_thread.h"
#include "agent/heartbeat_thread.h"
#include "agent/server_takeover.h"
#include "db/db_connection_to_postgresql.h"
#include "db/result_set_with_fixed_rows.h"
#include "platform/text.h"
#include "support/pg_cluster.h"
#include "support/process.h"
#include "support/wait.h"
#include "work/probe_step.h"

namespace {

PgCluster& Cluster() { return PgCluster::Get(); }

std::string Sql(const std::string& sql) { return Cluster().Exec("varo", sql); }

void CentralDb(const std::vector<std::string>& args) {
  std::string out;
  ASSERT_EQ(Cluster().RunCentralDb(args, &out), 0) << out;
}

void Bind(int agentId, int serverId, const std::vector<std::string>& options = {}) {
  std::vector<std::string> args = {"--bind",
                                   std::to_string(agentId),
                                   std::to_string(serverId),
                                   Cluster().socketDir(),
                                   std::to_string(Cluster().port()),
                                   "postgres",
                                   "monitored"};
  args.insert(args.end(), options.begin(), options.end());
  CentralDb(args);
}

// Waits until no backend with `pid` is left.
void WaitUntilGone(const std::string& pid) {
  EXPECT_TRUE(WaitUntil(
      [&] { return Sql("SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid) == "0"; },
      std::chrono::seconds(30)))
      << pid;
}

// A process id that no backend has: the pid of a connection that was closed.
std::string DeadPid() {
  auto gone = Cluster().ConnectDB("varo");
  std::string pid = gone->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  gone.reset();
  WaitUntilGone(pid);
  return pid;
}

enum class Expect { kRefused, kNothing };

struct Attempt {
  std::string sql;
  Expect expect;
};

// Runs each statement on `conn`: refused ones must fail for lack of rights,
// the others must succeed without reading or changing a row.
void ExpectAttempts(DBConnection& conn, const std::vector<Attempt>& attempts) {
  for (const Attempt& a : attempts) {
    auto result = conn.ExecuteQuery(a.sql);
    if (a.expect == Expect::kRefused) {
      EXPECT_FALSE(result->IsOk()) << a.sql;
      const std::string error = result->GetErrorMessage();
      EXPECT_TRUE(error.find("permission denied") != std::string::npos ||
                  error.find("row-level security") != std::string::npos ||
                  error.find("must be owner") != std::string::npos)
          << a.sql << ": " << error;
    } else {
      ASSERT_TRUE(result->IsOk()) << a.sql << ": " << result->GetErrorMessage();
      EXPECT_EQ(result->GetRowCount(), 0u) << a.sql;
      EXPECT_EQ(result->GetAffectedRows(), 0u) << a.sql;
    }
  }
}

// The rows of agent 2 and its servers, as one text, to see that nothing changed.
std::string AgentTwoState() {
  return Sql(
      "SELECT concat_ws('|', "
      "(SELECT string_agg(concat_ws(',', id, active, heartbeat_interval, agent_capability_list, "
      "  last_heartbeat), ';') FROM varo.agent WHERE id = 2), "
      "(SELECT string_agg(concat_ws(',', server_id, agent_id, password, allow_takeover), ';' "
      "  ORDER BY server_id) FROM varo.agent_server_binding WHERE server_id IN (201, 202)), "
      "(SELECT string_agg(concat_ws(',', id, last_heartbeat, last_heartbeat_agent_id), ';' "
      "  ORDER BY id) FROM varo.server WHERE id IN (201, 202)), "
      "(SELECT string_agg(concat_ws(',', jobid, jobprocessid, jobnextrun, joblastrun), ';' "
      "  ORDER BY jobid) FROM varo.job WHERE agent_id = 2), "
      "(SELECT string_agg(concat_ws(',', jlgid, jlgstatus), ';' ORDER BY jlgid) FROM varo.joblog "
      "  l JOIN varo.job j ON j.jobid = l.jlgjobid WHERE j.agent_id = 2), "
      "(SELECT string_agg(concat_ws(',', jagpid, agent_id), ';' ORDER BY jagpid) FROM "
      "  varo.jobagent WHERE agent_id = 2), "
      "(SELECT string_agg(concat_ws(',', probe_id, parameter_value_list, current_backend_pid, "
      "  last_execution_time), ';' ORDER BY probe_id, parameter_value_list) FROM "
      "  varo.probe_schedule WHERE agent_id = 2 OR server_id = 201), "
      "(SELECT string_agg(concat_ws(',', core_id, load_percentage), ';' ORDER BY core_id) FROM "
      "  varodata.cpu_usage WHERE agent_id = 2), "
      "(SELECT string_agg(concat_ws(',', line_num, method), ';' ORDER BY line_num) FROM "
      "  varodata.pg_hba_conf WHERE server_id = 201), "
      "(SELECT count(*) FROM varodata.server_logs WHERE server_id = 201), "
      "(SELECT concat_ws(',', last_read_filename, file_offset) FROM varo.log_configuration "
      "  WHERE server_id = 201), "
      "(SELECT count(*) FROM varo.probe_log WHERE agent_id = 2))");
}

// Agents 1 and 2, each with a bound server (101, 201) and due probes, a job
// with a run under way, results in varodata; agent 2's server 202 allows a
// takeover. agent2 is connected and registered, so its backend is alive.
class CentralRights : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Bind(1, 101);
    Bind(2, 201, {"--sslmode", "require"});
    Bind(2, 202, {"--allow-takeover", "on"});
    CentralDb({"--schedule", "1", "--schedule", "2"});
    Sql("UPDATE varo.agent_server_binding SET password = 'stored-secret-' || server_id WHERE "
        "server_id IN (101, 201, 202)");
    Sql("INSERT INTO varodata.cpu_usage (agent_id, core_id, load_percentage) VALUES "
        "(1, 'CPU0', 1), (2, 'CPU0', 2)");
    Sql("INSERT INTO varodata.pg_hba_conf (server_id, line_num, method) VALUES "
        "(101, 1, 'trust'), (201, 1, 'scram-sha-256')");
    Sql("INSERT INTO varodata.server_logs (server_id, message) VALUES (201, 'kept')");
    for (int agent : {1, 2}) {
      const std::string id = std::to_string(agent);
      const std::string job = Sql("INSERT INTO varo.job (agent_id, jobname, jobnextrun) VALUES (" +
                                  id + ", 'job of agent " + id + "', now()) RETURNING jobid");
      Sql("INSERT INTO varo.jobstep (jstjobid, jstkind, jstcode) VALUES (" + job +
          ", 's', 'SELECT " + id + "')");
      Sql("INSERT INTO varo.joblog (jlgjobid) VALUES (" + job + ")");
    }
  }

  void SetUp() override {
    agent1 = Cluster().ConnectDB("varo", "agent1");
    agent2 = Cluster().ConnectDB("varo", "agent2");
    ASSERT_TRUE(agent1 && agent2);
    auto registered = agent2->ExecuteQuery(RegisterBackendQuery(2));
    ASSERT_TRUE(registered->IsOk()) << registered->GetErrorMessage();
    agent2Pid = registered->GetValueByIndex(0, 0);
    // Agent 2's job is claimed by its live backend, with a run under way.
    Sql("UPDATE varo.job SET jobprocessid = " + agent2Pid + " WHERE agent_id = 2");
    Sql("UPDATE varo.joblog SET jlgstatus = 'r' WHERE jlgjobid IN (SELECT jobid FROM varo.job "
        "WHERE agent_id IN (1, 2))");
  }

  void TearDown() override {
    agent1.reset();
    agent2.reset();
    WaitUntilGone(agent2Pid);
    Sql("DELETE FROM varo.jobagent WHERE agent_id IN (1, 2)");
    Sql("UPDATE varo.job SET jobprocessid = NULL WHERE agent_id IN (1, 2)");
    Sql("UPDATE varo.probe_schedule SET current_backend_pid = NULL, last_execution_time = NULL "
        "WHERE agent_id IN (1, 2) OR server_id IN (101, 201, 202)");
    Sql("UPDATE varo.agent_server_binding SET agent_id = 2 WHERE server_id = 202");
  }

  std::unique_ptr<DBConnectionToPostgreSQL> agent1, agent2;
  std::string agent2Pid;
};

TEST_F(CentralRights, CrossAgentOperationsAreRefusedOrSeeNothing) {
  const std::string before = AgentTwoState();
  const std::string job2 = Sql("SELECT jobid FROM varo.job WHERE agent_id = 2");
  const std::string log2 =
      Sql("SELECT jlgid FROM varo.joblog l JOIN varo.job j ON "
          "j.jobid = l.jlgjobid WHERE j.agent_id = 2");
  const std::string step2 =
      Sql("SELECT jstid FROM varo.jobstep s JOIN varo.job j ON "
          "j.jobid = s.jstjobid WHERE j.agent_id = 2");
  const std::string probe2 =
      Sql("SELECT probe_id FROM varo.probe WHERE probe_internal_name = "
          "'cpu_usage'");
  const std::string hbaProbe =
      Sql("SELECT probe_id FROM varo.probe WHERE probe_internal_name = "
          "'pg_hba_conf'");

  ExpectAttempts(
      *agent1,
      {
          // Bindings: other agents' passwords and connection data; a rebind of a
          // server that does not allow takeover; giving its own server away.
          {"SELECT * FROM varo.agent_server_binding WHERE server_id = 201", Expect::kNothing},
          {"SELECT password FROM varo.agent_server_binding WHERE agent_id = 2 AND NOT "
           "allow_takeover",
           Expect::kNothing},
          {"UPDATE varo.agent_server_binding SET agent_id = 1 WHERE server_id = 201",
           Expect::kNothing},
          {"UPDATE varo.agent_server_binding SET agent_id = 2 WHERE server_id = 101",
           Expect::kRefused},
          {"UPDATE varo.agent_server_binding SET allow_takeover = true WHERE server_id = 201",
           Expect::kRefused},
          // Heartbeats for another agent or its servers.
          {AgentHeartbeatQuery(2), Expect::kRefused},
          {ServerHeartbeatQuery(2, 201), Expect::kRefused},
          // Another agent's row and capabilities.
          {"SELECT * FROM varo.agent WHERE id = 2", Expect::kNothing},
          {HeartbeatSettingsQuery(2), Expect::kNothing},
          {"UPDATE varo.agent SET agent_capability_list = '{x}' WHERE id = 2", Expect::kNothing},
          {"UPDATE varo.agent SET agent_capability_list = '{x}' WHERE id <> 1", Expect::kNothing},
          // Another agent's schedule rows: not selected, not locked, not unlocked.
          {ProbeSelectionQuery(2), Expect::kNothing},
          {"SELECT * FROM varo.probe_schedule_view WHERE agent_id <> 1", Expect::kNothing},
          {"SELECT * FROM varo.probe_schedule WHERE agent_id = 2 OR server_id = 201",
           Expect::kNothing},
          {"SELECT varo.lock_schedule_table(" + probe2 + ", '{2}') WHERE false", Expect::kNothing},
          {"UPDATE varo.probe_schedule SET current_backend_pid = NULL, last_execution_time = now() "
           "WHERE probe_id = " +
               probe2 + " AND parameter_value_list = '{2}'",
           Expect::kNothing},
          {"UPDATE varo.probe_schedule SET last_execution_time = now() WHERE server_id = 201",
           Expect::kNothing},
          // Its own schedule rows locked for a backend that is not its own.
          {"UPDATE varo.probe_schedule SET current_backend_pid = " + agent2Pid +
               " WHERE agent_id = 1",
           Expect::kRefused},
          // Another agent's results.
          {"SELECT * FROM varodata.cpu_usage WHERE agent_id = 2", Expect::kNothing},
          {"SELECT * FROM varodata.pg_hba_conf WHERE server_id = 201", Expect::kNothing},
          {"SELECT * FROM varodata.server_logs WHERE server_id = 201", Expect::kNothing},
          {"DELETE FROM varodata.cpu_usage WHERE agent_id = 2", Expect::kNothing},
          {"DELETE FROM varodata.server_logs", Expect::kNothing},
          {"UPDATE varodata.pg_hba_conf SET method = 'trust' WHERE server_id = 201",
           Expect::kNothing},
          {"INSERT INTO varodata.cpu_usage (agent_id, core_id) VALUES (2, 'CPU9')",
           Expect::kRefused},
          {"INSERT INTO varodata.pg_hba_conf (server_id, line_num) VALUES (201, 9)",
           Expect::kRefused},
          {"INSERT INTO varodata.server_logs (server_id, message) VALUES (201, 'forged')",
           Expect::kRefused},
          {"INSERT INTO varodata.server_info (server_id) VALUES (202)", Expect::kRefused},
          {"UPDATE varodata.cpu_usage SET agent_id = 2 WHERE agent_id = 1", Expect::kRefused},
          // Another agent's jobs, steps, logs and registrations.
          {"SELECT * FROM varo.job WHERE agent_id = 2", Expect::kNothing},
          {"SELECT * FROM varo.jobstep WHERE jstid = " + step2, Expect::kNothing},
          {"SELECT * FROM varo.joblog WHERE jlgid = " + log2, Expect::kNothing},
          {"UPDATE varo.job SET jobprocessid = pg_backend_pid(), joblastrun = now() WHERE jobid "
           "= " +
               job2,
           Expect::kNothing},
          {"UPDATE varo.job SET jobprocessid=NULL, jobnextrun=NULL WHERE jobid = " + job2,
           Expect::kNothing},
          {"UPDATE varo.joblog SET jlgstatus = 'd' WHERE jlgid = " + log2, Expect::kNothing},
          {"INSERT INTO varo.joblog (jlgjobid, jlgstatus) VALUES (" + job2 + ", 'r')",
           Expect::kRefused},
          {"INSERT INTO varo.jobsteplog (jsljlgid, jsljstid) VALUES (" + log2 + ", " + step2 + ")",
           Expect::kRefused},
          {RegisterBackendQuery(2), Expect::kRefused},
          {"INSERT INTO varo.jobagent (jagpid, agent_id) VALUES (" + agent2Pid + ", 1)",
           Expect::kRefused},
          {"SELECT * FROM varo.jobagent WHERE jagpid = " + agent2Pid, Expect::kNothing},
          {"DELETE FROM varo.jobagent WHERE agent_id = 2", Expect::kNothing},
          // Log positions of another agent's server; failure reports in its name.
          {"SELECT * FROM varo.log_configuration WHERE server_id = 201", Expect::kNothing},
          {"UPDATE varo.log_configuration SET (last_read_filename, file_offset) = ('x', 1) WHERE "
           "server_id = 201;",
           Expect::kNothing},
          {"INSERT INTO varo.probe_log (agent_id, probe_id, parameter_value_list, message) VALUES "
           "(2, " +
               hbaProbe + ", '{201}', 'forged')",
           Expect::kRefused},
          // The role-to-agent table and the set-up functions.
          {"SELECT * FROM varo.agent_role", Expect::kRefused},
          {"UPDATE varo.agent_role SET agent_id = 2", Expect::kRefused},
          {"SELECT varo.setup_binding(1, 201, 'h', 5432, 'u', 'd', NULL, NULL, NULL)",
           Expect::kRefused},
          {"SELECT varo.protect_result_table('varodata.cpu_usage')", Expect::kRefused},
      });
  // A lock attempt on agent 2's row (the WHERE false above only checks the
  // call is allowed at all) takes nothing.
  auto lock = agent1->ExecuteQuery("SELECT varo.lock_schedule_table($1, '{2}')", {probe2});
  ASSERT_TRUE(lock->IsOk()) << lock->GetErrorMessage();
  EXPECT_EQ(lock->GetValueByIndex(0, 0), "f");
  // A server heartbeat of agent 1 for a server that is not its own records nothing.
  EXPECT_TRUE(agent1->ExecuteQuery(ServerHeartbeatQuery(1, 201))->IsOk());
  // Its own table of bindings shows its server and the one open to takeover.
  auto visible = agent1->ExecuteQuery(
      "SELECT string_agg(server_id::text, ',' ORDER BY server_id) FROM varo.agent_server_binding");
  EXPECT_EQ(visible->GetValueByIndex(0, 0), "101,202");

  EXPECT_EQ(AgentTwoState(), before);
}

TEST_F(CentralRights, CrossAgentWorkOfANormalRunStillWorks) {
  // Takeover of the server that allows it: read, moved to itself, then its own
  // (password, log position, schedule rows).
  auto permission = agent1->ExecuteQuery(TakeoverPermissionQuery(202));
  ASSERT_TRUE(permission->IsOk()) << permission->GetErrorMessage();
  EXPECT_EQ(permission->GetRowCount(), 1u);
  std::string error;
  EXPECT_EQ(agent1->ExecuteCommand(TakeoverStatement(1, 202), &error), 1) << error;
  EXPECT_EQ(Sql("SELECT agent_id FROM varo.agent_server_binding WHERE server_id = 202"), "1");
  auto bindings =
      agent1->ExecuteQuery("SELECT * FROM varo.agent_server_binding WHERE agent_id = 1");
  ASSERT_EQ(bindings->GetRowCount(), 2u);
  EXPECT_EQ(bindings->GetValueByName(1, "password"), "stored-secret-202");
  EXPECT_TRUE(agent1->ExecuteQuery(ServerHeartbeatQuery(1, 202))->IsOk());
  EXPECT_EQ(Sql("SELECT last_heartbeat_agent_id FROM varo.server WHERE id = 202"), "1");
  // Agent 2 lost it: its heartbeat for the server records nothing now.
  Sql("UPDATE varo.server SET last_heartbeat = NULL WHERE id = 202");
  EXPECT_TRUE(agent2->ExecuteQuery(ServerHeartbeatQuery(2, 202))->IsOk());
  EXPECT_EQ(Sql("SELECT last_heartbeat IS NULL FROM varo.server WHERE id = 202"), "t");

  // Probe selection of both agents at once: each locks exactly its own rows,
  // the taken-over server's now among agent 1's.
  auto rows1 = agent1->ExecuteQuery(ProbeSelectionQuery(1));
  auto rows2 = agent2->ExecuteQuery(ProbeSelectionQuery(2));
  ASSERT_TRUE(rows1->IsOk() && rows2->IsOk())
      << rows1->GetErrorMessage() << rows2->GetErrorMessage();
  EXPECT_EQ(rows1->GetRowCount(), 16u);  // 8 host probes, 4 per server for 101 and 202
  EXPECT_EQ(rows2->GetRowCount(), 12u);  // 8 host probes, 4 for server 201
  const std::string pid1 = agent1->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid = " + pid1 +
                " AND (agent_id = 1 OR server_id IN (101, 202))"),
            "16");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid = " +
                agent2Pid + " AND (agent_id = 2 OR server_id = 201)"),
            "12");

  // Results go into its own rows through SyncToDB; agent 2's stay as they are.
  ResultSetWithFixedRows cpu({"core_id", "load_percentage"});
  cpu.AddRow({"CPU0", "50"});
  cpu.AddRow({"CPU1", "25"});
  EXPECT_EQ(agent1->SyncToDB(cpu, "varodata.cpu_usage", {"core_id"}, {"agent_id"}, {"1"}), "");
  ResultSetWithFixedRows hba({"line_num", "method"});
  hba.AddRow({"2", "md5"});
  EXPECT_EQ(agent1->SyncToDB(hba, "varodata.pg_hba_conf", {"line_num"}, {"server_id"}, {"202"}),
            "");
  EXPECT_EQ(Sql("SELECT string_agg(agent_id || ':' || core_id || '=' || load_percentage, ',' "
                "ORDER BY agent_id, core_id) FROM varodata.cpu_usage WHERE agent_id IN (1, 2)"),
            "1:CPU0=50,1:CPU1=25,2:CPU0=2");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.pg_hba_conf WHERE server_id = 202"), "1");
  // Storing into agent 2's scope fails and deletes nothing of it.
  EXPECT_NE(agent1->SyncToDB(cpu, "varodata.cpu_usage", {"core_id"}, {"agent_id"}, {"2"}), "");
  ResultSetWithFixedRows none({"line_num", "method"});
  EXPECT_EQ(agent1->SyncToDB(none, "varodata.pg_hba_conf", {"line_num"}, {"server_id"}, {"201"}),
            "");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.pg_hba_conf WHERE server_id = 201"), "1");
  EXPECT_EQ(Sql("SELECT string_agg(core_id || '=' || load_percentage, ',') FROM "
                "varodata.cpu_usage WHERE agent_id = 2"),
            "CPU0=2");
  Sql("DELETE FROM varodata.cpu_usage WHERE agent_id = 1 AND core_id = 'CPU1'");
  Sql("DELETE FROM varodata.pg_hba_conf WHERE server_id = 202");

  // The server is taken back while agent 1's probes of it run: agent 1 still
  // releases the rows its backend locked, and cannot lock them again.
  Sql("UPDATE varo.agent_server_binding SET agent_id = 2 WHERE server_id = 202");
  EXPECT_EQ(agent1->ExecuteCommand(
                "UPDATE varo.probe_schedule SET current_backend_pid = NULL, last_execution_time "
                "= now() WHERE server_id = 202 AND current_backend_pid = pg_backend_pid()",
                &error),
            4)
      << error;
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe_schedule WHERE server_id = 202 AND "
                "current_backend_pid IS NOT NULL"),
            "0");
  EXPECT_EQ(agent1->ExecuteCommand("UPDATE varo.probe_schedule SET current_backend_pid = "
                                   "pg_backend_pid() WHERE server_id = 202",
                                   &error),
            0)
      << error;
  EXPECT_EQ(agent1->ExecuteQuery("SELECT * FROM varo.probe_schedule WHERE server_id = 202")
                ->GetRowCount(),
            0u);
}

TEST_F(CentralRights, ZombieCleanUpClearsWhatADeadAgentLeftAndNothingOfALiveOne) {
  // Agent 2 also had a backend that died holding a second job with a run and a
  // step under way.
  const std::string dead = DeadPid();
  Sql("INSERT INTO varo.jobagent (jagpid, agent_id) VALUES (" + dead + ", 2)");
  const std::string job =
      Sql("INSERT INTO varo.job (agent_id, jobinterval, jobprocessid, "
          "joblastrun) VALUES (2, '1 hour', " +
          dead + ", now()) RETURNING jobid");
  const std::string step =
      Sql("INSERT INTO varo.jobstep (jstjobid, jstkind) VALUES (" + job + ", 'b') RETURNING jstid");
  const std::string log =
      Sql("INSERT INTO varo.joblog (jlgjobid) VALUES (" + job + ") RETURNING jlgid");
  Sql("INSERT INTO varo.jobsteplog (jsljlgid, jsljstid) VALUES (" + log + ", " + step + ")");
  const std::string liveJob = Sql("SELECT min(jobid) FROM varo.job WHERE agent_id = 2");
  const std::string liveLog = Sql("SELECT jlgid FROM varo.joblog WHERE jlgjobid = " + liveJob);

  // Agent 1 runs the clean-up exactly as it does when it connects.
  ASSERT_EQ(agent1->ExecuteCommand(kCreateZombieTableStatement), 0);
  std::string error;
  EXPECT_GE(agent1->ExecuteCommand(FindZombiesStatement(true), &error), 1) << error;
  EXPECT_GE(agent1->ExecuteCommand(ClearZombieJobsStatement(), &error), 0) << error;
  EXPECT_EQ(agent1->ExecuteCommand(kDropZombieTableStatement, &error), 0) << error;
  EXPECT_TRUE(agent1->ExecuteQuery(kClearProbeZombiesQuery)->IsOk());

  EXPECT_EQ(Sql("SELECT count(*) FROM varo.jobagent WHERE jagpid = " + dead), "0");
  EXPECT_EQ(Sql("SELECT jlgstatus FROM varo.joblog WHERE jlgid = " + log), "d");
  EXPECT_EQ(Sql("SELECT jslstatus FROM varo.jobsteplog WHERE jsljlgid = " + log), "d");
  EXPECT_EQ(Sql("SELECT (jobprocessid IS NULL) AND jobnextrun = joblastrun + interval '1 hour' "
                "FROM varo.job WHERE jobid = " +
                job),
            "t");
  // The live backend of agent 2 keeps its registration, its job and its run.
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.jobagent WHERE jagpid = " + agent2Pid), "1");
  EXPECT_EQ(Sql("SELECT jobprocessid FROM varo.job WHERE jobid = " + liveJob), agent2Pid);
  EXPECT_EQ(Sql("SELECT jlgstatus FROM varo.joblog WHERE jlgid = " + liveLog), "r");
  Sql("DELETE FROM varo.job WHERE jobid = " + job);
}

TEST_F(CentralRights, ReaderRoleReadsEverythingButPasswordsAndChangesNothing) {
  Sql("DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'rights_test_person') "
      "THEN CREATE ROLE rights_test_person LOGIN; END IF; END $$");
  Sql("GRANT varo_reader TO rights_test_person");
  CentralDb({});  // a reload keeps the person's rights
  Sql("INSERT INTO varo.config (param, value) VALUES ('smtp_password', 'stored-mail-secret') "
      "ON CONFLICT (param) DO UPDATE SET value = EXCLUDED.value");
  auto person = Cluster().ConnectDB("varo", "rights_test_person");
  ASSERT_TRUE(person);
  struct Read {
    std::string sql;
    std::string want;
  };
  const std::vector<Read> reads = {
      {"SELECT count(*) FROM varo.agent WHERE id IN (1, 2)", "2"},
      {"SELECT string_agg(server_id || ':' || agent_id || ':' || sslmode, ',' ORDER BY "
       "server_id) FROM varo.agent_server_binding WHERE server_id IN (101, 201)",
       "101:1:,201:2:require"},
      {"SELECT count(*) FROM varo.job WHERE agent_id IN (1, 2)", "2"},
      {"SELECT count(*) > 0 FROM varo.jobstep", "t"},
      {"SELECT count(*) FROM varo.probe_schedule WHERE agent_id IN (1, 2)", "16"},
      {"SELECT count(*) FROM varodata.cpu_usage WHERE agent_id IN (1, 2)", "2"},
      {"SELECT count(*) FROM varodata.server_logs WHERE server_id = 201", "1"},
      {"SELECT count(*) > 0 FROM varo.heartbeats", "t"},
      {"SELECT count(*) FROM varo.config WHERE param = 'smtp_password'", "0"},
      {"SELECT count(*) > 0 FROM varo.config", "t"},
  };
  for (const Read& r : reads) {
    auto result = person->ExecuteQuery(r.sql);
    ASSERT_TRUE(result->IsOk()) << r.sql << ": " << result->GetErrorMessage();
    EXPECT_EQ(result->GetValueByIndex(0, 0), r.want) << r.sql;
  }
  ExpectAttempts(*person, {
                              {"SELECT password FROM varo.agent_server_binding", Expect::kRefused},
                              {"SELECT * FROM varo.agent_server_binding", Expect::kRefused},
                              {"UPDATE varo.agent SET active = false", Expect::kRefused},
                              {"DELETE FROM varodata.cpu_usage", Expect::kRefused},
                              {"INSERT INTO varo.alert (subject) VALUES ('x')", Expect::kRefused},
                              {AgentHeartbeatQuery(1), Expect::kRefused},
                              {kProcessOneAlertQuery, Expect::kRefused},
                          });
  person.reset();
  Sql("DELETE FROM varo.config WHERE param = 'smtp_password'");
}

TEST(CentralRightsTables, TablesAddedLaterAreConfinedAtOnceAndAfterAReload) {
  Bind(3, 301);
  Bind(4, 401);
  // Made by the superuser after the schema was loaded: agents may use it at
  // once, each for its own rows.
  Sql("CREATE TABLE IF NOT EXISTS varodata.rights_test_custom (server_id integer, agent_id "
      "integer, value text)");
  Sql("CREATE TABLE IF NOT EXISTS varodata.rights_test_plain (value text)");
  Sql("INSERT INTO varodata.rights_test_custom VALUES (401, NULL, 'four'), (NULL, 4, 'four')");
  // A column that says whose a row is, added later, confines the table at once.
  Sql("CREATE TABLE IF NOT EXISTS varodata.rights_test_altered (value text)");
  Sql("ALTER TABLE varodata.rights_test_altered ADD COLUMN IF NOT EXISTS agent_id integer");
  Sql("INSERT INTO varodata.rights_test_plain VALUES ('nobody''s')");
  for (int pass = 0; pass < 2; ++pass) {
    auto agent3 = Cluster().ConnectDB("varo", "agent3");
    ASSERT_TRUE(agent3);
    std::string error;
    EXPECT_EQ(agent3->ExecuteCommand("INSERT INTO varodata.rights_test_custom VALUES (301, NULL, "
                                     "'mine'), (NULL, 3, 'mine'), (301, 3, 'mine')",
                                     &error),
              3)
        << error;
    ExpectAttempts(
        *agent3,
        {
            {"INSERT INTO varodata.rights_test_custom VALUES (401, NULL, 'x')", Expect::kRefused},
            {"INSERT INTO varodata.rights_test_custom VALUES (301, 4, 'x')", Expect::kRefused},
            {"INSERT INTO varodata.rights_test_custom VALUES (NULL, NULL, 'x')", Expect::kRefused},
            {"SELECT * FROM varodata.rights_test_custom WHERE value <> 'mine'", Expect::kNothing},
            {"DELETE FROM varodata.rights_test_custom WHERE value = 'four'", Expect::kNothing},
            {"SELECT * FROM varodata.rights_test_plain", Expect::kNothing},
            {"INSERT INTO varodata.rights_test_plain VALUES ('x')", Expect::kRefused},
            {"INSERT INTO varodata.rights_test_altered VALUES ('x', 4)", Expect::kRefused},
        });
    EXPECT_EQ(agent3->ExecuteCommand("INSERT INTO varodata.rights_test_altered VALUES ('mine', 3)",
                                     &error),
              1)
        << error;
    EXPECT_EQ(agent3->ExecuteCommand("DELETE FROM varodata.rights_test_custom", &error), 3)
        << error;
    // The second pass runs after the schema was loaded again.
    CentralDb({});
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.rights_test_custom WHERE value = 'four'"), "2");
}

TEST(CentralRightsRoles, OnlyAMappedRoleActsForItsAgent) {
  CentralDb({"--agent", "8"});
  // A database made before the role table existed: a reload maps agent8 again.
  Sql("DELETE FROM varo.agent_role WHERE role_name = 'agent8'");
  {
    auto unmapped = Cluster().ConnectDB("varo", "agent8");
    ASSERT_TRUE(unmapped);
    ExpectAttempts(*unmapped, {
                                  {"SELECT * FROM varo.agent", Expect::kNothing},
                                  {AgentHeartbeatQuery(8), Expect::kRefused},
                                  {RegisterBackendQuery(8), Expect::kRefused},
                              });
  }
  CentralDb({});
  auto mapped = Cluster().ConnectDB("varo", "agent8");
  ASSERT_TRUE(mapped);
  auto own = mapped->ExecuteQuery("SELECT id FROM varo.agent");
  ASSERT_TRUE(own->IsOk()) << own->GetErrorMessage();
  ASSERT_EQ(own->GetRowCount(), 1u);
  EXPECT_EQ(own->GetValueByIndex(0, 0), "8");
  EXPECT_TRUE(mapped->ExecuteQuery(AgentHeartbeatQuery(8))->IsOk());
  // Another role in varo_agent that acts for no agent reaches nothing.
  Sql("DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'rights_test_stray') "
      "THEN CREATE ROLE rights_test_stray LOGIN IN ROLE varo_agent; END IF; END $$");
  auto stray = Cluster().ConnectDB("varo", "rights_test_stray");
  ASSERT_TRUE(stray);
  ExpectAttempts(*stray, {
                             {"SELECT * FROM varo.agent", Expect::kNothing},
                             {"SELECT * FROM varo.agent_server_binding WHERE NOT allow_takeover",
                              Expect::kNothing},
                             {"SELECT * FROM varodata.cpu_usage", Expect::kNothing},
                             {AgentHeartbeatQuery(8), Expect::kRefused},
                         });
}

TEST(CentralRightsScript, BindOptionsAndMailPasswordAreStored) {
  CentralDb({"--bind", "5", "501", "db.example.org", "5432", "monitor", "postgres", "--sslmode",
             "verify-full", "--allow-takeover", "on"});
  EXPECT_EQ(Sql("SELECT sslmode || ':' || allow_takeover FROM varo.agent_server_binding WHERE "
                "server_id = 501"),
            "verify-full:true");
  // Without the options an existing binding keeps them; with them they change.
  CentralDb({"--bind", "5", "501", "db2.example.org", "5432", "monitor", "postgres"});
  EXPECT_EQ(Sql("SELECT server || ':' || sslmode || ':' || allow_takeover FROM "
                "varo.agent_server_binding WHERE server_id = 501"),
            "db2.example.org:verify-full:true");
  CentralDb({"--bind", "5", "501", "db2.example.org", "5432", "monitor", "postgres", "--sslmode",
             "", "--allow-takeover", "off", "--agent", "6"});
  EXPECT_EQ(Sql("SELECT sslmode || ':' || allow_takeover FROM varo.agent_server_binding WHERE "
                "server_id = 501"),
            ":false");
  EXPECT_EQ(Sql("SELECT agent_id FROM varo.agent_role WHERE role_name = 'agent6'"), "6");

  struct Bad {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {{"--bind", "5", "502", "h", "5432", "u", "d", "--sslmode", "sometimes"}, "unknown mode"},
      {{"--bind", "5", "502", "h", "5432", "u", "d", "--sslmode"}, "needs a mode"},
      {{"--bind", "5", "502", "h", "5432", "u", "d", "--allow-takeover", "yes"}, "on or off"},
      {{"--sslmode", "require"}, "right after"},
      {{"--mail-password"}, "no password on standard input"},
  };
  for (const Bad& b : bad) {
    std::string out;
    EXPECT_NE(Cluster().RunCentralDb(b.args, &out), 0) << b.args[0];
    EXPECT_NE(out.find(b.message), std::string::npos) << out;
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.agent_server_binding WHERE server_id = 502"), "0");

  // The mail password comes from standard input and is stored encrypted; a
  // second reader of standard input in the same call is refused.
  const std::string tool = std::string(VARO_BINARY_DIR) + "/varo-passwd";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "varo-passwd is not built";
  const std::string script = ShellQuote(std::string(VARO_SOURCE_DIR) + "/scripts/central-db");
  std::vector<std::string> env = Cluster().LibpqEnv();
  env.push_back("VARO_PASSWD=" + tool);
  ProcessResult twice = RunProcess(
      {"sh", "-c", "printf 'a\\nb\\n' | " + script + " --mail-password --bind 5 503 h 5432 u d -"},
      env);
  EXPECT_NE(twice.exitCode, 0);
  EXPECT_NE(twice.output.find("already read"), std::string::npos) << twice.output;
  ProcessResult stored =
      RunProcess({"sh", "-c", "printf 'mail s3cret\\n' | " + script + " --mail-password"}, env);
  ASSERT_EQ(stored.exitCode, 0) << stored.output;
  const std::string value = Sql("SELECT value FROM varo.config WHERE param = 'smtp_password'");
  EXPECT_FALSE(value.empty());
  EXPECT_EQ(value.find("s3cret"), std::string::npos);
  ProcessResult decrypted = RunProcess({"sh", "-c", "printf 'mail s3cret' | " + ShellQuote(tool)});
  ASSERT_EQ(decrypted.exitCode, 0);
  std::string want = decrypted.output;
  while (!want.empty() && want.back() == '\n') want.pop_back();
  if (value != want) {
    EXPECT_EQ(value.size(), want.size()) << value << " vs " << want;
  }
  Sql("DELETE FROM varo.config WHERE param = 'smtp_password'");
}

}  // namespace
