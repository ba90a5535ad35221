// The central database made by scripts/central-db, against the real cluster:
// the statements the agent sends (the agent's own texts, from where it sends
// them), probe locking, notifications of the spools,
// alert processing, job rescheduling, the agent role's rights and the set-up
// script itself. Each test uses its own agent and server ids, because all
// tests of this binary share one cluster.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "agent/agent_capabilities.h"
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
#include "work/job_step.h"
#include "work/probe_step.h"

namespace {

PgCluster& Cluster() { return PgCluster::Get(); }

std::string Sql(const std::string& sql) { return Cluster().Exec("varo", sql); }

void SetUpAgent(int agentId) {
  std::string out;
  ASSERT_EQ(Cluster().RunCentralDb({"--agent", std::to_string(agentId)}, &out), 0) << out;
}

// Binds server `serverId` (the "monitored" database of the cluster) to `agentId`.
void BindServer(int agentId, int serverId) {
  std::string out;
  ASSERT_EQ(Cluster().RunCentralDb(
                {"--bind", std::to_string(agentId), std::to_string(serverId), Cluster().socketDir(),
                 std::to_string(Cluster().port()), "postgres", "monitored"},
                &out),
            0)
      << out;
}

std::unique_ptr<DBConnectionToPostgreSQL> ConnectAsAgent(int agentId) {
  return Cluster().ConnectDB("varo", "agent" + std::to_string(agentId));
}

// Waits until no backend with `pid` is left; false when it stays.
bool BackendGone(const std::string& pid) {
  return WaitUntil(
      [&] { return Sql("SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid) == "0"; },
      std::chrono::seconds(30));
}

// One statement as the agent sends it; `params` empty means PQexec.
struct Statement {
  std::string text;
  std::vector<std::string> params;
};

void ExpectAllRun(DBConnection& conn, const std::vector<Statement>& statements) {
  for (const auto& s : statements) {
    auto result = conn.ExecuteQuery(s.text, s.params);
    EXPECT_TRUE(result->IsOk()) << s.text << "\n" << result->GetErrorMessage();
  }
}

// ---------------------------------------------------------------------------
// The statement texts of the main loop, heartbeats, takeover, server bindings,
// jobs, probes, log storage, server info, alerts and spoolers, run as the
// agent role with the agent's values filled in.

TEST(CentralSchemaAgentStatements, SetUpHeartbeatAndBindingStatementsRun) {
  const int agent = 901, server = 901;
  SetUpAgent(agent);
  BindServer(agent, server);
  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);

  auto version = conn->ExecuteQuery(kSchemaVersionQuery);
  ASSERT_TRUE(version->IsOk()) << version->GetErrorMessage();
  ASSERT_EQ(version->GetRowCount(), 1u);
  EXPECT_EQ(version->GetValueByIndex(0, 0), "201210091");

  ExpectAllRun(*conn,
               {
                   {"SELECT version();", {}},
                   {kSetCapabilitiesStatement, {kAgentCapabilityList, StrFormat("%d", agent)}},
                   {kCreateZombieTableStatement, {}},
                   {FindZombiesStatement(true), {}},
                   {ClearZombieJobsStatement(), {}},
                   {kDropZombieTableStatement, {}},
                   {kClearProbeZombiesQuery, {}},
                   {AgentHeartbeatQuery(agent), {}},
                   {ServerHeartbeatQuery(agent, server), {}},
                   {HeartbeatSettingsQuery(agent), {}},
                   {TakeoverPermissionQuery(server), {}},
                   {TakeoverStatement(agent, server), {}},
                   {kProcessOneAlertQuery, {}},
               });

  auto registered = conn->ExecuteQuery(RegisterBackendQuery(agent));
  ASSERT_TRUE(registered->IsOk()) << registered->GetErrorMessage();
  auto pid = conn->ExecuteQuery("SELECT pg_backend_pid()");
  EXPECT_EQ(registered->GetValueByIndex(0, 0), pid->GetValueByIndex(0, 0));

  // The binding columns the server pool reads by name.
  auto bindings = conn->ExecuteQuery(
      StrFormat("SELECT * FROM varo.agent_server_binding WHERE agent_id = %d", agent));
  ASSERT_TRUE(bindings->IsOk()) << bindings->GetErrorMessage();
  ASSERT_EQ(bindings->GetRowCount(), 1u);
  EXPECT_EQ(bindings->GetValueByName(0, "server_id"), std::to_string(server));
  EXPECT_EQ(bindings->GetValueByName(0, "server"), Cluster().socketDir());
  EXPECT_EQ(bindings->GetValueByName(0, "port"), std::to_string(Cluster().port()));
  EXPECT_EQ(bindings->GetValueByName(0, "username"), "postgres");
  EXPECT_EQ(bindings->GetValueByName(0, "database"), "monitored");
  EXPECT_EQ(bindings->GetValueByName(0, "sslmode"), "");
  bool isNull = false;
  bindings->GetValueByName(0, "password", &isNull);
  EXPECT_TRUE(isNull);

  // What the heartbeats recorded, and the agent row the heartbeat reads back.
  EXPECT_EQ(
      Sql(StrFormat("SELECT last_heartbeat IS NOT NULL FROM varo.agent WHERE id = %d", agent)),
      "t");
  EXPECT_EQ(Sql(StrFormat("SELECT last_heartbeat_agent_id FROM varo.server WHERE id = %d", server)),
            std::to_string(agent));
  EXPECT_EQ(Sql(StrFormat("SELECT agent_capability_list[1] FROM varo.agent WHERE id = %d", agent)),
            "linux");
  auto interval = conn->ExecuteQuery(HeartbeatSettingsQuery(agent));
  EXPECT_EQ(interval->GetValueByIndex(0, 0), "30");
  EXPECT_EQ(interval->GetValueByIndex(0, 1), "t");
}

TEST(CentralSchemaAgentStatements, JobStatementsRunAndReleasedJobIsRescheduled) {
  const int agent = 902, server = 902;
  SetUpAgent(agent);
  BindServer(agent, server);
  const std::string jobId = Sql(StrFormat(
      "INSERT INTO varo.job (agent_id, jobname, jobinterval, jobnextrun) VALUES (%d, 'vacuum', "
      "'1 hour', now() - interval '1 minute') RETURNING jobid",
      agent));
  const std::string stepId =
      Sql("INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, "
          "server_id, database_name) VALUES (" +
          jobId + ", 'a', 's', 'SELECT 1', " + std::to_string(server) +
          ", 'monitored') RETURNING jstid");
  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);
  const std::string backendPid =
      conn->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);

