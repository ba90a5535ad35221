#include "work/probe_step.h"

#include <cstdlib>
#include <memory>

#include "db/db_connection_to_wmi.h"
#include "platform/log.h"
#include "platform/text.h"
#include "work/array_literal.h"
#include "work/internal_probe_task.h"
#include "work/work_queue.h"
#include "work/worker_thread.h"

std::unique_ptr<Task> MakeProbeTask(const ResultSet& rows, int32_t row) {
  const int32_t serverId = atoi(rows.GetValueByName(row, "server_id").c_str());
  const std::string method = rows.GetValueByName(row, "collection_method");
  std::string code = rows.GetValueByName(row, "probe_code");
  std::string table = rows.GetValueByName(row, "probe_internal_name");
  std::vector<std::string> keys = ParseArrayLiteral(rows.GetValueByName(row, "probe_key_list"));
  switch (method.empty() ? '\0' : method[0]) {
    case 'b':
      return std::make_unique<BatchTask>(std::move(code), std::move(table), std::move(keys));
    case 's':
      return std::make_unique<SQLResultsTask>(serverId, rows.GetValueByName(row, "database_name"),
                                              std::move(code), std::move(table), std::move(keys));
    case 'w':
      // Made here, before any worker may use it; a failure leaves the task to
      // report that there is no connection.
      ConnectToWMI();
      return std::make_unique<WMITask>(std::move(code), std::move(table), std::move(keys));
    case 'i':
      ConnectToWMI();
      return CreateInternalProbe(serverId, rows.GetValueByName(row, "database_name"), code,
                                 std::move(table), std::move(keys));
    default:
      LogMessage(StrFormat(_("Invalid collection method: %s"), method.c_str()), LOG_WARNING);
      return nullptr;
  }
}

void QueueDueProbes(DBConnection& central, int32_t agentId, const ResultSet& due,
                    const std::function<void(std::unique_ptr<ProbeWorkQueue>)>& start) {
  std::unique_ptr<ProbeWorkQueue> pending;
  std::string lastServer;
  std::string lastDatabase;
  const int32_t rowCount = static_cast<int32_t>(due.GetRowCount());
  for (int32_t i = 0; i < rowCount; ++i) {
    std::string server = due.GetValueByName(i, "server_id");
    std::string database = due.GetValueByName(i, "database_name");
    if (i == 0 || server != lastServer || database != lastDatabase) {
      if (pending) start(std::move(pending));
      lastServer = std::move(server);
      lastDatabase = std::move(database);
    }
    const std::string probeId = due.GetValueByName(i, "probe_id");
    const std::string valueList = due.GetValueByName(i, "parameter_value_list");
    std::unique_ptr<Task> task = MakeProbeTask(due, i);
    if (!task) {
      // A row of an unknown collection method is unlocked at once, so that it
      // is not left locked for as long as this agent's backend lives; it is
      // due again at its next interval.
      if (due.GetValueByName(i, "collection_method").rfind('i', 0) != 0) {
        UnlockProbe(central, probeId, valueList);
      }
      continue;
    }
    task->SetParameters(ParseArrayLiteral(due.GetValueByName(i, "parameter_name_list")),
                        ParseArrayLiteral(valueList));
    if (!pending) {
      pending = std::make_unique<ProbeWorkQueue>(central, agentId, atoi(lastServer.c_str()),
                                                 lastDatabase);
    }
    pending->AddProbe(probeId, valueList, std::move(task));
  }
  if (pending) start(std::move(pending));
}

std::string ProbeSelectionQuery(int32_t agentId) {
  return StrFormat(
      "SELECT * FROM (    SELECT *, varo.lock_schedule_table(probe_id, parameter_value_list) AS "
      "lock     FROM varo.probe_schedule_view     WHERE agent_id = %ld) AS probes WHERE lock = "
      "true ORDER BY server_id, database_name",
      static_cast<long>(agentId));
}

bool RunProbeStep(DBConnection& central, int32_t agentId) {
  LogMessage(_("checking for probes to run"), LOG_DEBUG1);
  std::unique_ptr<ResultSet> due = central.ExecuteQuery(ProbeSelectionQuery(agentId));
  if (!due->IsOk()) {
    LogMessage(
        StrFormat(_("failed to query probe_schedule_view: %s"), due->GetErrorMessage().c_str()),
        LOG_WARNING);
    return false;
  }

  QueueDueProbes(central, agentId, *due, [](std::unique_ptr<ProbeWorkQueue> queue) {
    StartWorkerThread(std::move(queue));
  });
  return true;
}
