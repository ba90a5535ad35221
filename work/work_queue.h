// Work the agent runs on a worker thread of its own: WorkQueue is the common
// shape, ProbeWorkQueue the due probes of one monitored server and database
// for one main-loop pass. A queue is filled on the agent thread and then used
// only by its worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/db_connection.h"
#include "work/task.h"

class WorkQueue {
 public:
  WorkQueue() = default;
  virtual ~WorkQueue() = default;
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // Does the work (the worker ignores the result).
  virtual int Run() = 0;
  virtual bool IsRunnable() { return true; }
  // Names the queue for log lines.
  virtual std::string Describe() = 0;
};

// One due probe: its schedule row's identity and the task that runs it.
struct ProbeItem {
  std::string probeId;             // the schedule row's probe_id as text
  std::string parameterValueList;  // its parameter_value_list exactly as read
  std::unique_ptr<Task> task;
};

// The statement that unlocks a schedule row locked by this connection's
// backend and records the run: $1 probe id, $2 parameter value list.
inline constexpr const char kUnlockProbeSql[] =
    "UPDATE varo.probe_schedule SET current_backend_pid = NULL, last_execution_time = now() WHERE "
    "probe_id = $1 AND parameter_value_list = $2 AND current_backend_pid = pg_backend_pid()";
// The failure report: agent id, probe id, parameter value list, message.
inline constexpr const char kProbeLogSql[] =
    "INSERT INTO varo.probe_log (agent_id, probe_id, parameter_value_list, message) VALUES ($1, "
    "$2, $3, $4)";

// Unlocks one schedule row on `central` (the connection that locked it),
// logging a warning when that fails.
void UnlockProbe(DBConnection& central, const std::string& probeId,
                 const std::string& parameterValueList);

class ProbeWorkQueue : public WorkQueue {
 public:
  // `central` is the connection whose backend locked the rows; it must stay
  // open until the queue is deleted. serverId 0: agent-level probes.
  ProbeWorkQueue(DBConnection& central, int32_t agentId, int32_t serverId,
                 std::string databaseName);
  // Unlocks the rows of probes that never ran (the worker could not start),
  // so that they are due again at their next interval.
  ~ProbeWorkQueue() override;

  // Runs the probes last added first; each failure is logged and reported to
  // varo.probe_log, and every row is unlocked whatever its outcome.
  int Run() override;
  std::string Describe() override;

  void AddProbe(std::string probeId, std::string parameterValueList, std::unique_ptr<Task> task);

  size_t Size() const { return items.size(); }

 private:
  DBConnection& central;
  int32_t agentId;
  int32_t serverId;
  std::string databaseName;
  std::vector<ProbeItem> items;  // a stack: the last item runs first
};

// One due job of the central database (varo.job) with its ordered steps
// (varo.jobstep). The constructor claims the job for the agent's backend and
// opens its log row (varo.joblog); Run executes the steps on the worker
// thread, one step log row (varo.jobsteplog) each; the destructor records the
// outcome and releases the job.
class Job : public WorkQueue {
 public:
  // Makes the task for one step row (null for a kind no task exists for).
  using StepTaskFactory = std::unique_ptr<Task> (*)(const ResultSet& steps, int32_t row,
                                                    int32_t restartPauseSeconds);

  // `jobId` must be the decimal id read from varo.job; `backendPid` is the
  // central backend registered in varo.jobagent. `central` must stay open
  // until the job is deleted.
  Job(DBConnection& central, std::string jobId, const std::string& backendPid,
      StepTaskFactory makeTask, int32_t restartPauseSeconds);
  // Writes the job's final status and releases it when it was claimed.
  ~Job() override;

  // 0 when every step ran, -1 when the job stopped early.
  int Run() override;
  bool IsRunnable() override { return status == "r"; }
  std::string Describe() override;

  const std::string& Status() const { return status; }

 private:
  DBConnection& central;
  std::string jobId;
  std::string logId;
  std::string status;
  StepTaskFactory makeTask;
  int32_t restartPauseSeconds;
};
