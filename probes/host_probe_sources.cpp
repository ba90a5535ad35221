#include "probes/host_probe_sources.h"

#include "db/db_connection_to_wmi.h"
#include "db/wql_parser.h"
#include "platform/text.h"

HostProbeSources LiveHostSources() {
  HostProbeSources sources;
  DBConnectionToWMI* wmi = GetWMIConnection();
  sources.wmi = wmi;
  if (wmi) sources.root = wmi->hostOptions().root;
  return sources;
}

const char* NoWmiConnectionText() {
  return _("no WMI connection: the host's management classes cannot be queried");
}

void ForEachLogicalDiskOfDrive(
    DBConnection& wmi, const std::string& driveDeviceId, std::string& error,
    const std::function<void(const ResultSet& disks, uint32_t row)>& visit) {
  // Device names are quoted, so that a quote or backslash in one cannot end
  // the literal early.
  std::unique_ptr<ResultSet> partitions = wmi.ExecuteQuery(
      "ASSOCIATORS OF {Win32_DiskDrive.DeviceID=" + QuoteWqlLiteral(driveDeviceId) +
      "} WHERE AssocClass = Win32_DiskDriveToDiskPartition");
  if (!partitions->IsOk()) {
    error = partitions->GetErrorMessage();
    return;
  }
  for (uint32_t p = 0; p < partitions->GetRowCount(); ++p) {
    std::unique_ptr<ResultSet> disks =
        wmi.ExecuteQuery("ASSOCIATORS OF {Win32_DiskPartition.DeviceID=" +
                         QuoteWqlLiteral(partitions->GetValueByName(p, "DeviceID")) +
                         "} WHERE AssocClass = Win32_LogicalDiskToPartition");
    if (!disks->IsOk()) {
      error = disks->GetErrorMessage();
      continue;
    }
    for (uint32_t l = 0; l < disks->GetRowCount(); ++l) visit(*disks, l);
  }
}
