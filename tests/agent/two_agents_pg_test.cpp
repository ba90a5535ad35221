// Two real agent programs (varo-agent DEBUG) against one central database at
// the same time: each registers, beats, and locks the probes of itself and its
// own server only, under the row-level security of its role.
#include <gtest/gtest.h>

#include "agent_test_support.h"
#include "support/pg_cluster.h"

using agent_test::AgentOptions;
using agent_test::AgentProcess;
using agent_test::CountOf;
using agent_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

std::string Exec(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

void CentralDb(const std::vector<std::string>& args) {
  std::string out;
  ASSERT_EQ(PgCluster::Get().RunCentralDb(args, &out), 0) << out;
}

TEST(TwoAgents, EachSeesAndChangesOnlyItsOwnWork) {
  PgCluster& cluster = PgCluster::Get();
  for (const char* agent : {"71", "72"}) {
    CentralDb({"--bind", agent, std::string(agent) + "01", cluster.socketDir(),
               std::to_string(cluster.port()), "postgres", "monitored", "--schedule", agent});
  }
  Exec("UPDATE varo.agent SET heartbeat_interval = 1 WHERE id IN (71, 72)");

  AgentProcess first(AgentOptions(71));
  AgentProcess second(AgentOptions(72));
  // Two passes each: the second finds nothing more to lock.
  ASSERT_TRUE(first.WaitForOutput("DEBUG: checking for probes to run\n", 30s, 2)) << first.Output();
  ASSERT_TRUE(second.WaitForOutput("DEBUG: checking for probes to run\n", 30s, 2))
      << second.Output();
  ASSERT_TRUE(WaitUntil(
      [] {
        return Exec(
                   "SELECT count(*) FROM varo.server WHERE id IN (7101, 7201) AND "
                   "last_heartbeat IS NOT NULL") == "2";
      },
      20s));

  for (int agent : {71, 72}) {
    const std::string id = std::to_string(agent);
    const std::string other = std::to_string(agent == 71 ? 72 : 71);
    // Registered once, with a live backend of its own role.
    const std::string pid = Exec(
        "SELECT string_agg(jagpid::text, ',') FROM varo.jobagent WHERE "
        "agent_id = " +
        id);
    ASSERT_EQ(pid.find(','), std::string::npos) << pid;
    EXPECT_EQ(Exec("SELECT usename FROM pg_stat_activity WHERE pid = " + pid), "agent" + id);
    // Its 8 host probes and 4 server probes were locked by its own backend:
    // each is still locked by it or has run and been unlocked; no row of the
    // other agent is locked by it.
    EXPECT_EQ(Exec("SELECT count(*) FROM varo.probe_schedule WHERE (current_backend_pid = " + pid +
                   " OR (current_backend_pid IS NULL AND last_execution_time IS NOT NULL)) AND "
                   "(agent_id = " +
                   id + " OR server_id = " + id + "01)"),
              "12");
    EXPECT_EQ(Exec("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid = " + pid +
                   " AND (agent_id = " + other + " OR server_id = " + other + "01)"),
              "0");
    // Its server's heartbeat is its own; its capabilities are set.
    EXPECT_EQ(Exec("SELECT last_heartbeat_agent_id FROM varo.server WHERE id = " + id + "01"), id);
    EXPECT_EQ(Exec("SELECT agent_capability_list[1] FROM varo.agent WHERE id = " + id), "linux");
  }

  first.Stop();
  second.Stop();
  for (AgentProcess* agent : {&first, &second}) {
    const std::string output = agent->Output();
    // The test server has no audit settings: that probe's failure is the only warning.
    EXPECT_EQ(CountOf(output, "WARNING: "), CountOf(output, "WARNING: probe execution error"))
        << output;
    EXPECT_EQ(CountOf(output, "DEBUG: clearing zombies\n"), 1) << output;
    agent_test::ExpectNoSanitizerReport(output);
  }
  Exec(
      "UPDATE varo.probe_schedule SET current_backend_pid = NULL WHERE agent_id IN (71, 72) OR "
      "server_id IN (7101, 7201)");
}

}  // namespace
