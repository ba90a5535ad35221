// A connection to one PostgreSQL database over libpq; owns the PGconn. Nothing
// reopens it: once the link breaks every statement answers the lost-connection
// error until the owner replaces the object. One thread at a time.
#pragma once

#include <chrono>

#include "db/db_connection.h"
#include "db/log_storage.h"
#include "db/pg_handles.h"

class DBConnectionToPostgreSQL : public DBConnection {
 public:
  // Takes over an open connection; `conn` must not be null.
  explicit DBConnectionToPostgreSQL(PGconnPtr conn);

  std::unique_ptr<ResultSet> ExecuteQuery(const std::string& query,
                                          const std::vector<std::string>& params = {}) override;
  std::string SyncToDB(const ResultSet& resultSet, const std::string& targetTable,
                       const std::vector<std::string>& keyColumns,
                       const std::vector<std::string>& filterColumns,
                       const std::vector<std::string>& filterValues) override;
  std::string EscapeLiteral(const std::string& value) override;
  std::string EscapeIdentifier(const std::string& name) override;

  // Runs `query` like ExecuteQuery (with `params` as $1, $2, ... when there
  // are any), but waits at most `limit` for the server. A server that does not
  // answer in time is given up: the connection is closed (every later
  // statement gets the lost-connection error), *timedOut is set when given,
  // and the result carries a text that says so. For the agent's own periodic
  // work (the heartbeat ping, probe statements); job statements may
  // legitimately run long and use ExecuteQuery.
  std::unique_ptr<ResultSet> ExecuteQueryWithin(const std::string& query,
                                                std::chrono::milliseconds limit,
                                                bool* timedOut = nullptr) {
    return ExecuteQueryWithin(query, {}, limit, timedOut);
  }
  std::unique_ptr<ResultSet> ExecuteQueryWithin(const std::string& query,
                                                const std::vector<std::string>& params,
                                                std::chrono::milliseconds limit,
                                                bool* timedOut = nullptr);

  // Store parsed server or audit log rows together with the new read position in
  // one transaction. Empty text on success, the error text otherwise.
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

  // The libpq handle, for LISTEN/notification loops and socket polling; null
  // once ExecuteQueryWithin gave the connection up.
  PGconn* GetHandle() const { return conn.get(); }

 private:
  PGconnPtr conn;
  // Log storage statements prepared in this session (see StoreLogBatch).
  std::vector<std::string> preparedLogStatements;
};

// Text of a statement that could not be sent because the link is down.
inline constexpr const char* kLostConnectionText =
    "Could not execute the query. Connection to the varo-server is lost!";