  auto due = conn->ExecuteQuery(DueJobsQuery(agent));
  ASSERT_TRUE(due->IsOk()) << due->GetErrorMessage();
  ASSERT_EQ(due->GetRowCount(), 1u);
  EXPECT_EQ(due->GetValueByName(0, "jobid"), jobId);

  // Claim: exclusive, a second claim affects nothing.
  const std::string claim = "UPDATE varo.job SET jobprocessid=" + backendPid +
                            ", joblastrun=now()  WHERE jobprocessid IS NULL AND jobid=" + jobId;
  EXPECT_EQ(conn->ExecuteCommand(claim), 1);
  EXPECT_EQ(conn->ExecuteCommand(claim), 0);

  auto logSeq = conn->ExecuteQuery("SELECT nextval('varo.joblog_jlgid_seq') AS id");
  ASSERT_TRUE(logSeq->IsOk()) << logSeq->GetErrorMessage();
  const std::string logId = logSeq->GetValueByName(0, "id");
  std::string error;
  EXPECT_EQ(conn->ExecuteCommand("INSERT INTO varo.joblog(jlgid, jlgjobid, jlgstatus) VALUES (" +
                                     logId + ", " + jobId + ", 'r')",
                                 &error),
            1)
      << error;

  auto steps =
      conn->ExecuteQuery("SELECT *   FROM varo.jobstep  WHERE jstenabled    AND jstjobid=" + jobId +
                         " ORDER BY jstname, jstid");
  ASSERT_TRUE(steps->IsOk()) << steps->GetErrorMessage();
  ASSERT_EQ(steps->GetRowCount(), 1u);
  EXPECT_EQ(steps->GetValueByName(0, "jstid"), stepId);
  EXPECT_EQ(steps->GetValueByName(0, "jstkind"), "s");
  EXPECT_EQ(steps->GetValueByName(0, "server_id"), std::to_string(server));
  EXPECT_EQ(steps->GetValueByName(0, "database_name"), "monitored");
  EXPECT_EQ(steps->GetValueByName(0, "jstonerror"), "f");

  auto stepSeq = conn->ExecuteQuery("SELECT nextval('varo.jobsteplog_jslid_seq') AS id");
  ASSERT_TRUE(stepSeq->IsOk()) << stepSeq->GetErrorMessage();
  const std::string stepLogId = stepSeq->GetValueByName(0, "id");
  EXPECT_EQ(conn->ExecuteCommand("INSERT INTO varo.jobsteplog(jslid, jsljlgid, jsljstid, "
                                 "jslstatus) SELECT " +
                                     stepLogId + ", " + logId + ", " + stepId +
                                     ", 'r'  FROM varo.jobstep WHERE jstid=" + stepId,
                                 &error),
            1)
      << error;
  auto stepDone = conn->ExecuteQuery(
      "UPDATE varo.jobsteplog    SET jslduration = now() - jslstart,        jslresult = " +
          StrFormat("%d", 1) + ", jslstatus = 's',        jsloutput = $1 WHERE jslid=" + stepLogId,
      {"PGRES_TUPLES_OK"});
  EXPECT_TRUE(stepDone->IsOk()) << stepDone->GetErrorMessage();

  // Release: the central side works out the next run from the interval.
  EXPECT_GE(conn->ExecuteCommand("UPDATE varo.joblog    SET jlgstatus='s', jlgduration=now() - "
                                 "jlgstart  WHERE jlgid=" +
                                     logId +
                                     ";\nUPDATE varo.job    SET jobprocessid=NULL, "
                                     "jobnextrun=NULL  WHERE jobid=" +
                                     jobId,
                                 &error),
            0)
      << error;
  EXPECT_EQ(
      Sql("SELECT jobnextrun = joblastrun + interval '1 hour' FROM varo.job WHERE jobid=" + jobId),
      "t");
  EXPECT_EQ(Sql("SELECT jlgstatus || ':' || (jlgduration IS NOT NULL) FROM varo.joblog WHERE "
                "jlgid=" +
                logId),
            "s:true");
  EXPECT_EQ(Sql("SELECT jslstatus || ':' || jslresult || ':' || jsloutput FROM varo.jobsteplog "
                "WHERE jslid=" +
                stepLogId),
            "s:1:PGRES_TUPLES_OK");

  // A job without an interval runs once: released, it is not due again.
  Sql("UPDATE varo.job SET jobinterval = NULL, jobprocessid = 1, jobnextrun = now() WHERE jobid=" +
      jobId);
  Sql("UPDATE varo.job SET jobprocessid = NULL, jobnextrun = NULL WHERE jobid=" + jobId);
  EXPECT_EQ(Sql("SELECT jobnextrun IS NULL FROM varo.job WHERE jobid=" + jobId), "t");
}

