#include "db/server_pool.h"

#include <poll.h>

#include <ctime>
#include <list>
#include <memory>
#include <mutex>

#include "db/central_connection.h"
#include "db/connection_params.h"
#include "db/db_settings.h"
#include "db/server_binding_cache.h"
#include "db/server_info.h"
#include "db/stored_password.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

// Binding rows are reloaded after this many seconds.
constexpr int64_t kBindingCacheSeconds = 90;
// The first central schema whose bindings carry a stored password.
constexpr uint64_t kSchemaWithPasswords = 201109101;

// One open connection to a monitored server.
struct ServerConnectionNode {
  int32_t serverId = 0;
  std::string databaseName;  // the effective name the connection is open on
  std::unique_ptr<DBConnectionToPostgreSQL> connection;
};

// Lock order: poolMutex first, then the central connection's own mutex (taken
// inside ExecuteQuery by the binding query). Nothing takes them the other way.
std::mutex poolMutex;
// Guarded by poolMutex:
std::unique_ptr<ResultSet> bindingCache;    // rows of the last good binding query
int64_t lastRefresh = 0;                    // seconds since 1970 of that load
std::list<ServerConnectionNode> inUseList;  // handed out; newest at the front
std::list<ServerConnectionNode> idleList;   // released; most recent at the front

// True when an idle connection may be handed out again: the link is up, no
// transaction is open, and the server has sent nothing since the last answer.
// An idle backend only speaks unasked when it ends the session (a FATAL
// message on shutdown or termination, then end of file), so a connection with
// input waiting is not handed out.
bool IsReusable(DBConnectionToPostgreSQL& connection) {
  PGconn* conn = connection.GetHandle();
  if (!conn || PQstatus(conn) != CONNECTION_OK) return false;
  if (PQtransactionStatus(conn) != PQTRANS_IDLE) return false;
  pollfd fd{PQsocket(conn), POLLIN, 0};
  if (poll(&fd, 1, 0) != 0) return false;  // input waiting (or an error): the session ended
  return true;
}

bool ParseServerId(const std::string& text, int32_t& value) {
  std::optional<int32_t> parsed = ParseDecimal<int32_t>(text, DecimalForm::kSigned);
  if (parsed) value = *parsed;
  return parsed.has_value();
}

}  // namespace

bool RefreshServerBindingCache(bool* refreshed, std::string* errorText) {
  if (refreshed) *refreshed = false;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (bindingCache && now <= lastRefresh + kBindingCacheSeconds) return true;
  bindingCache.reset();

  DBConnection* central = GetCentralConnection();
  if (!central) return false;
  std::unique_ptr<ResultSet> result = central->ExecuteQuery(StrFormat(
      "SELECT * FROM varo.agent_server_binding WHERE agent_id = %d", GetDBSettings().agent_id));
  if (!result->IsOk()) {
    if (errorText) {
      *errorText = StrFormat(_("error updating agent_server_binding cache: %s"),
                             result->GetErrorMessage().c_str());
    }
    return false;
  }
  bindingCache = std::move(result);
  LogMessage(_("succesfully updated agent_server_binding cache"), LOG_DEBUG1);
  lastRefresh = now;
  if (refreshed) *refreshed = true;
  return true;
}

int32_t FindServerBindingRow(int32_t serverId) {
  if (!bindingCache) return -1;
  const int32_t rows = static_cast<int32_t>(bindingCache->GetRowCount());
  for (int32_t row = 0; row < rows; ++row) {
    int32_t id = 0;
    if (ParseServerId(bindingCache->GetValueByName(row, "server_id"), id) && id == serverId) {
      return row;
    }
  }
  return -1;
}

void ClearServerBindingCache() {
  std::lock_guard<std::mutex> lock(poolMutex);
  bindingCache.reset();
}

size_t InUseServerConnectionCount() {
  std::lock_guard<std::mutex> lock(poolMutex);
  return inUseList.size();
}

size_t IdleServerConnectionCount() {
  std::lock_guard<std::mutex> lock(poolMutex);
  return idleList.size();
}

bool ListServerBindings(std::vector<int32_t>& serverIds, std::vector<std::string>& databases,
                        std::string* errorText) {
  std::lock_guard<std::mutex> lock(poolMutex);
  if (!RefreshServerBindingCache(nullptr, errorText)) return false;
  const int32_t rows = static_cast<int32_t>(bindingCache->GetRowCount());
  for (int32_t row = 0; row < rows; ++row) {
    int32_t id = 0;
    if (!ParseServerId(bindingCache->GetValueByName(row, "server_id"), id)) continue;
    serverIds.push_back(id);
    databases.push_back(bindingCache->GetValueByName(row, "database"));
  }
  return true;
}

bool IsLocalServer(int32_t serverId) {
  std::lock_guard<std::mutex> lock(poolMutex);
  int32_t row = FindServerBindingRow(serverId);
  if (row < 0) return false;
  std::string server = bindingCache->GetValueByName(row, "server");
  return server.empty() || server[0] == '/';
}

