#include "work/work_queue.h"

#include "platform/log.h"
#include "platform/text.h"

void UnlockProbe(DBConnection& central, const std::string& probeId,
                 const std::string& parameterValueList) {
  std::unique_ptr<ResultSet> unlocked =
      central.ExecuteQuery(kUnlockProbeSql, {probeId, parameterValueList});
  if (!unlocked->IsOk()) {
    LogMessage(StrFormat(_("unable to unlock probe: %s"), unlocked->GetErrorMessage().c_str()),
               LOG_WARNING);
  }
}

ProbeWorkQueue::ProbeWorkQueue(DBConnection& central, int32_t agentId, int32_t serverId,
                               std::string databaseName)
    : central(central),
      agentId(agentId),
      serverId(serverId),
      databaseName(std::move(databaseName)) {}

ProbeWorkQueue::~ProbeWorkQueue() {
  for (const ProbeItem& item : items) UnlockProbe(central, item.probeId, item.parameterValueList);
}

int ProbeWorkQueue::Run() {
  while (!items.empty()) {
    ProbeItem item = std::move(items.back());
    items.pop_back();
    Task& task = *item.task;
    task.Run(central);
    if (task.status < 0) {
      LogMessage(StrFormat(_("probe execution error (id=%s param=%s): %s"), item.probeId.c_str(),
                           item.parameterValueList.c_str(), task.message.c_str()),
                 LOG_WARNING);
      std::unique_ptr<ResultSet> logged =
          central.ExecuteQuery(kProbeLogSql, {StrFormat("%ld", static_cast<long>(agentId)),
                                              item.probeId, item.parameterValueList, task.message});
      if (!logged->IsOk()) {
        LogMessage(
            StrFormat(_("unable to report probe failure: %s"), logged->GetErrorMessage().c_str()),
            LOG_WARNING);
      }
    }
    UnlockProbe(central, item.probeId, item.parameterValueList);
  }
  return 0;
}

std::string ProbeWorkQueue::Describe() {
  if (serverId == 0) return "agent level probes";
  return StrFormat("server_id %ld database_name %s", static_cast<long>(serverId),
                   databaseName.c_str());
}

void ProbeWorkQueue::AddProbe(std::string probeId, std::string parameterValueList,
                              std::unique_ptr<Task> task) {
  items.push_back(ProbeItem{std::move(probeId), std::move(parameterValueList), std::move(task)});
}