TEST(CentralSchemaAgentStatements, ZombieCleanUpMarksRunsDeadAndReschedulesTheJob) {
  const int agent = 903;
  SetUpAgent(agent);
  // A backend that existed and is gone: its pid is not in pg_stat_activity.
  auto victim = Cluster().ConnectDB("varo");
  ASSERT_TRUE(victim);
  const std::string deadPid =
      victim->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  victim.reset();
  EXPECT_TRUE(BackendGone(deadPid));
  const std::string jobId = Sql(StrFormat("INSERT INTO varo.job (agent_id, jobinterval, "
                                          "jobprocessid, joblastrun, jobnextrun) VALUES "
                                          "(%d, '10 minutes', ",
                                          agent) +
                                deadPid + ", now(), now()) RETURNING jobid");
  const std::string stepId = Sql("INSERT INTO varo.jobstep (jstjobid, jstkind) VALUES (" + jobId +
                                 ", 'b') RETURNING jstid");
  const std::string logId =
      Sql("INSERT INTO varo.joblog (jlgjobid) VALUES (" + jobId + ") RETURNING jlgid");
  Sql("INSERT INTO varo.jobsteplog (jsljlgid, jsljstid) VALUES (" + logId + ", " + stepId + ")");
  Sql("INSERT INTO varo.jobagent (jagpid, agent_id) VALUES (" + deadPid + ", " +
      std::to_string(agent) + ")");

  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);
  ASSERT_EQ(conn->ExecuteCommand(kCreateZombieTableStatement), 0);
  std::string error;
  EXPECT_GE(conn->ExecuteCommand(FindZombiesStatement(true), &error), 1) << error;
  EXPECT_GE(conn->ExecuteCommand(ClearZombieJobsStatement(), &error), 0) << error;
  EXPECT_EQ(Sql("SELECT jlgstatus FROM varo.joblog WHERE jlgid = " + logId), "d");
  EXPECT_EQ(Sql("SELECT string_agg(jslstatus, ',') FROM varo.jobsteplog WHERE jsljlgid = " + logId),
            "d");
  EXPECT_EQ(Sql("SELECT (jobprocessid IS NULL) AND jobnextrun = joblastrun + interval '10 "
                "minutes' FROM varo.job WHERE jobid = " +
                jobId),
            "t");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.jobagent WHERE jagpid = " + deadPid), "0");
}

TEST(CentralSchemaAgentStatements, LogStorageAndServerInfoStatementsRun) {
  const int agent = 904, server = 904;
  SetUpAgent(agent);
  BindServer(agent, server);
  Sql("UPDATE varo.log_configuration SET log_directory = '/var/log/pg' WHERE server_id = 904");
  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);

  const std::string head23 =
      "INSERT INTO varodata.server_logs(server_id, log_time, user_name, database_name, "
      "process_id, connection_from, session_id, session_line_num, command_tag, "
      "session_start_time, virtual_transaction_id, transaction_id, error_severity, "
      "sql_state_code, message, detail, hint, internal_query, internal_query_pos, context, "
      "query, query_pos, location, application_name) VALUES";
  const std::string head22 =
      "INSERT INTO varodata.audit_logs(server_id, log_time, user_name, database_name, "
      "process_id, connection_from, session_id, session_line_num, command_tag, "
      "session_start_time, virtual_transaction_id, transaction_id, error_severity, "
      "sql_state_code, message, detail, hint, internal_query, internal_query_pos, context, "
      "query, query_pos, location) VALUES";
  const std::string row22 =
      "'2024-01-05 10:00:00.123 UTC', 'bob', 'db', 1234, '[local]', '65a1.4d2', 7, 'SELECT', "
      "'2024-01-05 09:59:00 UTC', '3/42', 4294967295, 'ERROR', '42P01', 'relation \"x\" does "
      "not exist', '', '', '', NULL, '', 'SELECT * FROM x', 15, ''";
  ExpectAllRun(*conn,
               {
                   {"BEGIN;", {}},
                   {head23 + " (904, " + row22 + ", 'psql'),(904, " + row22 + ", 'psql');", {}},
                   {"UPDATE varo.log_configuration SET (last_read_filename, file_offset) = "
                    "('/var/log/pg/f.csv', 1234) WHERE server_id = 904;",
                    {}},
                   {"COMMIT;", {}},
                   {head22 + " (904, " + row22 + ");", {}},
                   {"UPDATE varo.audit_configuration SET (last_read_filename, file_offset) = "
                    "('audit-1.csv', -1) WHERE server_id = 904;",
                    {}},
                   {"SELECT server_version_id FROM varodata.server_info WHERE server_id = 904", {}},
               });
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.server_logs WHERE server_id = 904"), "2");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.audit_logs WHERE server_id = 904"), "1");

  auto position = conn->ExecuteQuery(
      "SELECT log_directory, last_read_filename, file_offset FROM varo.log_configuration WHERE "
      "server_id = 904");
  ASSERT_TRUE(position->IsOk()) << position->GetErrorMessage();
  EXPECT_EQ(position->GetValueByIndex(0, 0), "/var/log/pg");
  EXPECT_EQ(position->GetValueByIndex(0, 1), "/var/log/pg/f.csv");
  EXPECT_EQ(position->GetValueByIndex(0, 2), "1234");
  auto audit = conn->ExecuteQuery(
      "SELECT azu_audit_directory, last_read_filename, file_offset FROM varo.audit_configuration "
      "WHERE server_id = 904");
  ASSERT_TRUE(audit->IsOk()) << audit->GetErrorMessage();
  EXPECT_EQ(audit->GetValueByIndex(0, 2), "-1");
}

