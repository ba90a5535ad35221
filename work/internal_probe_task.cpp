#include "work/internal_probe_task.h"

void InternalProbeTask::Run(DBConnection& central) {
  if (!CheckParameters()) return;
  std::unique_ptr<ResultSet> rows = probe->CollectResults();
  if (!rows->IsOk()) {
    message = rows->GetErrorMessage();
    status = -1;
    return;
  }
  StoreRows(central, *rows, targetTable, keyColumns);
}

std::unique_ptr<Task> CreateInternalProbe(int32_t serverId, const std::string& databaseName,
                                          const std::string& probeCode, std::string internalName,
                                          std::vector<std::string> keyColumns) {
  std::unique_ptr<InternalProbe> probe =
      CreateInternalProbeCollector(probeCode, serverId, databaseName);
  if (!probe) return nullptr;
  return std::make_unique<InternalProbeTask>(std::move(probe), std::move(internalName),
                                             std::move(keyColumns));
}
