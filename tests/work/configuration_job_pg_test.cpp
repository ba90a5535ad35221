// Jobs that change a monitored server's logging settings and restart it, end
// to end on a throwaway cluster of their own (ServiceHost, driven by the
// stand-in systemctl): the step rewrites postgresql.conf, server_restart
// applies it, the server shows the new values and the log settings probe
// reports them. A refused value fails its step and leaves the file as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "db/central_connection.h"
#include "db/server_pool.h"
#include "job_test_support.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/service_host.h"
#include "support/wait.h"
#include "work/internal_probe_task.h"
#include "work/job_step.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kServerId = 1471;

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ConfigurationJobTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::EnsureAgent12();
    central_test::UseClusterSettings();
    central_test::BindServer(kServerId, host_.socketDir(), ServiceHost::kPort, "postgres",
                             "postgres");
    backendPid_ = central_test::ConnectCentral();
    ASSERT_FALSE(backendPid_.empty());
    Central("DELETE FROM varo.job");
    Central("DELETE FROM varodata.log_configuration WHERE server_id = " +
            std::to_string(kServerId));
    host_.Start();
  }

  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(180)));
    central_test::DisconnectCentral();
  }

  // A job of agent 12 with one internal step per code, each ending the job
  // when it fails.
  std::string AddJob(const std::vector<std::string>& codes) {
    const std::string job = Central("INSERT INTO varo.job (agent_id) VALUES (" +
                                    std::to_string(central_test::kAgentId) + ") RETURNING jobid");
    int n = 0;
    for (const std::string& code : codes) {
      Central(
          "INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, server_id, "
          "database_name, jstonerror) VALUES (" +
          job + ", 'step" + std::to_string(n++) + "', 'i', $c$" + code + "$c$, " +
          std::to_string(kServerId) + ", 'postgres', 'f')");
    }
    return job;
  }

  void Pass() { job_test::RunJobPass(backendPid_); }
  static std::string JobStatus(const std::string& job) { return job_test::JobStatus(job); }
  static std::string StepLog(const std::string& job) { return job_test::StepLog(job); }

  // The log_configuration step for `values` (positions 1 to 29).
  std::string LogStep(const std::map<int, std::string>& values) {
    std::string code = "log_configuration " + host_.data();
    for (const auto& [position, value] : values) {
      (void)position;
      code += ' ';
      code += value.find(' ') == std::string::npos ? value : "\"" + value + "\"";
    }
    return code;
  }

  std::string Show(const std::string& setting) {
    ProcessResult r = host_.Psql("SHOW " + setting);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    if (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
    return r.output;
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  ServiceHost host_;
  EnvGuard path_{"PATH", host_.binDir() + ":" + (getenv("PATH") ? getenv("PATH") : "")};
  std::string backendPid_;
};

// Values a server of this release accepts; the prefix holds an apostrophe,
// a backslash and a trailing blank.
std::map<int, std::string> NewLogValues() {
  return {{1, "stderr"},    {2, "on"},
          {3, "off"},       {4, "pg_log"},
          {5, "pg-%a.log"}, {6, "none"},
          {7, "NA"},        {8, "20"},
          {9, "2"},         {10, "on"},
          {11, "notice"},   {12, "error"},
          {13, "warning"},  {14, "250"},
          {15, "off"},      {16, "off"},
          {17, "off"},      {18, "on"},
          {19, "on"},       {20, "on"},
          {21, "on"},       {22, "off"},
          {23, "off"},      {24, "on"},
          {25, "verbose"},  {26, "%m [%p] it's \\x "},
          {27, "ddl"},      {28, "x"},
          {29, "11500"}};
}

TEST_F(ConfigurationJobTest, ALogConfigurationJobThenARestartAppliesTheSettings) {
  const std::string job = AddJob({LogStep(NewLogValues()), "server_restart varo-test-pg"});
  Pass();
  EXPECT_EQ(JobStatus(job), "s");
  EXPECT_EQ(StepLog(job), "s 0  | s 0 Successfully started the 'varo-test-pg' service.");

  // The server runs with the new values.
  EXPECT_EQ(Show("logging_collector"), "on");
  EXPECT_EQ(Show("log_directory"), "pg_log");
  EXPECT_EQ(Show("log_rotation_size"), "20MB");
  EXPECT_EQ(Show("log_rotation_age"), "2d");
  EXPECT_EQ(Show("log_min_duration_statement"), "250ms");
  EXPECT_EQ(Show("log_error_verbosity"), "verbose");
  EXPECT_EQ(Show("log_line_prefix"), "%m [%p] it's \\x ");
  EXPECT_EQ(Show("log_statement"), "ddl");

  // The probe reports them, and they are stored.
  std::unique_ptr<Task> probe =
      CreateInternalProbe(kServerId, "postgres", "log_configuration", "log_configuration", {});
  ASSERT_TRUE(probe);
  probe->SetParameters({"server_id"}, {std::to_string(kServerId)});
  probe->Run(*GetCentralConnection());
  ASSERT_EQ(probe->status, 0) << probe->message;
  EXPECT_EQ(Central("SELECT concat_ws('|', log_destination, log_collector, log_directory, "
                    "log_filename, log_rotation_size, log_rotation_time, log_rotation_truncate, "
                    "log_min_messages, log_min_duration_statement, log_error_verbosity, "
                    "log_prefix_string, log_statements, (log_silent_mode IS NULL)) FROM "
                    "varodata.log_configuration WHERE server_id = " +
                    std::to_string(kServerId)),
            "stderr|on|pg_log|pg-%a.log|20|2|on|error|250ms|verbose|%m [%p] it's \\x "
            "|ddl|t");
}

TEST_F(ConfigurationJobTest, ARefusedValueFailsTheJobAndLeavesTheFileUnchanged) {
  const std::string conf = host_.data() + "/postgresql.conf";
  const std::string before = ReadFile(conf);
  const std::string startedBefore = host_.StartTime();
  std::map<int, std::string> values = NewLogValues();
  values[26] = "%m\n[%p]";
  const std::string job = AddJob({LogStep(values), "server_restart varo-test-pg"});
  Pass();
  EXPECT_EQ(JobStatus(job), "f");
  EXPECT_EQ(StepLog(job),
            "f -1 Invalid parameters to log configuration job: invalid value for "
            "log_line_prefix: it holds a line break; the file was not changed");
  EXPECT_EQ(ReadFile(conf), before);
  // The restart step did not run.
  EXPECT_EQ(host_.StartTime(), startedBefore);
}

}  // namespace