TEST(CentralSchemaAgentStatements, SpoolerStatementsRun) {
  const int agent = 905;
  SetUpAgent(agent);
  const std::string mailId =
      Sql("INSERT INTO varo.smtp_spool (mail_to, mail_from, subject, message) VALUES "
          "('a@example.org', 'varo@example.org', 'Subject', 'Body') RETURNING id");
  const std::string trapId = Sql(
      "INSERT INTO varo.snmp_spool (trap_oid, enterprise_oid, varbinding_oid, varbinding_value) "
      "VALUES ('1.3.6.1.4.1.8072.9999.9999.1', '1.3.6.1.4.1.8072.9999.9999', "
      "'1.3.6.1.2|1.3.6.1.3', "
      "'a|b') RETURNING id");
  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);
  ExpectAllRun(
      *conn,
      {
          {"SELECT id FROM varo.smtp_spool WHERE sent_status = 'u'", {}},
          {"SELECT param, value FROM varo.config WHERE param in ('smtp_server', 'smtp_port', "
           "'smtp_encryption', \t\t\t\t\t\t 'smtp_username', 'smtp_password', 'smtp_enabled', "
           "'smtp_authentication');",
           {}},
          {"SELECT mail_to, mail_cc, mail_bcc, mail_from, subject, message FROM varo.smtp_spool "
           "WHERE id = " +
               mailId,
           {}},
          {"UPDATE varo.smtp_spool SET sent_status = 's' WHERE id = " + mailId, {}},
          {"SELECT id FROM varo.snmp_spool WHERE sent_status = 'u'", {}},
          {"SELECT param, value FROM varo.config WHERE param in ('snmp_server', 'snmp_port', "
           "\t\t\t'snmp_enabled', 'snmp_community')",
           {}},
          {"SELECT trap_oid, enterprise_oid, trap_version, varbinding_oid, varbinding_value FROM "
           "varo.snmp_spool WHERE id = " +
               trapId,
           {}},
          {"UPDATE varo.snmp_spool SET sent_status = 's' WHERE id = " + trapId, {}},
      });
  EXPECT_EQ(Sql("SELECT sent_status FROM varo.smtp_spool WHERE id = " + mailId), "s");
  EXPECT_EQ(Sql("SELECT trap_version FROM varo.snmp_spool WHERE id = " + trapId), "2");
}

// ---------------------------------------------------------------------------
// Probe schedules: selection, locks, unlock, zombies.

const char* kUnlock =
    "UPDATE varo.probe_schedule SET current_backend_pid = NULL, last_execution_time = now() "
    "WHERE probe_id = $1 AND parameter_value_list = $2 AND current_backend_pid = pg_backend_pid()";

std::string AddSqlProbe(const std::string& name, const std::string& scope) {
  return Sql(
      "INSERT INTO varo.probe (probe_internal_name, collection_method, probe_code, "
      "probe_key_list, probe_scope, default_interval) VALUES ('" +
      name + "', 's', 'SELECT 1 AS x', '{x}', '" + scope + "', 60) RETURNING probe_id");
}

TEST(CentralSchemaProbes, DueProbeIsLockedOnceAndUnlockedUntilDueAgain) {
  const int agent = 906;
  SetUpAgent(agent);
  const std::string probeId = AddSqlProbe("schema_test_agent_probe", "agent");
  Sql("INSERT INTO varo.probe_schedule (probe_id, parameter_value_list, agent_id) VALUES (" +
      probeId + ", '', 906)");
  auto first = ConnectAsAgent(agent);
  auto second = ConnectAsAgent(agent);
  ASSERT_TRUE(first && second);

  auto rows = first->ExecuteQuery(ProbeSelectionQuery(agent));
  ASSERT_TRUE(rows->IsOk()) << rows->GetErrorMessage();
  ASSERT_EQ(rows->GetRowCount(), 1u);
  EXPECT_EQ(rows->GetValueByName(0, "agent_id"), "906");
  EXPECT_EQ(rows->GetValueByName(0, "probe_id"), probeId);
  EXPECT_EQ(rows->GetValueByName(0, "parameter_name_list"), "{agent_id}");
  EXPECT_EQ(rows->GetValueByName(0, "parameter_value_list"), "{906}");
  EXPECT_EQ(rows->GetValueByName(0, "probe_key_list"), "{x}");
  EXPECT_EQ(rows->GetValueByName(0, "probe_code"), "SELECT 1 AS x");
  EXPECT_EQ(rows->GetValueByName(0, "probe_internal_name"), "schema_test_agent_probe");
  EXPECT_EQ(rows->GetValueByName(0, "collection_method"), "s");
  EXPECT_EQ(rows->GetValueByName(0, "server_id"), "0");
  EXPECT_EQ(rows->GetValueByName(0, "database_name"), "");
  EXPECT_EQ(rows->GetValueByName(0, "lock"), "t");
  const std::string firstPid =
      first->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  EXPECT_EQ(Sql("SELECT current_backend_pid FROM varo.probe_schedule WHERE probe_id = " + probeId),
            firstPid);

  // Locked: neither another backend nor the same one gets it again.
  auto other = second->ExecuteQuery(ProbeSelectionQuery(agent));
  ASSERT_TRUE(other->IsOk()) << other->GetErrorMessage();
  EXPECT_EQ(other->GetRowCount(), 0u);
  auto direct = second->ExecuteQuery("SELECT varo.lock_schedule_table($1, $2)", {probeId, "{906}"});
  EXPECT_EQ(direct->GetValueByIndex(0, 0), "f");
  EXPECT_EQ(first->ExecuteQuery(ProbeSelectionQuery(agent))->GetRowCount(), 0u);

  // Only the holder's backend can unlock; afterwards the row waits its interval.
  auto foreignUnlock = second->ExecuteQuery(kUnlock, {probeId, "{906}"});
  ASSERT_TRUE(foreignUnlock->IsOk()) << foreignUnlock->GetErrorMessage();
  EXPECT_EQ(foreignUnlock->GetAffectedRows(), 0u);
  auto unlock = first->ExecuteQuery(kUnlock, {probeId, "{906}"});
  ASSERT_TRUE(unlock->IsOk()) << unlock->GetErrorMessage();
  EXPECT_EQ(unlock->GetAffectedRows(), 1u);
  EXPECT_EQ(second->ExecuteQuery(ProbeSelectionQuery(agent))->GetRowCount(), 0u);

  // Due again once the interval has passed.
  Sql("UPDATE varo.probe_schedule SET last_execution_time = now() - interval '61 seconds' WHERE "
      "probe_id = " +
      probeId);
  EXPECT_EQ(second->ExecuteQuery(ProbeSelectionQuery(agent))->GetRowCount(), 1u);

  // A failure report as the probe queue sends it.
  auto report = second->ExecuteQuery(
      "INSERT INTO varo.probe_log (agent_id, probe_id, parameter_value_list, message) VALUES "
      "($1, $2, $3, $4)",
      {StrFormat("%d", agent), probeId, "{906}", "relation \"x\" does not exist"});
  EXPECT_TRUE(report->IsOk()) << report->GetErrorMessage();
}

