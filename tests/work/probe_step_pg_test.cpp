// Probes defined in the central database run through the probe step end to
// end: the cluster is the central database and, as database "monitored", the
// monitored server; the agent is agent 12 writing as its own role, so the
// row-level security of the result tables applies. Probes of methods s, w and
// b land their rows and converge on a second pass; failures reach
// varo.probe_log; every locked schedule row is unlocked with its run time.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/central_connection.h"
#include "db/result_set_with_fixed_rows.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/wait.h"
#include "work/internal_probe_task.h"
#include "work/probe_step.h"
#include "work/task.h"
#include "work/work_queue.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kServerId = 1301;

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

class ProbeStepTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(central_test::ConnectAgent12WithServer(kServerId).empty());

    Central("DELETE FROM varo.probe");
    Central("DELETE FROM varo.probe_log");
    for (const char* table : {"t13_sql", "t13_wmi", "t13_batch", "t13_fail", "t13_malformed"}) {
      Central(std::string("DROP TABLE IF EXISTS varodata.") + table);
    }
    Central(
        "CREATE TABLE varodata.t13_sql (server_id int, database_name text, name text, "
        "value text, recorded_time timestamptz NOT NULL DEFAULT now())");
    Central(
        "CREATE TABLE varodata.t13_wmi (agent_id int, name text, "
        "recorded_time timestamptz NOT NULL DEFAULT now())");
    Central(
        "CREATE TABLE varodata.t13_batch (agent_id int, k text, v text, "
        "recorded_time timestamptz NOT NULL DEFAULT now())");
    Central(
        "CREATE TABLE varodata.t13_fail (server_id int, database_name text, x text, "
        "recorded_time timestamptz NOT NULL DEFAULT now())");
    Central(
        "CREATE TABLE varodata.t13_malformed (agent_id int, k text, v text, "
        "recorded_time timestamptz NOT NULL DEFAULT now())");
  }

  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
    central_test::DisconnectCentral();
  }

  // Defines a probe and its schedule row (for agent 12 or for the bound
  // server's "monitored" database); returns the probe id.
  std::string AddProbe(const std::string& name, char method, const std::string& code,
                       const std::string& keys, bool perDatabase) {
    std::string id = Central(
        "INSERT INTO varo.probe (probe_internal_name, collection_method, probe_code, "
        "probe_key_list, probe_scope) VALUES ('" +
        name + "', '" + std::string(1, method) + "', $code$" + code + "$code$, '" + keys + "', '" +
        (perDatabase ? "database" : "agent") + "') RETURNING probe_id");
    if (perDatabase) {
      Central("INSERT INTO varo.probe_schedule (probe_id, server_id, database_name) VALUES (" + id +
              ", " + std::to_string(kServerId) + ", 'monitored')");
    } else {
      Central("INSERT INTO varo.probe_schedule (probe_id, agent_id) VALUES (" + id + ", " +
              std::to_string(central_test::kAgentId) + ")");
    }
    return id;
  }

  // One main-loop probe step, then waits for its workers.
  void Pass() {
    ASSERT_TRUE(RunProbeStep(*GetCentralConnection(), central_test::kAgentId));
    ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
  }

  void ExpectAllUnlockedAndRun() {
    EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid IS NOT "
                      "NULL OR last_execution_time IS NULL"),
              "0");
  }

  std::string ProbeLog(const std::string& probeId) {
    return Central(
        "SELECT string_agg(agent_id || ' ' || parameter_value_list || ' ' || message, "
        "' | ' ORDER BY id) FROM varo.probe_log WHERE probe_id = " +
        probeId);
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
};

