// The "audit_configuration" probe: one row of a monitored server's azu_audit
// settings. A server without them fails the probe with its own error text.
// One run, one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "probes/internal_probe.h"
#include "probes/setting_statements.h"

// The nine columns and their statements.
const std::vector<SettingStatement>& AuditConfigurationStatements();

class IPTAuditConfiguration : public InternalProbe {
 public:
  IPTAuditConfiguration(int32_t serverId, std::string databaseName)
      : serverId(serverId), databaseName(std::move(databaseName)) {}

  // Fails with the connection's error when the server cannot be reached, and
  // with a statement's error when one fails; the row otherwise.
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  int32_t serverId;
  std::string databaseName;
};

std::unique_ptr<InternalProbe> MakeAuditConfigurationProbe(int32_t serverId,
                                                           const std::string& databaseName);