TEST(CentralSchemaProbes, ClearProbeZombiesFreesOnlyLocksOfVanishedBackends) {
  const int agent = 907;
  SetUpAgent(agent);
  const std::string probeA = AddSqlProbe("schema_test_zombie_a", "agent");
  const std::string probeB = AddSqlProbe("schema_test_zombie_b", "agent");
  Sql("INSERT INTO varo.probe_schedule (probe_id, parameter_value_list, agent_id) VALUES (" +
      probeA + ", '', 907), (" + probeB + ", '', 907)");
  auto holder = ConnectAsAgent(agent);
  auto dying = ConnectAsAgent(agent);
  ASSERT_TRUE(holder && dying);
  EXPECT_EQ(holder->ExecuteQuery("SELECT varo.lock_schedule_table($1, '{907}')", {probeA})
                ->GetValueByIndex(0, 0),
            "t");
  EXPECT_EQ(dying->ExecuteQuery("SELECT varo.lock_schedule_table($1, '{907}')", {probeB})
                ->GetValueByIndex(0, 0),
            "t");
  const std::string dyingPid =
      dying->ExecuteQuery("SELECT pg_backend_pid()")->GetValueByIndex(0, 0);
  Sql("SELECT pg_terminate_backend(" + dyingPid + ")");
  EXPECT_TRUE(BackendGone(dyingPid));

  auto cleared = holder->ExecuteQuery(kClearProbeZombiesQuery);
  ASSERT_TRUE(cleared->IsOk()) << cleared->GetErrorMessage();
  // Other tests of this binary may have left locks of closed connections too.
  EXPECT_GE(std::stoi(cleared->GetValueByIndex(0, 0)), 1);
  EXPECT_EQ(
      Sql("SELECT current_backend_pid IS NULL FROM varo.probe_schedule WHERE probe_id = " + probeB),
      "t");
  EXPECT_EQ(Sql("SELECT current_backend_pid IS NOT NULL FROM varo.probe_schedule WHERE probe_id "
                "= " +
                probeA),
            "t");
  // The freed row is due again (it never ran) and can be taken by a live agent.
  auto rows = holder->ExecuteQuery(ProbeSelectionQuery(agent));
  ASSERT_TRUE(rows->IsOk()) << rows->GetErrorMessage();
  ASSERT_EQ(rows->GetRowCount(), 1u);
  EXPECT_EQ(rows->GetValueByName(0, "probe_id"), probeB);
}

TEST(CentralSchemaProbes, ServerAndDatabaseScopesFollowTheBindingAndQuoteValues) {
  const int agent = 908, server = 908;
  SetUpAgent(agent);
  BindServer(agent, server);
  const std::string serverProbe = AddSqlProbe("schema_test_server_probe", "server");
  const std::string dbProbe = AddSqlProbe("schema_test_db_probe", "database");
  Sql("INSERT INTO varo.probe_schedule (probe_id, parameter_value_list, server_id) VALUES (" +
      serverProbe + ", '', 908)");
  Sql("INSERT INTO varo.probe_schedule (probe_id, parameter_value_list, server_id, database_name) "
      "VALUES (" +
      dbProbe + ", '', 908, 'my db,\"x\"')");
  // A schedule row that does not fit its probe's scope is refused.
  {
    std::string error;
    auto admin = Cluster().ConnectDB("varo");
    EXPECT_EQ(admin->ExecuteCommand("INSERT INTO varo.probe_schedule (probe_id, "
                                    "parameter_value_list, agent_id) VALUES (" +
                                        serverProbe + ", '', 908)",
                                    &error),
              -1);
    EXPECT_NE(error.find("runs per server"), std::string::npos) << error;
  }

  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);
  auto rows = conn->ExecuteQuery(ProbeSelectionQuery(agent));
  ASSERT_TRUE(rows->IsOk()) << rows->GetErrorMessage();
  ASSERT_EQ(rows->GetRowCount(), 2u);
  // Ordered by server_id, then database_name ("monitored" sorts first).
  EXPECT_EQ(rows->GetValueByName(0, "probe_id"), serverProbe);
  EXPECT_EQ(rows->GetValueByName(0, "parameter_name_list"), "{server_id}");
  EXPECT_EQ(rows->GetValueByName(0, "parameter_value_list"), "{908}");
  EXPECT_EQ(rows->GetValueByName(0, "server_id"), "908");
  EXPECT_EQ(rows->GetValueByName(0, "database_name"), "monitored");
  EXPECT_EQ(rows->GetValueByName(1, "probe_id"), dbProbe);
  EXPECT_EQ(rows->GetValueByName(1, "parameter_name_list"), "{server_id,database_name}");
  EXPECT_EQ(rows->GetValueByName(1, "parameter_value_list"), "{908,\"my db,\\\"x\\\"\"}");
  EXPECT_EQ(rows->GetValueByName(1, "database_name"), "my db,\"x\"");
  auto unlock =
      conn->ExecuteQuery(kUnlock, {dbProbe, rows->GetValueByName(1, "parameter_value_list")});
  EXPECT_EQ(unlock->GetAffectedRows(), 1u);

  // An inactive agent gets no probes.
  Sql("UPDATE varo.probe_schedule SET last_execution_time = NULL, current_backend_pid = NULL "
      "WHERE server_id = 908");
  Sql("UPDATE varo.agent SET active = false WHERE id = 908");
  EXPECT_EQ(conn->ExecuteQuery(ProbeSelectionQuery(agent))->GetRowCount(), 0u);
}

