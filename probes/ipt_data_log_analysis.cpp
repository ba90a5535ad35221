#include "probes/ipt_data_log_analysis.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "db/db_connection_to_postgresql.h"
#include "db/server_pool.h"
#include "platform/directory_volume.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

// Servers before 9.2 keep a tablespace's location in pg_tablespace.spclocation;
// later ones only answer it through pg_tablespace_location(oid).
constexpr int kVersionWithLocationFunction = 90200;
constexpr int kVersionWithPgWal = 100000;

// The oid is bound as a parameter: nothing of a directory listing is ever
// part of the statement text.
constexpr const char* kTablespaceQuery =
    "SELECT spcname, pg_catalog.pg_tablespace_location(oid) FROM pg_catalog.pg_tablespace "
    "WHERE oid = $1::oid";
constexpr const char* kOldTablespaceQuery =
    "SELECT spcname, spclocation FROM pg_catalog.pg_tablespace WHERE oid = $1::oid";

std::string ListingError(const std::string& systemText) {
  return StrFormat(_("FindFirstFile: %s"), systemText.c_str());
}

void AddRow(ResultSetWithFixedRows& rows, const std::string& name, const std::string& path,
            uint64_t volumeId, char kind) {
  rows.AddRow({name, path, std::to_string(volumeId), std::string(1, kind)});
}

void ScanTablespaces(ResultSetWithFixedRows& rows, std::string& errorText,
                     const std::string& directory, DBConnection& connection, int serverVersionNum) {
  std::vector<std::string> names;
  std::string failure = ListDirectoryNames(directory, names);
  if (!failure.empty()) {
    errorText = ListingError(failure);
    return;
  }
  // Entries that are not tablespace oids (stray files, names made to look
  // like SQL) are passed over without asking the server anything.
  std::vector<std::pair<uint32_t, std::string>> entries;
  for (std::string& name : names) {
    if (std::optional<uint32_t> oid = TablespaceOidOfEntry(name)) {
      entries.emplace_back(*oid, std::move(name));
    }
  }
  // Listing order is arbitrary; oid order keeps the rows in a stable order.
  std::sort(entries.begin(), entries.end());

  const char* query =
      serverVersionNum >= kVersionWithLocationFunction ? kTablespaceQuery : kOldTablespaceQuery;
  for (const auto& [oid, name] : entries) {
    std::unique_ptr<ResultSet> tablespace = connection.ExecuteQuery(query, {std::to_string(oid)});
    // The statement is valid for every oid, so a failure is the server's or
    // the link's: going on would report the tablespaces as gone.
    if (!tablespace->IsOk()) {
      errorText = tablespace->GetErrorMessage();
      return;
    }
    // An oid the server does not know (a leftover of a dropped tablespace).
    if (tablespace->GetRowCount() == 0) continue;
    uint64_t volumeId = 0;
    // An entry that cannot be resolved (a dangling link) gives no row.
    if (!GetVolumeId(directory + "/" + name, volumeId).empty()) continue;
    AddRow(rows, tablespace->GetValueByIndex(0, 0), tablespace->GetValueByIndex(0, 1), volumeId,
           't');
  }
}

}  // namespace

const char* WalDirectoryName(int serverVersionNum) {
  return serverVersionNum >= kVersionWithPgWal ? "pg_wal" : "pg_xlog";
}

std::optional<uint32_t> TablespaceOidOfEntry(std::string_view name) {
  return ParseDecimal<uint32_t>(name, DecimalForm::kUnsigned);
}

void ScanDirectoryDevice(ResultSetWithFixedRows& rows, std::string& errorText,
                         const std::string& directory, char kind, DBConnection& connection,
                         int serverVersionNum) {
  if (kind == 't') {
    ScanTablespaces(rows, errorText, directory, connection, serverVersionNum);
    return;
  }
  // The directory itself tells its volume (a link is followed to where the
  // files really lie); a missing or unreachable directory fails the probe.
  uint64_t volumeId = 0;
  std::string failure = GetVolumeId(directory, volumeId);
  if (!failure.empty()) {
    errorText = ListingError(failure);
    return;
  }
  AddRow(rows, kind == 'd' ? "data" : "xlog", directory, volumeId, kind);
}

std::unique_ptr<ResultSet> IPTDataLogAnalysis::CollectResults() {
  return CollectRows({"name", "path", "device_id", "dir_type"}, [this](ResultSetWithFixedRows& rows,
                                                                       std::string& errorText) {
    ServerConnectionLease connection = AllocateServerConnection(serverId, databaseName, errorText);
    if (!connection) {
      // An unreachable server must fail the probe: an empty row set
      // would delete the stored rows.
      if (errorText.empty()) errorText = kLostConnectionText;
      return;
    }
    std::unique_ptr<ResultSet> setting = connection->ExecuteQuery(
        "SELECT setting from pg_catalog.pg_settings where name = 'data_directory'");
    if (!setting->IsOk()) {
      errorText = setting->GetErrorMessage();
      return;
    }
    // pg_settings hides data_directory from users that are neither
    // superusers nor members of pg_read_all_settings.
    if (setting->GetRowCount() == 0 || setting->GetValueByIndex(0, 0).empty()) {
      errorText =
          StrFormat(_("server %d: the data_directory setting is not visible to the monitoring user "
                      "(it needs superuser or pg_read_all_settings); the directories are not read"),
                    serverId);
      return;
    }
    const int serverVersionNum =
        connection->GetHandle() ? PQserverVersion(connection->GetHandle()) : 0;
    if (serverVersionNum <= 0) {
      errorText = kLostConnectionText;
      return;
    }
    const std::string dataDirectory = setting->GetValueByIndex(0, 0);
    const std::string walDirectory = dataDirectory + "/" + WalDirectoryName(serverVersionNum);
    tablespaceDirectory = dataDirectory + "/pg_tblspc";

    ScanDirectoryDevice(rows, errorText, dataDirectory, 'd', *connection, serverVersionNum);
    if (!errorText.empty()) return;
    ScanDirectoryDevice(rows, errorText, walDirectory, 'x', *connection, serverVersionNum);
    if (!errorText.empty()) return;
    ScanDirectoryDevice(rows, errorText, tablespaceDirectory, 't', *connection, serverVersionNum);
  });
}

std::unique_ptr<InternalProbe> MakeDataLogAnalysisProbe(int32_t serverId,
                                                        const std::string& databaseName) {
  return std::make_unique<IPTDataLogAnalysis>(serverId, databaseName);
}
