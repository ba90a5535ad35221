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