TEST_F(ProbeStepTest, ProbesOfEachMethodLandAndConverge) {
  PgCluster::Get().Exec("monitored", "DROP TABLE IF EXISTS probe_src");
  PgCluster::Get().Exec("monitored", "CREATE TABLE probe_src (name text, value text)");
  PgCluster::Get().Exec("monitored",
                        "INSERT INTO probe_src VALUES ('a', '1'), ('b', '2'), ('c', '3')");
  AddProbe("t13_sql", 's',
           "SELECT name, value FROM probe_src WHERE %{database_name} = current_database() "
           "AND %{server_id}::int = 1301",
           "{name}", true);
  AddProbe("t13_wmi", 'w', "SELECT Name FROM Win32_ComputerSystem", "{name}", false);
  AddProbe("t13_batch", 'b', "printf 'k\\tv\\r\\n'\r\nprintf 'x\\t1\\r\\ny\\t\\377\\r\\n'\r\n",
           "{k}", false);
  const std::string failing = AddProbe("t13_fail", 's', "SELECT x FROM no_such_table", "{x}", true);

  Pass();
  ExpectAllUnlockedAndRun();
  EXPECT_EQ(Central("SELECT string_agg(server_id || database_name || name || value, ',' ORDER BY "
                    "name) FROM varodata.t13_sql"),
            "1301monitoreda1,1301monitoredb2,1301monitoredc3");
  EXPECT_EQ(
      Central("SELECT count(*) || ' ' || min(agent_id) FROM varodata.t13_wmi WHERE name <> ''"),
      "1 12");
  EXPECT_EQ(Central("SELECT string_agg(agent_id || k || '=' || v, ',' ORDER BY k) FROM "
                    "varodata.t13_batch"),
            "12x=1,12y=\xEF\xBF\xBD");
  const std::string log = ProbeLog(failing);
  EXPECT_NE(log.find("12 {1301,monitored} "), std::string::npos) << log;
  EXPECT_NE(log.find("no_such_table"), std::string::npos) << log;
  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_log"), "1");

  // Nothing is due now: a pass runs nothing.
  Pass();
  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_log"), "1");

  // Changed data: only the changed rows are written.
  const std::string xminA = Central("SELECT xmin FROM varodata.t13_sql WHERE name = 'a'");
  const std::string xminB = Central("SELECT xmin FROM varodata.t13_sql WHERE name = 'b'");
  PgCluster::Get().Exec("monitored", "UPDATE probe_src SET value = '20' WHERE name = 'b'");
  PgCluster::Get().Exec("monitored", "DELETE FROM probe_src WHERE name = 'c'");
  Central("UPDATE varo.probe_schedule SET last_execution_time = NULL");
  Pass();
  ExpectAllUnlockedAndRun();
  EXPECT_EQ(Central("SELECT string_agg(name || value, ',' ORDER BY name) FROM varodata.t13_sql"),
            "a1,b20");
  EXPECT_EQ(Central("SELECT xmin FROM varodata.t13_sql WHERE name = 'a'"), xminA);
  EXPECT_NE(Central("SELECT xmin FROM varodata.t13_sql WHERE name = 'b'"), xminB);
  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_log"), "2");
  PgCluster::Get().Exec("monitored", "DROP TABLE probe_src");
}

TEST_F(ProbeStepTest, ScriptsThatFailLeaveStoredRowsAndAreReported) {
  Central("INSERT INTO varodata.t13_batch (agent_id, k, v) VALUES (12, 'kept', '1')");
  const std::string silent = AddProbe("t13_batch", 'b', "echo >&2; exit 1", "{k}", false);
  const std::string huge = AddProbe("t13_wmi", 'b', "head -c 100000000 /dev/zero", "{name}", false);
  // A line with too few values: storing the good line alone would delete the
  // stored row the malformed line stood for.
  Central("INSERT INTO varodata.t13_malformed (agent_id, k, v) VALUES (12, 'broken', '1')");
  const std::string malformed =
      AddProbe("t13_malformed", 'b', "printf 'k\\tv\\nnew\\t2\\nbroken\\n'", "{k}", false);
  Pass();
  ExpectAllUnlockedAndRun();
  EXPECT_EQ(Central("SELECT string_agg(k, ',') FROM varodata.t13_batch"), "kept");
  EXPECT_NE(ProbeLog(silent).find("the script printed no line to read rows from"),
            std::string::npos)
      << ProbeLog(silent);
  EXPECT_NE(ProbeLog(huge).find("more than 16777216 bytes"), std::string::npos) << ProbeLog(huge);
  EXPECT_NE(ProbeLog(malformed).find("the script printed 1 lines whose number of values differs"),
            std::string::npos)
      << ProbeLog(malformed);
  EXPECT_EQ(Central("SELECT string_agg(k || '=' || v, ',') FROM varodata.t13_malformed"),
            "broken=1");
  EXPECT_EQ(Central("SELECT count(*) FROM varodata.t13_wmi"), "0");
}

