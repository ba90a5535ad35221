#include "work/job_step.h"

#include <cstdlib>
#include <memory>

#include "platform/log.h"
#include "platform/text.h"
#include "work/internal_task.h"
#include "work/worker_thread.h"

std::string DueJobsQuery(int32_t agentId) {
  return StrFormat(
      "SELECT J.jobid FROM varo.job J, varo.agent A  WHERE J.agent_id = A.id AND jobenabled AND "
      "jobprocessid IS NULL  AND jobnextrun <= now() AND A.active AND agent_id = '%ld' ORDER BY "
      "jobnextrun",
      static_cast<long>(agentId));
}

std::unique_ptr<Task> MakeJobStepTask(const ResultSet& steps, int32_t row,
                                      int32_t restartPauseSeconds) {
  const std::string kind = steps.GetValueByName(row, "jstkind");
  std::string code = steps.GetValueByName(row, "jstcode");
  switch (kind.empty() ? '\0' : kind[0]) {
    case 'b':
      return std::make_unique<BatchTask>(std::move(code), std::string(),
                                         std::vector<std::string>());
    case 'i':
      return std::make_unique<InternalTask>(std::move(code), restartPauseSeconds);
    case 's':
      return std::make_unique<SQLTask>(atoi(steps.GetValueByName(row, "server_id").c_str()),
                                       steps.GetValueByName(row, "database_name"), std::move(code));
    default:
      return nullptr;
  }
}

void ClaimDueJobs(DBConnection& central, const ResultSet& due, const std::string& backendPid,
                  int32_t restartPauseSeconds,
                  const std::function<void(std::unique_ptr<Job>)>& start) {
  const int32_t rowCount = static_cast<int32_t>(due.GetRowCount());
  for (int32_t i = 0; i < rowCount; ++i) {
    auto job = std::make_unique<Job>(central, due.GetValueByName(i, "jobid"), backendPid,
                                     &MakeJobStepTask, restartPauseSeconds);
    if (job->IsRunnable()) start(std::move(job));
  }
}

bool RunJobStep(DBConnection& central, int32_t agentId, const std::string& backendPid,
                int32_t restartPauseSeconds) {
  LogMessage(_("checking for jobs to run"), LOG_DEBUG1);
  std::unique_ptr<ResultSet> jobs = central.ExecuteQuery(DueJobsQuery(agentId));
  if (!jobs->IsOk()) {
    LogMessage(StrFormat(_("failed to query jobs table: %s"), jobs->GetErrorMessage().c_str()),
               LOG_WARNING);
    return false;
  }
  ClaimDueJobs(central, *jobs, backendPid, restartPauseSeconds,
               [](std::unique_ptr<Job> job) { StartWorkerThread(std::move(job)); });
  return true;
}
