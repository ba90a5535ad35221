// The log collection tasks "server_log_import" and "audit_log_collection":
// they copy the CSV log files a monitored server on this host writes (its
// server log, *.csv in its log directory, or its audit log, audit-*.csv) into
// the central database, from where the last run stopped, in batches of at most
// 128 records, each stored with its new read position in one transaction. One
// collector runs on one worker thread; collectors for different servers may
// run at once (the central connection serialises their transactions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_connection.h"
#include "db/log_storage.h"

// A log file found in a log directory: its full path and identity.
struct LogFileEntry {
  std::string path;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  bool matches = false;  // the name fits the kind's pattern
};

// The regular files under `directory` and, recursively, its subdirectories
// (hidden ones included), sorted by path (byte order). Symbolic links are
// never followed, so nothing outside the directory is listed. In a directory
// that others may write to, or below one, only files owned by root or by the
// owner of `directory`, with a single link, are listed; the rest are left out
// with a warning. An empty list with *error set when `directory` cannot be opened.
std::vector<LogFileEntry> ListLogFiles(const std::string& directory, LogKind kind,
                                       std::string* error);

class LogFileCollector {
 public:
  // `maxRecordBytes`: the longest unfinished record held in memory (a longer
  // one fails the run, see Run), and about the most bytes of one batch.
  LogFileCollector(DBConnection& central, LogKind kind, size_t maxRecordBytes = 64u << 20)
      : central(central), kind(kind), maxRecordBytes(maxRecordBytes) {}

  // One run for `arguments` (data directory, server id, version code). Returns
  // false with the error text in *message; true when everything that could be
  // read was stored or there was nothing to do (no configuration row, no log
  // directory).
  bool Run(const std::string& arguments, std::string* message);

  // Records stored by the last Run.
  int64_t StoredRecords() const { return stored; }

 private:
  bool ImportFile(const LogFileEntry& file, const std::string& orderName, int64_t startOffset,
                  bool isLast, std::string* message);
  bool Store(const LogRows& rows, const LogReadPosition& to, std::string* message);

  DBConnection& central;
  LogKind kind;
  size_t maxRecordBytes;
  int32_t serverId = 0;
  int32_t versionCode = 0;
  LogReadPosition position;  // the position stored in the central database
  int64_t stored = 0;
};
