#include "probes/setting_statements.h"

std::vector<std::string> SettingColumns(const std::vector<SettingStatement>& statements) {
  std::vector<std::string> columns;
  columns.reserve(statements.size());
  for (const SettingStatement& s : statements) columns.emplace_back(s.column);
  return columns;
}

void AddSettingsRow(DBConnection& server, const std::vector<SettingStatement>& statements,
                    ResultSetWithFixedRows& rows, std::string& error) {
  ResultSetWithFixedRows::Row row;
  row.reserve(statements.size());
  for (const SettingStatement& s : statements) {
    std::unique_ptr<ResultSet> result = server.ExecuteQuery(s.statement);
    if (!result->IsOk()) {
      error = result->GetErrorMessage();
      return;
    }
    row.push_back(result->GetValueByIndex(0, 0));
  }
  rows.AddRow(row);
}
