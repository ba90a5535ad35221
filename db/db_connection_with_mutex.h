// Makes one connection safe to share between threads (the central connection):
// every statement, escape, synchronisation or log-storage transaction runs whole
// under one plain mutex. The mutex is never held while a caller reads a result.
#pragma once

#include <mutex>

#include "db/db_connection_to_postgresql.h"

class DBConnectionWithMutex : public DBConnection {
 public:
  explicit DBConnectionWithMutex(std::unique_ptr<DBConnection> inner);

  std::unique_ptr<ResultSet> ExecuteQuery(const std::string& query,
                                          const std::vector<std::string>& params = {}) override;
  std::string SyncToDB(const ResultSet& resultSet, const std::string& targetTable,
                       const std::vector<std::string>& keyColumns,
                       const std::vector<std::string>& filterColumns,
                       const std::vector<std::string>& filterValues) override;
  std::string EscapeLiteral(const std::string& value) override;
  std::string EscapeIdentifier(const std::string& name) override;

  // Log storage on the wrapped PostgreSQL connection, the whole transaction under
  // the mutex. An error text when the wrapped connection is not PostgreSQL.
  std::string syncServerLogData(const LogRows& rows, const std::string& fileName,
                                const std::string& serverId, int64_t fileOffset,
                                int32_t versionCode);
  std::string syncAuditLogData(const LogRows& rows, const std::string& fileName,
                               const std::string& serverId, int64_t fileOffset,
                               int32_t versionCode);
  // See StoreLogBatch in db/log_storage.h.
  std::string StoreLogBatch(LogKind kind, const LogRows& rows, int32_t serverId,
                            const LogReadPosition* from, const LogReadPosition& to,
                            int32_t versionCode);

 private:
  std::mutex mutex;
  // Guarded by `mutex` for every use after construction.
  std::unique_ptr<DBConnection> inner;
  DBConnectionToPostgreSQL* innerPostgres;  // the same object when it is PostgreSQL
};
