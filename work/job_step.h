// The job step of each main-loop pass: asks the central database for the jobs
// of this agent that are due, claims each and runs it on a worker thread of
// its own. Agent thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/db_connection.h"
#include "work/task.h"
#include "work/work_queue.h"

// The task for one varo.jobstep row by the first character of its jstkind:
// b script, i internal operation, s SQL on server_id/database_name; null for
// any other kind. `restartPauseSeconds` is the pause of a server restart
// between its stop and its start.
std::unique_ptr<Task> MakeJobStepTask(const ResultSet& steps, int32_t row,
                                      int32_t restartPauseSeconds);

// Claims each job of `due` (column jobid, in order) for `backendPid` and
// hands every claimed one to `start`; a job that could not be claimed is
// deleted at once.
void ClaimDueJobs(DBConnection& central, const ResultSet& due, const std::string& backendPid,
                  int32_t restartPauseSeconds,
                  const std::function<void(std::unique_ptr<Job>)>& start);

// False when the job query failed (after its warning); the main loop then
// drains its threads and reconnects. The worker threads started here use
// `central` until they have drained.
bool RunJobStep(DBConnection& central, int32_t agentId, const std::string& backendPid,
                int32_t restartPauseSeconds);

// The query the job step sends: the enabled, unclaimed, due jobs of `agentId`
// while the agent is active.
std::string DueJobsQuery(int32_t agentId);