TEST_F(ProbeStepTest, UnknownMethodIsUnlockedAndOthersStillRun) {
  const std::string odd = AddProbe("t13_fail", 'x', "whatever", "{}", true);
  // An internal probe code the agent does not know (codes are compared
  // exactly, so a change of case is unknown too): the row is left locked
  // until the central database clears it.
  const std::string internal = AddProbe("t13_wmi", 'i', "Disk_space", "{}", false);
  AddProbe("t13_batch", 'b', "printf 'k\\tv\\nz\\t9\\n'", "{k}", false);
  Pass();
  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid IS NOT "
                    "NULL AND last_execution_time IS NULL AND probe_id = " +
                    internal),
            "1");
  Central("DELETE FROM varo.probe WHERE probe_id = " + internal);
  ExpectAllUnlockedAndRun();
  EXPECT_EQ(Central("SELECT string_agg(k || v, ',') FROM varodata.t13_batch"), "z9");
  EXPECT_EQ(ProbeLog(odd), "");
}

TEST_F(ProbeStepTest, ProbeStatementsAndScriptsThatRunTooLongFailAndStoreNothing) {
  Central("INSERT INTO varodata.t13_batch (agent_id, k, v) VALUES (12, 'kept', '1')");
  auto batch = [](const std::string& script) {
    BatchTask task(script, "t13_batch", {"k"});
    EXPECT_EQ(task.timeLimit, kProbeTimeLimit);
    task.timeLimit = std::chrono::seconds(1);
    task.SetParameters({"agent_id"}, {"12"});
    task.Run(*GetCentralConnection());
    return std::to_string(task.status) + " " + task.message;
  };
  const std::string killed =
      "-1 the script ran longer than 1 seconds; it was killed and its output discarded";
  EXPECT_EQ(batch("printf 'k\\tv\\nnew\\t2\\n'; sleep 60"), killed);
  // A script that closes its output and runs on is not waited for either.
  EXPECT_EQ(batch("exec >/dev/null 2>&1; sleep 60"), killed);
  EXPECT_EQ(Central("SELECT string_agg(k, ',') FROM varodata.t13_batch"), "kept");

  auto query = [](const std::string& sql) {
    SQLResultsTask task(kServerId, "monitored", sql, "t13_fail", {"x"});
    EXPECT_EQ(task.timeLimit, kProbeTimeLimit);
    task.timeLimit = std::chrono::seconds(1);
    task.SetParameters({"server_id", "database_name"}, {std::to_string(kServerId), "monitored"});
    task.Run(*GetCentralConnection());
    return std::to_string(task.status) + " " + task.message;
  };
  Central(
      "INSERT INTO varodata.t13_fail (server_id, database_name, x) VALUES (1301, 'monitored', "
      "'kept')");
  EXPECT_EQ(query("SELECT 'new' AS x FROM pg_sleep(60)"),
            "-1 the server did not answer within 1 seconds; the connection was closed");
  EXPECT_EQ(Central("SELECT string_agg(x, ',') FROM varodata.t13_fail"), "kept");
  // The closed connection is not handed out again: the next probe runs.
  EXPECT_EQ(query("SELECT 'new' AS x WHERE %{database_name} = current_database()"),
            "1 PGRES_TUPLES_OK");
  EXPECT_EQ(Central("SELECT string_agg(x, ',') FROM varodata.t13_fail"), "new");
  // A job's script has no limit.
  EXPECT_EQ(BatchTask("true", "", {}).timeLimit, std::chrono::milliseconds::zero());
}

// A collector of fixed rows that may fail after adding them.
class FixedProbe : public InternalProbe {
 public:
  FixedProbe(std::vector<std::string> names, std::string error)
      : names(std::move(names)), error(std::move(error)) {}
  std::unique_ptr<ResultSet> CollectResults() override {
    return CollectRows({"name"}, [this](ResultSetWithFixedRows& rows, std::string& text) {
      for (const std::string& name : names) rows.AddRow({name});
      text = error;
    });
  }

 private:
  std::vector<std::string> names;
  std::string error;
};

TEST_F(ProbeStepTest, InternalProbeStoresOnlyWhatItCollectedWithoutError) {
  auto run = [](std::vector<std::string> names, std::string error) {
    InternalProbeTask task(std::make_unique<FixedProbe>(std::move(names), std::move(error)),
                           "t13_wmi", {"name"});
    task.SetParameters({"agent_id"}, {"12"});
    task.Run(*GetCentralConnection());
    return std::to_string(task.status) + " " + task.message;
  };
  EXPECT_EQ(run({"a", "b"}, ""), "0 ");
  EXPECT_EQ(Central("SELECT string_agg(name, ',' ORDER BY name) FROM varodata.t13_wmi"), "a,b");
  // An error after some rows were added: nothing is stored or deleted.
  EXPECT_EQ(run({"c"}, "no disks could be read"), "-1 no disks could be read");
  EXPECT_EQ(Central("SELECT string_agg(name, ',' ORDER BY name) FROM varodata.t13_wmi"), "a,b");
  // A true empty result empties the probe's rows.
  EXPECT_EQ(run({}, ""), "0 ");
  EXPECT_EQ(Central("SELECT count(*) FROM varodata.t13_wmi"), "0");
}

