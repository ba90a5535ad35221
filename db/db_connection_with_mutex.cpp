#include "db/db_connection_with_mutex.h"

DBConnectionWithMutex::DBConnectionWithMutex(std::unique_ptr<DBConnection> in)
    : inner(std::move(in)), innerPostgres(dynamic_cast<DBConnectionToPostgreSQL*>(inner.get())) {}

std::unique_ptr<ResultSet> DBConnectionWithMutex::ExecuteQuery(
    const std::string& query, const std::vector<std::string>& params) {
  std::lock_guard<std::mutex> lock(mutex);
  return inner->ExecuteQuery(query, params);
}

std::string DBConnectionWithMutex::SyncToDB(const ResultSet& resultSet,
                                            const std::string& targetTable,
                                            const std::vector<std::string>& keyColumns,
                                            const std::vector<std::string>& filterColumns,
                                            const std::vector<std::string>& filterValues) {
  std::lock_guard<std::mutex> lock(mutex);
  return inner->SyncToDB(resultSet, targetTable, keyColumns, filterColumns, filterValues);
}

std::string DBConnectionWithMutex::EscapeLiteral(const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex);
  return inner->EscapeLiteral(value);
}

std::string DBConnectionWithMutex::EscapeIdentifier(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  return inner->EscapeIdentifier(name);
}

std::string DBConnectionWithMutex::syncServerLogData(const LogRows& rows,
                                                     const std::string& fileName,
                                                     const std::string& serverId,
                                                     int64_t fileOffset, int32_t versionCode) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!innerPostgres) return "log storage needs a PostgreSQL connection";
  return innerPostgres->syncServerLogData(rows, fileName, serverId, fileOffset, versionCode);
}

std::string DBConnectionWithMutex::syncAuditLogData(const LogRows& rows,
                                                    const std::string& fileName,
                                                    const std::string& serverId, int64_t fileOffset,
                                                    int32_t versionCode) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!innerPostgres) return "log storage needs a PostgreSQL connection";
  return innerPostgres->syncAuditLogData(rows, fileName, serverId, fileOffset, versionCode);
}
