// A connection to a database (PostgreSQL or the host's WMI engine). Statements
// go in as text; rows or an error come back as a ResultSet the caller owns.
// A plain connection is used by one thread at a time; DBConnectionWithMutex makes
// one safe to share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/result_set.h"
#include "db/server_version.h"

class DBConnection {
 public:
  DBConnection() = default;
  virtual ~DBConnection() = default;
  DBConnection(const DBConnection&) = delete;
  DBConnection& operator=(const DBConnection&) = delete;

  // Runs one statement, with positional parameters $1..$n when `params` is not
  // empty. Never returns null: a failure is a result set whose IsOk is false.
  virtual std::unique_ptr<ResultSet> ExecuteQuery(const std::string& query,
                                                  const std::vector<std::string>& params = {}) = 0;

  // Stores `resultSet` into `targetTable`, pairing rows on `keyColumns` within the
  // scope given by `filterColumns` = `filterValues`. Returns an empty text on
  // success, the error text otherwise.
  virtual std::string SyncToDB(const ResultSet& resultSet, const std::string& targetTable,
                               const std::vector<std::string>& keyColumns,
                               const std::vector<std::string>& filterColumns,
                               const std::vector<std::string>& filterValues) = 0;

  // Quote a value or a name for a statement; an empty text when the connection
  // cannot (or the text is invalid in its encoding).
  virtual std::string EscapeLiteral(const std::string& value);
  virtual std::string EscapeIdentifier(const std::string& name);

  // Runs `query` without parameters. Returns the affected row count, or -1 with
  // the error text in *errorText when given.
  int32_t ExecuteCommand(const std::string& query, std::string* errorText = nullptr);

  // Version of the central server; filled only on connections made by ConnectToVARO.
  ServerVersion serverVersion;
};
