// The data and log directory probe through the probe step end to end: a
// schedule row of the probe for a bound server (the test cluster, whose data
// directory is on this host) lands its rows in varodata.data_log_file_analysis,
// written as agent 12 under the table's row-level security.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/wait.h"
#include "work/probe_step.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kServerId = 1904;

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

std::string Volume(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return std::to_string(static_cast<uint64_t>(info.st_dev));
}

class DataLogAnalysisProbeStepTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(central_test::ConnectAgent12WithServer(kServerId).empty()); }
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
    central_test::DisconnectCentral();
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
};

TEST_F(DataLogAnalysisProbeStepTest, RowsOfTheBoundServerLandInTheirTable) {
  // The probe row as the central schema defines it (other tests may have
  // removed the defined probes); only this schedule row is due.
  Central("DELETE FROM varo.probe_schedule");
  Central("DELETE FROM varo.probe_log");
  Central(
      "INSERT INTO varo.probe (probe_name, probe_internal_name, collection_method, probe_code, "
      "probe_key_list, probe_scope, default_interval) VALUES ('Data and log directories', "
      "'data_log_file_analysis', 'i', 'data_log_file_analysis', '{name,path}', 'server', 3600) "
      "ON CONFLICT (probe_internal_name) DO NOTHING");
  Central("DELETE FROM varodata.data_log_file_analysis");
  // A row of a directory the server no longer has is removed by the store.
  Central(
      "INSERT INTO varodata.data_log_file_analysis (server_id, name, path, device_id, "
      "dir_type) VALUES (" +
      std::to_string(kServerId) + ", 'old_space', '/gone', 1, 't')");
  Central("INSERT INTO varo.probe_schedule (probe_id, server_id) SELECT probe_id, " +
          std::to_string(kServerId) +
          " FROM varo.probe WHERE probe_internal_name = 'data_log_file_analysis'");

  ASSERT_TRUE(RunProbeStep(*GetCentralConnection(), central_test::kAgentId));
  ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));

  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_log"), "0")
      << Central("SELECT string_agg(message, ' | ') FROM varo.probe_log");
  EXPECT_EQ(Central("SELECT count(*) FROM varo.probe_schedule WHERE current_backend_pid IS NOT "
                    "NULL OR last_execution_time IS NULL"),
            "0");
  const std::string data = PgCluster::Get().dataDir();
  EXPECT_EQ(Central("SELECT string_agg(server_id || '|' || name || '|' || path || '|' || "
                    "device_id || '|' || dir_type, ',' ORDER BY dir_type) FROM "
                    "varodata.data_log_file_analysis"),
            std::to_string(kServerId) + "|data|" + data + "|" + Volume(data) + "|d," +
                std::to_string(kServerId) + "|xlog|" + data + "/pg_wal|" +
                Volume(data + "/pg_wal") + "|x");
}

}  // namespace
