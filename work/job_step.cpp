#include "work/job_step.h"

#include <memory>

#include "platform/log.h"
#include "platform/text.h"

std::string DueJobsQuery(int32_t agentId) {
  return StrFormat(
      "SELECT J.jobid FROM varo.job J, varo.agent A  WHERE J.agent_id = A.id AND jobenabled AND "
      "jobprocessid IS NULL  AND jobnextrun <= now() AND A.active AND agent_id = '%ld' ORDER BY "
      "jobnextrun",
      static_cast<long>(agentId));
}

bool RunJobStep(DBConnection& central, int32_t agentId) {
  LogMessage(_("checking for jobs to run"), LOG_DEBUG1);
  std::unique_ptr<ResultSet> jobs = central.ExecuteQuery(DueJobsQuery(agentId));
  if (!jobs->IsOk()) {
    LogMessage(StrFormat(_("failed to query jobs table: %s"), jobs->GetErrorMessage().c_str()),
               LOG_WARNING);
    return false;
  }
  return true;
}
