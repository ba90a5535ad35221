#include "agent/agent_capabilities.h"

#include <memory>

#include "agent/settings.h"
#include "platform/log.h"
#include "platform/text.h"

const char kAgentCapabilityList[] =
    "{linux,disk_space,memory_usage,cpu_usage,network_statistics,io_analysis,"
    "data_log_file_analysis,disk_busy_info,os_statistics,os_info}";

bool SetCapabilities(DBConnection& central) {
  std::unique_ptr<ResultSet> result = central.ExecuteQuery(
      kSetCapabilitiesStatement,
      {kAgentCapabilityList, StrFormat("%ld", static_cast<long>(GetSettings().agent_id))});
  if (!result->IsOk()) {
    LogMessage(StrFormat(_("error setting capabilities: %s"), result->GetErrorMessage().c_str()),
               LOG_WARNING);
    return false;
  }
  return true;
}
