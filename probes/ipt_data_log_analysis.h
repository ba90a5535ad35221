// The internal probe "data_log_file_analysis": on which volume a monitored
// server keeps its data directory, its WAL directory and each tablespace. It
// asks the server for its data directory and resolves the paths in the
// agent's own file system, so the server's files must be visible on the
// agent's host. A collector object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "db/db_connection.h"
#include "db/result_set_with_fixed_rows.h"
#include "probes/internal_probe.h"

class IPTDataLogAnalysis : public InternalProbe {
 public:
  IPTDataLogAnalysis(int32_t serverId, std::string databaseName)
      : serverId(serverId), databaseName(std::move(databaseName)) {}

  // Rows name, path, device_id, dir_type: the data directory (d), the WAL
  // directory (x), then one row per tablespace (t) in oid order. Fails, and
  // stores nothing, when the server cannot be reached or queried or when a
  // directory cannot be read.
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  int32_t serverId;
  std::string databaseName;
  std::string tablespaceDirectory;  // the data directory + "/pg_tblspc", set while collecting
};

// The registry's factory for "data_log_file_analysis".
std::unique_ptr<InternalProbe> MakeDataLogAnalysisProbe(int32_t serverId,
                                                        const std::string& databaseName);

// The name of the WAL directory inside the data directory of a server of
// version `serverVersionNum` (server_version_num): "pg_wal" from 10 on,
// "pg_xlog" before.
const char* WalDirectoryName(int serverVersionNum);

// The tablespace oid a pg_tblspc entry name stands for: digits only, a value
// that fits an oid; none for any other name. Only such names are looked up.
std::optional<uint32_t> TablespaceOidOfEntry(std::string_view name);

// Adds the rows of one directory of kind d, x or t (see CollectResults) and
// sets `errorText` when the directory cannot be read or a tablespace cannot be
// looked up. Kinds d and x give one row for the volume of `directory` itself;
// kind t lists `directory` (pg_tblspc) and gives a row for each entry that the
// server knows as a tablespace, with the volume its link leads to. The
// connection and `serverVersionNum` are used for kind t only.
void ScanDirectoryDevice(ResultSetWithFixedRows& rows, std::string& errorText,
                         const std::string& directory, char kind, DBConnection& connection,
                         int serverVersionNum);