TEST(CentralSchemaProbes, BuiltinProbeRowsStoreThroughSyncToDBWithoutSpuriousChanges) {
  const int agent = 909, server = 909;
  SetUpAgent(agent);
  BindServer(agent, server);
  std::string out;
  ASSERT_EQ(Cluster().RunCentralDb({"--schedule", "909"}, &out), 0) << out;
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe_schedule WHERE agent_id = 909"), "8");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe_schedule WHERE server_id = 909"), "4");
  ASSERT_EQ(Cluster().RunCentralDb({"--schedule", "909"}, &out), 0) << out;
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe_schedule WHERE agent_id = 909 OR server_id = "
                "909"),
            "12");

  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);
  ResultSetWithFixedRows cpu({"core_id", "load_percentage"});
  cpu.AddRow({"CPU0", "12.500000"});
  cpu.AddRow({"CPU1", "0.000000"});
  ResultSetWithFixedRows os({"os_details", "os_start_time"});
  os.AddRow({"Linux 6.1", "2024-1-5 3:4:5"});
  ResultSetWithFixedRows dirs({"name", "path", "device_id", "dir_type"});
  dirs.AddRow({"data", "/var/lib/pg", "18446744073709551615", "d"});
  ResultSetWithFixedRows hba(
      {"line_num", "type", "database", "user", "cidr_addr", "method", "options"});
  hba.AddRow({"1", "local", "all", "all", "", "trust", ""});

  struct Case {
    const ResultSet* rows;
    std::string table;
    std::vector<std::string> keys;
    std::vector<std::string> filterColumns;
    std::vector<std::string> filterValues;
  };
  const std::vector<Case> cases = {
      {&cpu, "varodata.cpu_usage", {"core_id"}, {"agent_id"}, {"909"}},
      {&os, "varodata.os_info", {}, {"agent_id"}, {"909"}},
      {&dirs, "varodata.data_log_file_analysis", {"name", "path"}, {"server_id"}, {"909"}},
      {&hba, "varodata.pg_hba_conf", {"line_num"}, {"server_id"}, {"909"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(conn->SyncToDB(*c.rows, c.table, c.keys, c.filterColumns, c.filterValues), "")
        << c.table;
  }
  Sql("UPDATE varodata.cpu_usage SET recorded_time = '2000-01-01' WHERE agent_id = 909");
  Sql("UPDATE varodata.os_info SET recorded_time = '2000-01-01' WHERE agent_id = 909");
  Sql("UPDATE varodata.data_log_file_analysis SET recorded_time = '2000-01-01' WHERE server_id = "
      "909");
  // The same values again: every value read back equals the text written, so
  // nothing is updated.
  for (const auto& c : cases) {
    EXPECT_EQ(conn->SyncToDB(*c.rows, c.table, c.keys, c.filterColumns, c.filterValues), "")
        << c.table;
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.cpu_usage WHERE agent_id = 909 AND recorded_time "
                "= '2000-01-01'"),
            "2");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.os_info WHERE agent_id = 909 AND recorded_time = "
                "'2000-01-01'"),
            "1");
  EXPECT_EQ(Sql("SELECT count(*) FROM varodata.data_log_file_analysis WHERE server_id = 909 AND "
                "recorded_time = '2000-01-01'"),
            "1");
}

// ---------------------------------------------------------------------------
// Spool notifications and alerts.

// Waits up to `seconds` for a notification on `conn`; its channel, or "".
std::string WaitForNotification(PGconn* conn, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    PQconsumeInput(conn);
    if (PGnotify* n = PQnotifies(conn)) {
      std::string channel = n->relname;
      PQfreemem(n);
      return channel;
    }
    pollfd pfd{PQsocket(conn), POLLIN, 0};
    poll(&pfd, 1, 100);
  }
  return "";
}

TEST(CentralSchemaSpools, NewUnsentRowsWakeListenersOnTheFoldedChannel) {
  const int agent = 910;
  SetUpAgent(agent);
  std::string error;
  PGconnPtr listener = Cluster().Connect("varo", "agent910", &error);
  ASSERT_TRUE(listener) << error;
  for (const char* listen : {"LISTEN SMTP_SPOOL", "LISTEN SNMP_SPOOL"}) {
    PGresultPtr res(PQexec(listener.get(), listen));
    ASSERT_EQ(PQresultStatus(res.get()), PGRES_COMMAND_OK) << PQerrorMessage(listener.get());
  }

  const std::string mailId =
      Sql("INSERT INTO varo.smtp_spool (mail_to, mail_from, subject) VALUES ('a@example.org', "
          "'b@example.org', 's') RETURNING id");
  EXPECT_EQ(WaitForNotification(listener.get(), 10), "smtp_spool");

  Sql("INSERT INTO varo.snmp_spool (trap_oid) VALUES ('1.3.6.1.4.1.8072.9999.9999.1')");
  EXPECT_EQ(WaitForNotification(listener.get(), 10), "snmp_spool");

  // Marking a row sent announces nothing; putting it back to unsent does.
  Sql("UPDATE varo.smtp_spool SET sent_status = 's' WHERE id = " + mailId);
  EXPECT_EQ(WaitForNotification(listener.get(), 1), "");
  Sql("UPDATE varo.smtp_spool SET sent_status = 'u' WHERE id = " + mailId);
  EXPECT_EQ(WaitForNotification(listener.get(), 10), "smtp_spool");
  Sql("UPDATE varo.smtp_spool SET sent_status = 's' WHERE id = " + mailId);
}