// The due rows as the selection could return them, for grouping.
std::unique_ptr<ResultSetWithFixedRows> DueRows(const std::vector<std::vector<std::string>>& rows) {
  auto due = std::make_unique<ResultSetWithFixedRows>(std::vector<std::string>{
      "server_id", "database_name", "collection_method", "probe_code", "probe_internal_name",
      "probe_key_list", "parameter_name_list", "parameter_value_list", "probe_id"});
  for (const auto& row : rows) due->AddRow(row);
  return due;
}

TEST_F(ProbeStepTest, AdjacentRowsOfOneServerAndDatabaseShareAQueue) {
  auto due = DueRows({{"1", "d1", "b", "true", "t", "{}", "{agent_id}", "{12}", "901"},
                      {"1", "d1", "b", "true", "t", "{}", "{agent_id}", "{12}", "902"},
                      {"2", "d1", "b", "true", "t", "{}", "{agent_id}", "{12}", "903"},
                      {"2", "d1", "q", "true", "t", "{}", "{agent_id}", "{12}", "904"},
                      {"1", "d1", "b", "true", "t", "{}", "{agent_id}", "{12}", "905"},
                      {"0", "", "b", "true", "t", "{}", "{agent_id}", "{12}", "906"}});
  std::vector<std::unique_ptr<ProbeWorkQueue>> queues;
  QueueDueProbes(*GetCentralConnection(), central_test::kAgentId, *due,
                 [&](std::unique_ptr<ProbeWorkQueue> q) { queues.push_back(std::move(q)); });
  ASSERT_EQ(queues.size(), 4u);
  EXPECT_EQ(queues[0]->Describe(), "server_id 1 database_name d1");
  EXPECT_EQ(queues[0]->Size(), 2u);
  EXPECT_EQ(queues[1]->Describe(), "server_id 2 database_name d1");
  EXPECT_EQ(queues[1]->Size(), 1u) << "the row of an unknown method opens nothing";
  EXPECT_EQ(queues[2]->Describe(), "server_id 1 database_name d1");
  EXPECT_EQ(queues[3]->Describe(), "agent level probes");
}

TEST_F(ProbeStepTest, QueueRunsLastAddedFirstAndUnlocksWhatNeverRan) {
  const std::string first = AddProbe("t13_batch", 'b', "true", "{k}", false);
  const std::string second = AddProbe("t13_wmi", 'b', "true", "{name}", false);
  DBConnection& central = *GetCentralConnection();
  auto lock = [&](const std::string& id) {
    auto rs = central.ExecuteQuery("SELECT varo.lock_schedule_table($1, '{12}')", {id});
    ASSERT_TRUE(rs->IsOk()) << rs->GetErrorMessage();
    ASSERT_EQ(rs->GetValueByIndex(0, 0), "t");
  };
  auto makeQueue = [&] {
    auto queue = std::make_unique<ProbeWorkQueue>(central, central_test::kAgentId, 0, "");
    for (const std::string& id : {first, second}) {
      auto task = std::make_unique<BatchTask>("true", "t13_batch", std::vector<std::string>{"k"});
      task->SetParameters({"agent_id"}, {"12"});
      queue->AddProbe(id, "{12}", std::move(task));
    }
    return queue;
  };

  // Both scripts print nothing and fail: their reports show the run order.
  lock(first);
  lock(second);
  makeQueue()->Run();
  EXPECT_EQ(Central("SELECT string_agg(probe_id::text, ',' ORDER BY id) FROM varo.probe_log"),
            second + "," + first);
  ExpectAllUnlockedAndRun();

  // A queue whose worker never started still unlocks its rows.
  Central("UPDATE varo.probe_schedule SET last_execution_time = NULL");
  lock(first);
  lock(second);
  makeQueue().reset();
  ExpectAllUnlockedAndRun();
  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_log"), "2");
}

}  // namespace
