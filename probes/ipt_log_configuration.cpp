#include "probes/ipt_log_configuration.h"

#include "db/central_connection.h"
#include "db/result_set_with_fixed_error.h"
#include "db/server_pool.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"

bool IsSilentModeVersion(int32_t code) {
  return (code > 0 && code < 10902) || (code >= 20001 && code <= 20901);
}

std::vector<SettingStatement> LogConfigurationStatements(bool silentMode) {
  std::vector<SettingStatement> statements = {
      {"log_destination", "SHOW log_destination"},
      {"log_collector", "SHOW logging_collector"},
      {"log_directory", "SHOW log_directory"},
      {"log_filename", "SHOW log_filename"},
      {"log_syslog_facility", "SELECT 'none'::text"},
      {"log_syslog_ident", "SELECT 'NA'::text"},
      {"log_rotation_size",
       "SELECT (setting::int/1024)::int FROM pg_settings WHERE name = 'log_rotation_size'"},
      {"log_rotation_time",
       "SELECT (setting::int/(24*60))::int FROM pg_settings WHERE name = 'log_rotation_age'"},
      {"log_rotation_truncate", "SHOW log_truncate_on_rotation"},
      {"log_client_min_messages", "SHOW client_min_messages"},
      {"log_min_messages", "SHOW log_min_messages"},
      {"log_min_error_statement", "SHOW log_min_error_statement"},
      {"log_min_duration_statement", "SHOW log_min_duration_statement"},
      {"log_parse_tree", "SHOW debug_print_parse"},
      {"log_rewriter_output", "SHOW debug_print_rewritten"},
      {"log_exec_plan", "SHOW debug_print_plan"},
      {"log_indent_debug_output", "SHOW debug_pretty_print"},
      {"log_checkpoints", "SHOW log_checkpoints"},
      {"log_connections", "SHOW log_connections"},
      {"log_disconnections", "SHOW log_disconnections"},
      {"log_duration", "SHOW log_duration"},
      {"log_hostname", "SHOW log_hostname"},
      {"log_lock_waits", "SHOW log_lock_waits"},
      {"log_error_verbosity", "SHOW log_error_verbosity"},
      {"log_prefix_string", "SHOW log_line_prefix"},
      {"log_statements", "SHOW log_statement"},
  };
  if (silentMode) {
    statements.insert(statements.begin() + 2, {"log_silent_mode", "SHOW silent_mode"});
  }
  return statements;
}

std::string ServerVersionCodeQuery(int32_t serverId) {
  return StrFormat("SELECT server_version_id FROM varodata.server_info WHERE server_id = %d",
                   serverId);
}

std::unique_ptr<ResultSet> IPTLogConfiguration::CollectResults() {
  // The connection comes first: a new one records the server's version code,
  // so the code read below is current even on the first run.
  std::string errorText;
  ServerConnectionLease server = AllocateServerConnection(serverId, databaseName, errorText);
  if (!server) return std::make_unique<ResultSetWithFixedError>(errorText);

  DBConnection* central = GetCentralConnection();
  std::unique_ptr<ResultSet> version;
  if (central) {
    version = central->ExecuteQuery(ServerVersionCodeQuery(serverId));
  } else {
    version = std::make_unique<ResultSetWithFixedError>(_("no connection to the VARO database"));
  }
  if (!version->IsOk()) {
    LogMessage(StrFormat(_("failed to execute query, with error: = %s"),
                         version->GetErrorMessage().c_str()),
               LOG_WARNING);
    return std::make_unique<ResultSetWithFixedError>(version->GetErrorMessage());
  }
  // No row (a server never recorded) or no number reads as 0.
  const int32_t code =
      ParseDecimal<int32_t>(version->GetValueByIndex(0, 0), DecimalForm::kSigned).value_or(0);
  const std::vector<SettingStatement> statements =
      LogConfigurationStatements(IsSilentModeVersion(code));
  return CollectRows(SettingColumns(statements),
                     [&](ResultSetWithFixedRows& rows, std::string& error) {
                       AddSettingsRow(*server, statements, rows, error);
                     });
}

std::unique_ptr<InternalProbe> MakeLogConfigurationProbe(int32_t serverId,
                                                         const std::string& databaseName) {
  return std::make_unique<IPTLogConfiguration>(serverId, databaseName);
}
