#include "probes/ipt_audit_configuration.h"

#include "db/result_set_with_fixed_error.h"
#include "db/server_pool.h"

const std::vector<SettingStatement>& AuditConfigurationStatements() {
  static const std::vector<SettingStatement> statements = {
      {"azu_audit", "SHOW azu_audit"},
      {"azu_audit_directory", "SHOW azu_audit_directory"},
      {"azu_audit_filename", "SHOW azu_audit_filename"},
      {"azu_audit_rotation_day", "SHOW azu_audit_rotation_day"},
      {"azu_audit_rotation_size", "SHOW azu_audit_rotation_size"},
      // From pg_settings, so a server without it gives an empty value.
      {"azu_audit_rotation_sec",
       "SELECT setting FROM pg_settings WHERE name = 'azu_audit_rotation_seconds'"},
      {"azu_audit_connect", "SHOW azu_audit_connect"},
      {"azu_audit_disconnect", "SHOW azu_audit_disconnect"},
      {"azu_audit_statements", "SHOW azu_audit_statement"},
  };
  return statements;
}

std::unique_ptr<ResultSet> IPTAuditConfiguration::CollectResults() {
  std::string errorText;
  ServerConnectionLease server = AllocateServerConnection(serverId, databaseName, errorText);
  // An unreachable server is a failure, never an empty row set, which would
  // delete the stored settings.
  if (!server) return std::make_unique<ResultSetWithFixedError>(errorText);
  const std::vector<SettingStatement>& statements = AuditConfigurationStatements();
  return CollectRows(SettingColumns(statements),
                     [&](ResultSetWithFixedRows& rows, std::string& error) {
                       AddSettingsRow(*server, statements, rows, error);
                     });
}

std::unique_ptr<InternalProbe> MakeAuditConfigurationProbe(int32_t serverId,
                                                           const std::string& databaseName) {
  return std::make_unique<IPTAuditConfiguration>(serverId, databaseName);
}