ServerConnectionLease AllocateServerConnection(int32_t serverId, const std::string& databaseName,
                                               std::string& errorText) {
  std::unique_lock<std::mutex> lock(poolMutex);

  // Reuse the most recently released live connection to the same server and
  // database; dead ones met on the way are closed.
  for (auto it = idleList.begin(); it != idleList.end();) {
    if (it->serverId != serverId || it->databaseName != databaseName) {
      ++it;
      continue;
    }
    if (!IsReusable(*it->connection)) {
      LogMessage(StrFormat(_("closing the pooled connection to server %d dbname %s: it was "
                             "closed by the server or left inside a transaction; a new one "
                             "is opened"),
                           it->serverId, it->databaseName.c_str()),
                 LOG_DEBUG1);
      it = idleList.erase(it);
      continue;
    }
    inUseList.splice(inUseList.begin(), idleList, it);
    return ServerConnectionLease(inUseList.front().connection.get());
  }

  // Find the binding; a server missing from an older copy forces one reload.
  int32_t row = -1;
  for (;;) {
    bool refreshed = false;
    if (!RefreshServerBindingCache(&refreshed, &errorText)) return ServerConnectionLease();
    row = FindServerBindingRow(serverId);
    if (row >= 0) break;
    if (refreshed) {
      errorText = StrFormat(_("asb cache miss for server %d"), serverId);
      return ServerConnectionLease();
    }
    bindingCache.reset();
  }

  ServerBinding binding;
  binding.server = bindingCache->GetValueByName(row, "server");
  binding.port = bindingCache->GetValueByName(row, "port");
  binding.username = bindingCache->GetValueByName(row, "username");
  binding.sslmode = bindingCache->GetValueByName(row, "sslmode");
  const std::string effectiveName =
      databaseName.empty() ? bindingCache->GetValueByName(row, "database") : databaseName;

  // A stored password that does not decrypt gives an empty text: the connection
  // is then tried without one, as for a binding that has none.
  std::string password;
  if (GetCentralSchemaVersion() >= kSchemaWithPasswords) {
    bool isNull = true;
    std::string stored = bindingCache->GetValueByName(row, "password", &isNull);
    if (!isNull && !stored.empty()) password = DecryptStoredPassword(stored);
  }

  ConnectionParams params = BuildServerConnectionParams(binding, effectiveName, password,
                                                        GetDBSettings().connect_timeout);
  // The connect itself runs without the pool mutex: a server that accepts the
  // connection and then never answers must not stall every other user of the
  // pool (heartbeats of other servers, releases, the main loop's reaping).
  // Everything needed from the cache has been copied above.
  lock.unlock();
  PGconnPtr conn = ConnectWithParams(params);
  // A new connection records the server's version code (varodata.server_info),
  // also outside the pool mutex, as it queries both servers.
  std::unique_ptr<DBConnectionToPostgreSQL> connection;
  std::string versionError;
  if (conn && PQstatus(conn.get()) == CONNECTION_OK) {
    connection = std::make_unique<DBConnectionToPostgreSQL>(std::move(conn));
    if (!RecordServerVersion(serverId, *connection, versionError)) connection.reset();
  }
  lock.lock();
  if (!connection && !versionError.empty()) {
    errorText = StrFormat(_("unable to connect to server %d dbname %s: %s"), serverId,
                          effectiveName.c_str(), versionError.c_str());
    return ServerConnectionLease();
  }
  if (!connection && !conn) {
    errorText = _("AllocateServerConnection: PQconnectdbParams returned NULL!");
    return ServerConnectionLease();
  }
  if (!connection) {
    errorText = StrFormat(_("unable to connect to server %d dbname %s: %s"), serverId,
                          effectiveName.c_str(), PQerrorMessage(conn.get()));
    return ServerConnectionLease();
  }
  LogMessage(StrFormat(_("connected to server %d dbname %s"), serverId, effectiveName.c_str()),
             LOG_DEBUG1);
  ServerConnectionNode node;
  node.serverId = serverId;
  node.databaseName = effectiveName;
  node.connection = std::move(connection);
  inUseList.push_front(std::move(node));
  return ServerConnectionLease(inUseList.front().connection.get());
}

ServerConnectionLease::ServerConnectionLease(ServerConnectionLease&& other) noexcept
    : connection_(other.connection_) {
  other.connection_ = nullptr;
}

ServerConnectionLease& ServerConnectionLease::operator=(ServerConnectionLease&& other) noexcept {
  if (this != &other) {
    Release();
    connection_ = other.connection_;
    other.connection_ = nullptr;
  }
  return *this;
}

void ServerConnectionLease::Release() {
  if (!connection_) return;
  std::lock_guard<std::mutex> lock(poolMutex);
  for (auto it = inUseList.begin(); it != inUseList.end(); ++it) {
    if (it->connection.get() != connection_) continue;
    // A connection that cannot serve the next user is closed at once rather
    // than kept idle until the next reaping.
    PGconn* conn = it->connection->GetHandle();
    if (!conn || PQstatus(conn) != CONNECTION_OK || PQtransactionStatus(conn) != PQTRANS_IDLE) {
      inUseList.erase(it);
    } else {
      idleList.splice(idleList.begin(), inUseList, it);
    }
    break;
  }
  connection_ = nullptr;
}

void ServerConnectionLease::Discard() {
  if (!connection_) return;
  std::lock_guard<std::mutex> lock(poolMutex);
  for (auto it = inUseList.begin(); it != inUseList.end(); ++it) {
    if (it->connection.get() == connection_) {
      inUseList.erase(it);
      break;
    }
  }
  connection_ = nullptr;
}

void ReapIdleServerConnections() {
  std::lock_guard<std::mutex> lock(poolMutex);
  while (!idleList.empty()) {
    ServerConnectionNode& node = idleList.front();
    LogMessage(StrFormat(_("reaping connection to server %d dbname %s"), node.serverId,
                         node.databaseName.c_str()),
               LOG_DEBUG1);
    idleList.pop_front();
  }
}
