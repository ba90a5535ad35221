// What the job tests share: one main-loop job step with its workers waited
// for, and the job's outcome as the central database recorded it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "db/central_connection.h"
#include "support/central_test_setup.h"
#include "support/pg_cluster.h"
#include "support/wait.h"
#include "work/job_step.h"
#include "work/worker_thread.h"

namespace job_test {

// One main-loop job step as agent 12 (central backend `backendPid`), then
// waits for its workers.
inline void RunJobPass(const std::string& backendPid) {
  ASSERT_TRUE(RunJobStep(*GetCentralConnection(), central_test::kAgentId, backendPid, 0));
  ASSERT_TRUE(WaitUntil([] { return GetRunningWorkerCount() == 0; }, std::chrono::seconds(180)));
}

// The statuses of `job`'s runs.
inline std::string JobStatus(const std::string& job) {
  return PgCluster::Get().Exec(
      "varo", "SELECT string_agg(jlgstatus, ',') FROM varo.joblog WHERE jlgjobid = " + job);
}

// "status result output" of each step of `job`, in step order.
inline std::string StepLog(const std::string& job) {
  return PgCluster::Get().Exec(
      "varo",
      "SELECT string_agg(l.jslstatus || ' ' || coalesce(l.jslresult::text, '-') || ' ' || "
      "coalesce(l.jsloutput, '-'), ' | ' ORDER BY s.jstname) FROM varo.jobsteplog l JOIN "
      "varo.jobstep s ON s.jstid = l.jsljstid WHERE s.jstjobid = " +
          job);
}

}  // namespace job_test
