// Factories of the host probes for the probe registry: each reads the live
// host through the process-wide WMI connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "probes/host_resource_probes.h"
#include "probes/ipt_cpu_usage.h"
#include "probes/network_io_probes.h"

template <typename Probe>
std::unique_ptr<InternalProbe> CreateHostProbe(int32_t /*serverId*/,
                                               const std::string& /*databaseName*/) {
  return std::make_unique<Probe>(LiveHostSources());
}

// The processor probe keeps its previous sample in the process-wide store.
inline std::unique_ptr<InternalProbe> CreateCpuUsageProbe(int32_t /*serverId*/,
                                                          const std::string& /*databaseName*/) {
  return std::make_unique<IPTCPUUsage>(LiveHostSources(), ProcessorSampleStore::ProcessWide());
}
