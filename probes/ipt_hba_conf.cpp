#include "probes/ipt_hba_conf.h"

#include "db/db_connection_to_postgresql.h"
#include "db/server_pool.h"
#include "platform/log.h"
#include "platform/protected_file.h"
#include "platform/text.h"
#include "probes/hba_line.h"

void ReadHbaFile(DBConnectionToPostgreSQL& server, int32_t serverId, ResultSetWithFixedRows& rows,
                 std::string& errorText) {
  std::unique_ptr<ResultSet> shown = server.ExecuteQuery("SHOW hba_file");
  if (!shown->IsOk()) {
    errorText = shown->GetErrorMessage();
    return;
  }
  const std::string path = shown->GetValueByIndex(0, 0);
  std::string content;
  // The agent reads as root, so a local file is read only when the server's
  // own account (the peer of the socket) could read it: the setting never
  // reaches other files. A FIFO or a device is refused rather than waited on.
  // When the account is not known (not a socket connection after all), the
  // file is read through the server.
  std::optional<uid_t> serverAccount;
  if (IsLocalServer(serverId)) serverAccount = SocketPeerUid(PQsocket(server.GetHandle()));
  if (serverAccount) {
    std::string cause;
    if (!ReadRegularFile(path, kMaxHbaFileBytes, content, cause, serverAccount)) {
      LogMessage(StrFormat(_("cannot read pg_hba.conf %s of server %d: %s"), path.c_str(), serverId,
                           cause.c_str()),
                 LOG_WARNING);
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
