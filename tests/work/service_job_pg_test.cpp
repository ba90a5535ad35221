// Jobs whose internal steps start, stop and restart a monitored server's
// service. No service manager runs here, so a stand-in `systemctl` put first
// on PATH drives a second, real throwaway cluster with pg_ctl (ServiceHost):
// unit "varo-test-pg" is that cluster, "varo-test-app" a service that depends
// on it (running while its state file exists), "varo-test-off" a disabled
// dependent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "db/central_connection.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "job_test_support.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/process.h"
#include "support/service_host.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "work/internal_task.h"
#include "work/job_step.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kServerId = 1451;
constexpr int kPort = ServiceHost::kPort;

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

class ServiceJobTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    central_test::BindServer(kServerId, host_.socketDir(), kPort, "postgres", "postgres");
    backendPid_ = central_test::ConnectCentral();
    ASSERT_FALSE(backendPid_.empty());
    Central("DELETE FROM varo.job");
  }

  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(180)));
    central_test::DisconnectCentral();
  }

  // A job of agent 12 with one step per (kind, code, on-error) in order.
  std::string AddJob(const std::vector<std::tuple<char, std::string, char>>& steps) {
    const std::string job = Central("INSERT INTO varo.job (agent_id) VALUES (" +
                                    std::to_string(central_test::kAgentId) + ") RETURNING jobid");
    int n = 0;
    for (const auto& [kind, code, onError] : steps) {
      Central(
          "INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, server_id, "
          "database_name, jstonerror) VALUES (" +
          job + ", 'step" + std::to_string(n++) + "', '" + std::string(1, kind) + "', $c$" + code +
          "$c$, " + std::to_string(kServerId) + ", 'postgres', '" + std::string(1, onError) + "')");
    }
    return job;
  }

  void Pass() { job_test::RunJobPass(backendPid_); }
  static std::string JobStatus(const std::string& job) { return job_test::JobStatus(job); }
  static std::string StepLog(const std::string& job) { return job_test::StepLog(job); }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  ServiceHost host_;
  EnvGuard path_{"PATH", host_.binDir() + ":" + (getenv("PATH") ? getenv("PATH") : "")};
  std::string backendPid_;
};

TEST_F(ServiceJobTest, ARestartJobRestartsTheClusterAndALaterStepReachesIt) {
  host_.Start();
  const std::string before = host_.StartTime();
  ASSERT_FALSE(before.empty());
  const std::string job = AddJob({{'s', "CREATE TABLE before_restart (x int)", 'f'},
                                  {'i', "server_restart varo-test-pg", 'f'},
                                  {'s', "CREATE TABLE after_restart (x int)", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(job), "s");
  EXPECT_EQ(StepLog(job),
            "s 0 PGRES_COMMAND_OK | s 0 Successfully started the 'varo-test-pg' service. | s 0 "
            "PGRES_COMMAND_OK");
  const std::string after = host_.StartTime();
  ASSERT_FALSE(after.empty());
  EXPECT_NE(before, after);
  ProcessResult tables = RunProcess(
      {PgCluster::Get().binDir() + "/psql", "-X", "-A", "-t", "-h", host_.socketDir(), "-p",
       std::to_string(kPort), "-U", "postgres", "-d", "postgres", "-c",
       "SELECT count(*) FROM pg_tables WHERE tablename IN ('before_restart', 'after_restart')"});
  EXPECT_EQ(tables.output, "2\n");
}

TEST_F(ServiceJobTest, StopAndStartWithTheirDependents) {
  host_.Start();
  // A running dependent is stopped first; stopping a stopped server succeeds.
  std::ofstream(host_.appState()).close();
  const std::string stop =
      AddJob({{'i', "server_stop varo-test-pg", 'f'}, {'i', "server_stop varo-test-pg", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(stop), "s");
  EXPECT_EQ(StepLog(stop),
            "s 0 Successfully stopped the 'varo-test-pg' service. | s 0 Successfully stopped the "
            "'varo-test-pg' service.");
  EXPECT_FALSE(host_.Running());
  EXPECT_FALSE(std::filesystem::exists(host_.appState()));

  // The start brings the enabled dependent up with it, not the disabled one.
  const std::string start = AddJob({{'i', "server_start varo-test-pg", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(start), "s");
  EXPECT_EQ(StepLog(start), "s 0 Successfully started the 'varo-test-pg' service.");
  EXPECT_TRUE(host_.Running());
  EXPECT_TRUE(std::filesystem::exists(host_.appState()));

  // Starting it again: already running, a failed step that keeps its number.
  const std::string again = AddJob({{'i', "server_start varo-test-pg", 'i'},
                                    {'i', "server_start no-such-unit", 'f'},
                                    {'s', "SELECT 1", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(again), "f");
  EXPECT_EQ(StepLog(again),
            "i 1056 The 'varo-test-pg' service is already running. | f 1060 Failed to connect to "
            "the 'no-such-unit' service. Error: 1060");
}

TEST_F(ServiceJobTest, AStartWhoseDependentIsAlreadyRunningFails) {
  std::ofstream(host_.appState()).close();
  const std::string job = AddJob({{'i', "server_start varo-test-pg", 'f'}});
  Pass();
  EXPECT_EQ(JobStatus(job), "f");
  EXPECT_EQ(StepLog(job),
            "f 1056 One or more dependent services didn't start; see the eventlog for details. "
            "Last error: 1056");
  EXPECT_TRUE(host_.Running());
}

}  // namespace