TEST(CentralSchemaAlerts, EachAlertIsProcessedOnceIntoMailsAndTraps) {
  const int agent = 911;
  SetUpAgent(agent);
  auto first = ConnectAsAgent(agent);
  auto second = ConnectAsAgent(agent);
  ASSERT_TRUE(first && second);
  // Leave no other pending alert behind from earlier runs of this binary.
  while (first->ExecuteQuery(kProcessOneAlertQuery)->GetValueByIndex(0, 0) == "t") {
  }
  Sql("UPDATE varo.alert_recipient SET enabled = false");
  Sql("INSERT INTO varo.alert_recipient (name, mail_to, send_trap) VALUES ('ops', "
      "'ops@example.org', true), ('dba', 'dba@example.org', false)");
  const std::string mailsBefore = Sql("SELECT coalesce(max(id), 0) FROM varo.smtp_spool");
  const std::string trapsBefore = Sql("SELECT coalesce(max(id), 0) FROM varo.snmp_spool");
  Sql("INSERT INTO varo.alert (server_id, severity, subject, message) VALUES "
      "(1, 'critical', 'disk|full', 'a|b'), (2, 'warning', 'second', 'text')");

  // One caller holds the first alert in an open transaction: the other takes
  // the second one without waiting, then finds nothing left.
  ASSERT_TRUE(first->ExecuteQuery("BEGIN")->IsOk());
  EXPECT_EQ(first->ExecuteQuery(kProcessOneAlertQuery)->GetValueByIndex(0, 0), "t");
  EXPECT_EQ(second->ExecuteQuery(kProcessOneAlertQuery)->GetValueByIndex(0, 0), "t");
  EXPECT_EQ(second->ExecuteQuery(kProcessOneAlertQuery)->GetValueByIndex(0, 0), "f");
  ASSERT_TRUE(first->ExecuteQuery("COMMIT")->IsOk());
  EXPECT_EQ(first->ExecuteQuery(kProcessOneAlertQuery)->GetValueByIndex(0, 0), "f");

  EXPECT_EQ(Sql("SELECT count(*) FROM varo.smtp_spool WHERE id > " + mailsBefore), "4");
  EXPECT_EQ(Sql("SELECT string_agg(mail_to || '/' || subject, ',' ORDER BY subject, mail_to) "
                "FROM varo.smtp_spool WHERE id > " +
                mailsBefore),
            "dba@example.org/disk|full,ops@example.org/disk|full,dba@example.org/second,"
            "ops@example.org/second");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.snmp_spool WHERE id > " + trapsBefore), "2");
  // A "|" inside a value would shift the values onto the wrong OIDs: the
  // lists stay the same length.
  EXPECT_EQ(Sql("SELECT bool_and(cardinality(string_to_array(varbinding_oid, '|')) = "
                "cardinality(string_to_array(varbinding_value, '|'))) FROM varo.snmp_spool WHERE "
                "id > " +
                trapsBefore),
            "t");
  EXPECT_EQ(Sql("SELECT varbinding_value FROM varo.snmp_spool WHERE id > " + trapsBefore +
                " AND varbinding_value LIKE 'critical%'"),
            "critical|disk/full|a/b|1");
  Sql("UPDATE varo.alert_recipient SET enabled = false");
}

// ---------------------------------------------------------------------------
// The agent role's rights.

TEST(CentralSchemaRights, AgentRoleCannotChangeWhatItOnlyReads) {
  const int agent = 912;
  SetUpAgent(agent);
  auto conn = ConnectAsAgent(agent);
  ASSERT_TRUE(conn);
  const std::vector<std::string> refused = {
      "UPDATE varo.agent SET active = false WHERE id = 912",
      "UPDATE varo.agent SET heartbeat_interval = 1 WHERE id = 912",
      "INSERT INTO varo.agent (id) VALUES (99912)",
      "UPDATE varo.agent_server_binding SET password = 'x'",
      "DELETE FROM varo.job",
      "UPDATE varo.job SET jobenabled = false",
      "INSERT INTO varo.job (agent_id) VALUES (912)",
      "UPDATE varo.jobstep SET jstcode = 'x'",
      "UPDATE varo.probe SET probe_code = 'x'",
      "DELETE FROM varo.probe_schedule",
      "SELECT * FROM varo.probe_log",
      "UPDATE varo.config SET value = 'x'",
      "INSERT INTO varo.smtp_spool (mail_to) VALUES ('x')",
      "UPDATE varo.smtp_spool SET mail_to = 'x'",
      "DELETE FROM varo.snmp_spool",
      "SELECT * FROM varo.alert",
      "SELECT varo.setup_agent(99912)",
      "SELECT varo.schedule_builtin_probes(912)",
      "CREATE TABLE varo.intruder (a int)",
      "CREATE TABLE varodata.intruder (a int)",
  };
  for (const auto& sql : refused) {
    std::string error;
    EXPECT_EQ(conn->ExecuteCommand(sql, &error), -1) << sql;
    EXPECT_NE(error.find("permission denied"), std::string::npos) << sql << ": " << error;
  }
}

