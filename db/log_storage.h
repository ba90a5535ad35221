// Storage of imported server and audit log records: each batch of records goes
// into varodata.server_logs or varodata.audit_logs in one transaction with the
// new read position of its server (varo.log_configuration or
// varo.audit_configuration), so that after any interruption the import goes on
// exactly where the stored records end. Runs on the central connection; on the
// mutex wrapper the whole transaction holds its mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class DBConnection;

// Rows of one log file, each the parsed CSV fields of one record.
using LogRows = std::vector<std::vector<std::string>>;

enum class LogKind { kServer, kAudit };

// Most records stored in one transaction.
inline constexpr size_t kLogBatchRecords = 128;

// Where the import of a server's log stands: the file (full path) and the
// byte offset just after the last stored record, -1 when that file was read to
// its end and is no longer the newest. Device and inode identify the file when
// it has been renamed since; both 0 when not known.
struct LogReadPosition {
  std::string fileName;
  int64_t offset = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
};

// The statement head (table and column list) for `kind` and a server's version
// code: server logs of version codes 1..10899 and 20001..20899, and audit logs
// below 20900, have no application_name column.
const char* LogInsertHead(LogKind kind, int32_t versionCode);
// Number of a record's fields the head takes: 22 or 23.
size_t LogFieldCount(LogKind kind, int32_t versionCode);

// Stores `rows` and moves the read position of server `serverId` to `to`, in
// one transaction. With `from` given the position moves only when it still is
// `from`; a position moved by another run meanwhile fails the call and stores
// nothing, so no batch is stored twice. Without a row for the server nothing
// is stored either. `rows` may be empty: then only the position moves. Each
// record is written with exactly the head's number of fields (extra ones
// dropped, missing ones empty); number fields that are not an optional minus
// and digits fitting their column are stored as NULL with a warning; invalid
// UTF-8 is replaced. Returns an empty text on success, else the error text
// (also logged as a warning). `central` must be a PostgreSQL connection or the
// mutex wrapper around one.
std::string StoreLogBatch(DBConnection& central, LogKind kind, const LogRows& rows,
                          int32_t serverId, const LogReadPosition* from, const LogReadPosition& to,
                          int32_t versionCode);
