// The host's management classes as one more database: ExecuteQuery runs a WQL
// query on the built-in engine (db/wmi_host.h) and hands back its objects as a
// ResultSetFromWMI. One process-wide connection is made by ConnectToWMI and kept
// until the process ends; ExecuteQuery may be called from several threads at
// once.
#pragma once

#include "db/db_connection.h"
#include "db/wmi_host.h"

class DBConnectionToWMI : public DBConnection {
 public:
  explicit DBConnectionToWMI(WmiHostOptions options = WmiHostOptions());

  // Runs `query` (WQL); `params` is ignored. A query that cannot be run gives a
  // ResultSetWithFixedError "Query failed. Error code = 0x%d" with the WMI code
  // in signed decimal; the cause is logged as a warning. A failed query leaves
  // the connection usable.
  std::unique_ptr<ResultSet> ExecuteQuery(const std::string& query,
                                          const std::vector<std::string>& params = {}) override;
  // Not supported: logs a warning and returns it as the error. WMI results are stored
  // through the central connection.
  std::string SyncToDB(const ResultSet& resultSet, const std::string& targetTable,
                       const std::vector<std::string>& keyColumns,
                       const std::vector<std::string>& filterColumns,
                       const std::vector<std::string>& filterValues) override;

  // Where the connection reads the host.
  const WmiHostOptions& hostOptions() const { return host.options(); }

 private:
  WmiHost host;
};

// Makes the process-wide WMI connection unless it exists; true when it exists
// afterwards. Call on the agent thread before any task that uses the connection
// is handed to a worker: the connection is never deleted (and replaced only
// after UseWMIHost), so a worker may keep the pointer for as long as it runs.
bool ConnectToWMI();

// Makes the next ConnectToWMI describe the host of `options` (a recorded host
// tree) instead of the live one; the default options go back to the live host.
// The connection this replaces stays valid until the process ends, since a
// worker may still hold it.
void UseWMIHost(WmiHostOptions options);

// The process-wide WMI connection, or null before ConnectToWMI succeeded.
DBConnectionToWMI* GetWMIConnection();