namespace {

bool IsDecimalId(const std::string& text) {
  return !text.empty() && text.size() <= 19 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

Job::Job(DBConnection& central, std::string jobId, const std::string& backendPid,
         StepTaskFactory makeTask, int32_t restartPauseSeconds)
    : central(central),
      jobId(std::move(jobId)),
      makeTask(makeTask),
      restartPauseSeconds(restartPauseSeconds) {
  LogMessage(StrFormat(_("starting job: %s"), this->jobId.c_str()), LOG_DEBUG1);
  // Both ids are pasted into statements below, so only plain numbers pass.
  if (!IsDecimalId(this->jobId) || !IsDecimalId(backendPid)) {
    LogMessage(
        StrFormat(_("job %s not claimed: invalid job id or backend PID"), this->jobId.c_str()),
        LOG_WARNING);
    return;
  }
  const int32_t claimed = central.ExecuteCommand(
      "UPDATE varo.job SET jobprocessid=" + backendPid +
      ", joblastrun=now()  WHERE jobprocessid IS NULL AND jobid=" + this->jobId);
  if (claimed != 1) return;
  std::unique_ptr<ResultSet> id =
      central.ExecuteQuery("SELECT nextval('varo.joblog_jlgid_seq') AS id");
  if (!id->IsOk() || id->GetRowCount() < 1) return;
  logId = id->GetValueByName(0, "id");
  if (central.ExecuteCommand("INSERT INTO varo.joblog(jlgid, jlgjobid, jlgstatus) VALUES (" +
                             logId + ", " + this->jobId + ", 'r')") >= 0) {
    status = "r";
  }
}

Job::~Job() {
  if (!status.empty()) {
    std::string errorText;
    if (central.ExecuteCommand("UPDATE varo.joblog    SET jlgstatus='" + status +
                                   "', jlgduration=now() - jlgstart  WHERE jlgid=" + logId +
                                   ";\nUPDATE varo.job    SET jobprocessid=NULL, jobnextrun=NULL "
                                   " WHERE jobid=" +
                                   jobId,
                               &errorText) < 0) {
      LogMessage(StrFormat(_("failed to update varo.joblog: %s"), errorText.c_str()), LOG_WARNING);
    }
  }
  LogMessage(StrFormat(_("completed job: %s"), jobId.c_str()), LOG_DEBUG1);
}

std::string Job::Describe() { return StrFormat("job %s", jobId.c_str()); }

int Job::Run() {
  std::unique_ptr<ResultSet> steps = central.ExecuteQuery(
      "SELECT *   FROM varo.jobstep  WHERE jstenabled    AND jstjobid=" + jobId +
      " ORDER BY jstname, jstid");
  if (!steps->IsOk()) {
    // Not a job without steps: its steps were never looked at.
    LogMessage(StrFormat(_("failed to read the steps of job %s: %s"), jobId.c_str(),
                         steps->GetErrorMessage().c_str()),
               LOG_WARNING);
    status = "f";
    return -1;
  }
  const int32_t rowCount = static_cast<int32_t>(steps->GetRowCount());
  for (int32_t row = 0; row < rowCount; ++row) {
    const std::string stepId = steps->GetValueByName(row, "jstid");
    if (!IsDecimalId(stepId)) {
      status = "i";
      return -1;
    }
    std::string stepLogId;
    {
      std::unique_ptr<ResultSet> id =
          central.ExecuteQuery("SELECT nextval('varo.jobsteplog_jslid_seq') AS id");
      if (!id->IsOk() || id->GetRowCount() < 1) {
        status = "i";
        return -1;
      }
      stepLogId = id->GetValueByName(0, "id");
    }
    if (central.ExecuteCommand(
            "INSERT INTO varo.jobsteplog(jslid, jsljlgid, jsljstid, jslstatus) SELECT " +
            stepLogId + ", " + logId + ", " + stepId +
            ", 'r'  FROM varo.jobstep WHERE jstid=" + stepId) != 1) {
      status = "i";
      return -1;
    }
    const std::string kind = steps->GetValueByName(row, "jstkind");
    LogMessage(StrFormat(_("executing step %s type %c (part of job %s)"), stepId.c_str(),
                         kind.empty() ? ' ' : kind[0], jobId.c_str()),
               LOG_DEBUG1);
    std::unique_ptr<Task> task = makeTask(*steps, row, restartPauseSeconds);
    if (!task) {
      status = "i";
      return -1;
    }
    task->Run(central);
    const bool failed = task->Failed();
    const int32_t result = task->status;
    const std::string output = std::move(task->message);
    task.reset();
    const std::string stepStatus = failed ? steps->GetValueByName(row, "jstonerror") : "s";
    std::unique_ptr<ResultSet> updated = central.ExecuteQuery(
        "UPDATE varo.jobsteplog    SET jslduration = now() - jslstart,        jslresult = " +
            StrFormat("%ld", static_cast<long>(result)) +
            ", jslstatus = $2,        jsloutput = $1 WHERE jslid=" + stepLogId,
        {output, stepStatus});
    if (!updated->IsOk()) {
      LogMessage(
          StrFormat(_("failed to update varo.jobsteplog: %s"), updated->GetErrorMessage().c_str()),
          LOG_WARNING);
      status = "f";
      return -1;
    }
    if (stepStatus == "f") {
      status = "f";
      return -1;
    }
  }
  status = "s";
  return 0;
}