// ---------------------------------------------------------------------------
// The set-up script.

TEST(CentralDbScript, RepeatedRunsKeepDataAndSettings) {
  const int agent = 913, server = 913;
  SetUpAgent(agent);
  BindServer(agent, server);
  Sql("UPDATE varo.config SET value = 'mail.example.org' WHERE param = 'smtp_server'");
  Sql("UPDATE varo.probe SET default_interval = 77 WHERE probe_internal_name = 'memory_usage'");
  Sql("INSERT INTO varo.smtp_spool (mail_to, mail_from) VALUES ('keep@example.org', 'x')");
  const std::string mails = Sql("SELECT count(*) FROM varo.smtp_spool");

  std::string out;
  ASSERT_EQ(Cluster().RunCentralDb({}, &out), 0) << out;
  EXPECT_EQ(out, "");
  ASSERT_EQ(Cluster().RunCentralDb({"--agent", "913", "--bind", "913", "913", Cluster().socketDir(),
                                    std::to_string(Cluster().port()), "postgres", "monitored"},
                                   &out),
            0)
      << out;
  EXPECT_EQ(Sql("SELECT value FROM varo.config WHERE param = 'smtp_server'"), "mail.example.org");
  EXPECT_EQ(Sql("SELECT default_interval FROM varo.probe WHERE probe_internal_name = "
                "'memory_usage'"),
            "77");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.smtp_spool"), mails);
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.agent WHERE id = 913"), "1");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.agent_server_binding WHERE server_id = 913"), "1");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.probe WHERE collection_method = 'i'"), "12");
  // The agent still logs in after the rights were granted anew.
  EXPECT_TRUE(ConnectAsAgent(agent));
  Sql("UPDATE varo.config SET value = '' WHERE param = 'smtp_server'");
  Sql("UPDATE varo.probe SET default_interval = 60 WHERE probe_internal_name = 'memory_usage'");
}

TEST(CentralDbScript, BadArgumentsFailClearlyAndChangeNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string port = std::to_string(Cluster().port());
  const std::vector<Case> cases = {
      {{"--agent"}, "needs an agent id"},
      {{"--agent", "0"}, "positive number"},
      {{"--agent", "abc"}, "positive number"},
      {{"--agent", "1; DROP SCHEMA varo"}, "positive number"},
      {{"--bind", "914", "914", "h", "5432", "u"}, "--bind needs"},
      {{"--bind", "914", "x", "h", "5432", "u", "d"}, "server id"},
      {{"--bind", "914", "914", "h", "0", "u", "d"}, "port"},
      {{"--bind", "914", "914", "h", "65536", "u", "d"}, "port"},
      {{"--bind", "914", "914", "h", "5432", "", "d"}, "user name"},
      {{"--bind", "914", "914", "h", "5432", "u", "d", ""}, "password is empty"},
      {{"--bind", "914", "914", "h", "5432", "u", "d", "-"}, "no password on standard input"},
      {{"--frobnicate"}, "unknown argument"},
  };
  for (const auto& c : cases) {
    std::string out;
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_NE(Cluster().RunCentralDb(c.args, &out), 0) << joined;
    EXPECT_NE(out.find(c.message), std::string::npos) << joined << "\n" << out;
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.agent WHERE id = 914"), "0");
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.server WHERE id = 914"), "0");
}

TEST(CentralDbScript, BindStoresAnEncryptedPasswordOrFailsWithoutTheTool) {
  const std::string port = std::to_string(Cluster().port());
  const std::vector<std::string> bind = {"--bind", "915",      "915",       Cluster().socketDir(),
                                         port,     "postgres", "monitored", "s3cret 'x'"};
  // Without the tool nothing is bound and the message says why.
  std::vector<std::string> argv = {std::string(VARO_SOURCE_DIR) + "/scripts/central-db"};
  argv.insert(argv.end(), bind.begin(), bind.end());
  std::vector<std::string> env = Cluster().LibpqEnv();
  env.push_back("VARO_PASSWD=/nonexistent/varo-passwd");
  ProcessResult missing = RunProcess(argv, env);
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.output.find("varo-passwd"), std::string::npos) << missing.output;
  EXPECT_EQ(Sql("SELECT count(*) FROM varo.agent_server_binding WHERE server_id = 915"), "0");

  // With the tool the stored form is what varo-passwd prints, never the password.
  const std::string tool = std::string(VARO_BINARY_DIR) + "/varo-passwd";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "varo-passwd is not built";
  std::string out;
  ASSERT_EQ(Cluster().RunCentralDb(bind, &out), 0) << out;
  const std::string stored =
      Sql("SELECT password FROM varo.agent_server_binding WHERE server_id = 915");
  EXPECT_FALSE(stored.empty());
  EXPECT_EQ(stored.find("s3cret"), std::string::npos);
  ProcessResult expected =
      RunProcess({"sh", "-c", "printf '%s\\n' \"s3cret 'x'\" | " + ShellQuote(tool)});
  ASSERT_EQ(expected.exitCode, 0) << expected.output;
  std::string want = expected.output;
  while (!want.empty() && (want.back() == '\n' || want.back() == '\r')) want.pop_back();
  // Encryption may be salted; then both must at least have the same form.
  if (stored != want) {
    EXPECT_EQ(stored.size(), want.size()) << stored << " vs " << want;
  }

  // Binding again without a password removes the stored one.
  ASSERT_EQ(
      Cluster().RunCentralDb(
          {"--bind", "915", "915", Cluster().socketDir(), port, "postgres", "monitored"}, &out),
      0)
      << out;
  EXPECT_EQ(Sql("SELECT password IS NULL FROM varo.agent_server_binding WHERE server_id = 915"),
            "t");
}

}  // namespace
