#include "probes/ipt_hba_conf.h"

#include "db/server_pool.h"
#include "platform/protected_file.h"
#include "platform/text.h"
#include "probes/hba_line.h"

void ReadHbaFile(DBConnection& server, int32_t serverId, ResultSetWithFixedRows& rows,
                 std::string& errorText) {
  std::unique_ptr<ResultSet> shown = server.ExecuteQuery("SHOW hba_file");
  if (!shown->IsOk()) {
    errorText = shown->GetErrorMessage();
    return;
  }
  const std::string path = shown->GetValueByIndex(0, 0);
  std::string content;
  if (IsLocalServer(serverId)) {
    // Read with the same bound as through the server; a FIFO or a device
    // named by the setting is refused rather than waited on.
    std::string cause;
    if (!ReadRegularFile(path, kMaxHbaFileBytes, content, cause)) {
      errorText = _("unable to read ") + path;
      return;
    }
  } else {
    std::unique_ptr<ResultSet> read =
        server.ExecuteQuery("SELECT pg_read_file($1, 0, 1048576)", {path});
    if (!read->IsOk()) {
      errorText = read->GetErrorMessage();
      return;
    }
    content = read->GetValueByIndex(0, 0);
  }
  // A cut at the byte bound may split a character; the stored texts stay UTF-8.
  for (const HbaEntry& entry : ParseHbaFile(ToValidUtf8(content))) {
    ResultSetWithFixedRows::Row row;
    row.reserve(7);
    row.push_back(StrFormat("%lld", static_cast<long long>(entry.lineNumber)));
    row.insert(row.end(), entry.fields.begin(), entry.fields.begin() + 6);
    rows.AddRow(row);
  }
}

std::unique_ptr<ResultSet> IPTHbaConf::CollectResults() {
  return CollectRows({"line_num", "type", "database", "user", "cidr_addr", "method", "options"},
                     [this](ResultSetWithFixedRows& rows, std::string& error) {
                       ServerConnectionLease server =
                           AllocateServerConnection(serverId, databaseName, error);
                       if (!server) return;
                       ReadHbaFile(*server, serverId, rows, error);
                     });
}

std::unique_ptr<InternalProbe> MakeHbaConfProbe(int32_t serverId, const std::string& databaseName) {
  return std::make_unique<IPTHbaConf>(serverId, databaseName);
}
