// Jobs defined in the central database run through the job step end to end:
// the cluster is the central database and, as database "monitored", the
// monitored server; the agent is agent 12 working as its own role, so the
// row-level security of the job tables applies. Each test defines jobs of
// agent 12, runs one job step and waits for its workers, then reads the job,
// job log and step log rows.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "db/central_connection.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/central_test_setup.h"
#include "support/global_state.h"
#include "support/wait.h"
#include "work/job_step.h"
#include "work/work_queue.h"
#include "work/worker_thread.h"

namespace {

constexpr int32_t kServerId = 1401;
constexpr int32_t kDeadServerId = 1402;  // bound to a port nothing listens on

std::string Central(const std::string& sql) { return PgCluster::Get().Exec("varo", sql); }

class JobStepTest : public testing::Test {
 protected:
  void SetUp() override {
    central_test::BindServer(kDeadServerId, "127.0.0.1", 1, "postgres", "monitored");
    backendPid_ = central_test::ConnectAgent12WithServer(kServerId);
    ASSERT_FALSE(backendPid_.empty());

    Central("DELETE FROM varo.job");
    PgCluster::Get().Exec("monitored", "DROP TABLE IF EXISTS job_t");
    PgCluster::Get().Exec("monitored", "CREATE TABLE job_t (x int)");
  }

  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
    central_test::DisconnectCentral();
  }

  std::string AddJob(const std::string& name, const std::string& interval = "NULL") {
    return Central("INSERT INTO varo.job (agent_id, jobname, jobinterval) VALUES (" +
                   std::to_string(central_test::kAgentId) + ", '" + name + "', " + interval +
                   ") RETURNING jobid");
  }

  // A step of `job`; server_id is kServerId unless given.
  std::string AddStep(const std::string& job, const std::string& name, char kind,
                      const std::string& code, char onError = 'f', int32_t serverId = kServerId) {
    return Central(
        "INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, server_id, "
        "database_name, jstonerror) VALUES (" +
        job + ", '" + name + "', '" + std::string(1, kind) + "', $c$" + code + "$c$, " +
        std::to_string(serverId) + ", 'monitored', '" + std::string(1, onError) +
        "') RETURNING jstid");
  }

  // One main-loop job step, then waits for its workers.
  void Pass() {
    ASSERT_TRUE(RunJobStep(*GetCentralConnection(), central_test::kAgentId, backendPid_, 0));
    ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(120)));
  }

  // "status result output" of each step log row of `job`'s runs, by step name.
  std::string StepLog(const std::string& job) {
    return Central(
        "SELECT string_agg(s.jstname || ':' || l.jslstatus || ' ' || coalesce(l.jslresult::text, "
        "'-') || ' ' || coalesce(l.jsloutput, '-') || ' ' || (l.jslduration IS NOT NULL), ' | ' "
        "ORDER BY l.jslid) FROM varo.jobsteplog l JOIN varo.jobstep s ON s.jstid = l.jsljstid "
        "WHERE s.jstjobid = " +
        job);
  }

  // "status has-duration" of each job log row of `job`.
  std::string JobLog(const std::string& job) {
    return Central(
        "SELECT string_agg(jlgstatus || ' ' || (jlgduration IS NOT NULL), ' | ' ORDER BY jlgid) "
        "FROM varo.joblog WHERE jlgjobid = " +
        job);
  }

  std::string Released(const std::string& job) {
    return Central(
        "SELECT (jobprocessid IS NULL) || ' ' || (joblastrun IS NOT NULL) || ' ' || coalesce("
        "jobnextrun::text, 'none') FROM varo.job WHERE jobid = " +
        job);
  }

  RestoreOnExit<DBSettings> settings_{GetDBSettings()};
  std::string backendPid_;
};

