// The "pg_hba_conf" probe: one row per entry line of a monitored server's
// pg_hba.conf, read from this host's file system when the server is local and
// through the server (pg_read_file) otherwise. One run, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "db/db_connection_to_postgresql.h"
#include "probes/internal_probe.h"

// Most bytes of pg_hba.conf that are read.
inline constexpr size_t kMaxHbaFileBytes = 1048576;

// Adds one row per entry line of the pg_hba.conf of the server behind
// `server` (server `serverId`): line_num, then the first six fields. A local
// server's file is read from this host, if the server's own account could
// read it; any other through the server. Sets `errorText` when the file
// cannot be found or read.
void ReadHbaFile(DBConnectionToPostgreSQL& server, int32_t serverId, ResultSetWithFixedRows& rows,
                 std::string& errorText);

class IPTHbaConf : public InternalProbe {
 public:
  IPTHbaConf(int32_t serverId, std::string databaseName)
      : serverId(serverId), databaseName(std::move(databaseName)) {}

  // Fails with the connection's error when the server cannot be reached, and
  // with the statement's or the file's error when the file cannot be read.
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  int32_t serverId;
  std::string databaseName;
};

std::unique_ptr<InternalProbe> MakeHbaConfProbe(int32_t serverId, const std::string& databaseName);
