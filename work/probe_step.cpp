#include "work/probe_step.h"

#include <memory>

#include "platform/log.h"
#include "platform/text.h"

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
  return true;
}