TEST_F(JobStepTest, StepsOfEachKindRunInOrderWithTheirOnErrorAction) {
  const std::string job = AddJob("all kinds");
  // Added out of order: steps run by name.
  AddStep(job, "d_after_ignored", 's', "INSERT INTO job_t VALUES (10)");
  AddStep(job, "a_sql", 's', "INSERT INTO job_t SELECT generate_series(1, 3)");
  AddStep(job, "b_script", 'b', "echo hello from the script");
  AddStep(job, "c_failing_ignored", 's', "SELECT * FROM no_such_table", 'i');
  AddStep(job, "c_failing_succeeds", 'i', "no_such_operation arg", 's');
  AddStep(job, "e_unreachable_server", 's', "SELECT 1", 's', kDeadServerId);
  Central("INSERT INTO varo.jobstep (jstjobid, jstname, jstkind, jstcode, jstenabled) VALUES (" +
          job + ", 'z_disabled', 's', 'SELECT 1', false)");
  Pass();

  EXPECT_EQ(JobLog(job), "s true");
  EXPECT_EQ(Released(job), "true true none");
  EXPECT_EQ(
      PgCluster::Get().Exec("monitored", "SELECT string_agg(x::text, ',' ORDER BY x) FROM job_t"),
      "1,2,3,10");
  const std::string log = StepLog(job);
  EXPECT_NE(log.find("a_sql:s 3 PGRES_COMMAND_OK true"), std::string::npos) << log;
  EXPECT_NE(log.find("b_script:s 1 hello from the script\n true"), std::string::npos) << log;
  EXPECT_NE(log.find("c_failing_ignored:i -1 "), std::string::npos) << log;
  EXPECT_NE(log.find("no_such_table"), std::string::npos) << log;
  EXPECT_NE(log.find("c_failing_succeeds:s -1 unknown internal task name: no_such_operation true"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("d_after_ignored:s 1 PGRES_COMMAND_OK true"), std::string::npos) << log;
  // A server that cannot be reached fails the step; it is not a success.
  EXPECT_NE(log.find("e_unreachable_server:s -1 "), std::string::npos) << log;
  EXPECT_EQ(log.find("z_disabled"), std::string::npos) << log;
  EXPECT_EQ(Central("SELECT count(*) FROM varo.jobsteplog l JOIN varo.jobstep s ON s.jstid = "
                    "l.jsljstid WHERE s.jstjobid = " +
                    job),
            "6");

  // Not due again: it has no interval.
  Pass();
  EXPECT_EQ(JobLog(job), "s true");
}

TEST_F(JobStepTest, AFailingStepWithOnErrorFStopsTheJob) {
  const std::string job = AddJob("stops", "'1 hour'");
  AddStep(job, "a", 's', "SELECT * FROM no_such_table", 'f');
  AddStep(job, "b", 's', "INSERT INTO job_t VALUES (1)");
  Pass();
  EXPECT_EQ(JobLog(job), "f true");
  const std::string log = StepLog(job);
  EXPECT_EQ(log.rfind("a:f -1 ", 0), 0u) << log;
  EXPECT_EQ(log.find("b:"), std::string::npos) << log;
  EXPECT_EQ(PgCluster::Get().Exec("monitored", "SELECT count(*) FROM job_t"), "0");
  // Released, and due again one interval after its start.
  EXPECT_EQ(Central("SELECT jobprocessid IS NULL AND jobnextrun = joblastrun + interval '1 hour' "
                    "FROM varo.job WHERE jobid = " +
                    job),
            "t");
}

TEST_F(JobStepTest, AnUnknownStepKindEndsTheJobAndLeavesItsStepRunning) {
  const std::string job = AddJob("unknown kind");
  AddStep(job, "a", 'x', "whatever");
  AddStep(job, "b", 's', "INSERT INTO job_t VALUES (1)");
  Pass();
  EXPECT_EQ(JobLog(job), "i true");
  EXPECT_EQ(StepLog(job), "a:r - - false");
  EXPECT_EQ(PgCluster::Get().Exec("monitored", "SELECT count(*) FROM job_t"), "0");
}

TEST_F(JobStepTest, AJobWithoutEnabledStepsSucceeds) {
  const std::string job = AddJob("empty");
  Pass();
  EXPECT_EQ(JobLog(job), "s true");
  EXPECT_EQ(Released(job), "true true none");
}

TEST_F(JobStepTest, AFailingClaimWritesNothing) {
  LogLevelGuard level;
  SetLogLevel(LOG_DEBUG1);
  LogCapture log;
  // Held by another backend: the claim affects no row.
  const std::string held = AddJob("held");
  AddStep(held, "a", 's', "INSERT INTO job_t VALUES (1)");
  Central("UPDATE varo.job SET jobprocessid = 1 WHERE jobid = " + held);
  {
    Job heldJob(*GetCentralConnection(), held, backendPid_, &MakeJobStepTask, 0);
    EXPECT_FALSE(heldJob.IsRunnable());
  }

  // Claimed for another backend: the row-level security refuses the update.
  const std::string other = AddJob("other backend");
  {
    Job otherJob(*GetCentralConnection(), other, "1", &MakeJobStepTask, 0);
    EXPECT_FALSE(otherJob.IsRunnable());
  }
  // Ids that are not numbers never reach a statement.
  {
    Job bad(*GetCentralConnection(), other + " OR true", backendPid_, &MakeJobStepTask, 0);
    EXPECT_FALSE(bad.IsRunnable());
  }
  EXPECT_EQ(Central("SELECT count(*) FROM varo.joblog"), "0");
  EXPECT_EQ(Central("SELECT jobprocessid FROM varo.job WHERE jobid = " + held), "1");
  EXPECT_EQ(
      Central("SELECT coalesce(jobprocessid::text, 'none') FROM varo.job WHERE jobid = " + other),
      "none");
  const std::string text = log.Text();
  EXPECT_NE(text.find("starting job: " + held), std::string::npos) << text;
  EXPECT_NE(text.find("completed job: " + held), std::string::npos) << text;
}

}  // namespace
