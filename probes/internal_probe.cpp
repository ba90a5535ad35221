#include "probes/internal_probe.h"

#include <string_view>

#include "db/result_set_with_fixed_error.h"
#include "platform/log.h"
#include "platform/text.h"
#include "probes/host_probe_factories.h"
#include "probes/ipt_audit_configuration.h"
#include "probes/ipt_data_log_analysis.h"
#include "probes/ipt_hba_conf.h"
#include "probes/ipt_log_configuration.h"

namespace {

using ProbeFactory = std::unique_ptr<InternalProbe> (*)(int32_t serverId,
                                                        const std::string& databaseName);

struct ProbeEntry {
  std::string_view code;
  ProbeFactory make;  // null: not built into this agent
};

// Every probe code the agent knows.
constexpr ProbeEntry kProbes[] = {
    // Host probes.
    {"disk_space", CreateHostProbe<IPTDiskSpace>},
    {"memory_usage", CreateHostProbe<IPTMemoryUsage>},
    {"cpu_usage", CreateCpuUsageProbe},
    {"network_statistics", CreateHostProbe<IPTNetworkStatistics>},
    {"io_analysis", CreateHostProbe<IPTIOAnalysis>},
    {"disk_busy_info", CreateHostProbe<IPTDiskBusyInfo>},
    {"os_statistics", CreateHostProbe<IPTProcessInfo>},
    {"os_info", CreateHostProbe<IPTOperatingSystemInfo>},

    // Server configuration probes.
    {"pg_hba_conf", &MakeHbaConfProbe},
    {"audit_configuration", &MakeAuditConfigurationProbe},
    {"log_configuration", &MakeLogConfigurationProbe},

    // Data and log directories.
    {"data_log_file_analysis", MakeDataLogAnalysisProbe},
};

const ProbeEntry* FindProbe(const std::string& probeCode) {
  for (const ProbeEntry& entry : kProbes) {
    if (entry.code == probeCode) return &entry;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<ResultSet> CollectRows(std::vector<std::string> columns,
                                       const RowCollector& collect) {
  auto rows = std::make_unique<ResultSetWithFixedRows>(std::move(columns));
  std::string error;
  collect(*rows, error);
  if (!error.empty()) return std::make_unique<ResultSetWithFixedError>(std::move(error));
  return rows;
}

std::unique_ptr<InternalProbe> CreateInternalProbeCollector(const std::string& probeCode,
                                                            int32_t serverId,
                                                            const std::string& databaseName) {
  const ProbeEntry* entry = FindProbe(probeCode);
  if (entry == nullptr || entry->make == nullptr) {
    LogMessage(StrFormat(_("unrecognized internal probe code: %s"), probeCode.c_str()), LOG_DEBUG1);
    return nullptr;
  }
  return entry->make(serverId, databaseName);
}
