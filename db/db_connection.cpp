#include "db/db_connection.h"

std::string DBConnection::EscapeLiteral(const std::string&) { return std::string(); }

std::string DBConnection::EscapeIdentifier(const std::string&) { return std::string(); }

int32_t DBConnection::ExecuteCommand(const std::string& query, std::string* errorText) {
  std::unique_ptr<ResultSet> result = ExecuteQuery(query);
  if (result->IsOk()) return result->GetAffectedRows();
  if (errorText) *errorText = result->GetErrorMessage();
  return -1;
}
