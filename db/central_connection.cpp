#include "db/central_connection.h"

#include <atomic>
#include <mutex>
#include <string>

#include "db/connection_params.h"
#include "db/db_connection_to_postgresql.h"
#include "db/db_connection_with_mutex.h"
#include "db/db_settings.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

// Serialises every central connect (main loop, alert threads, spoolers),
// including the version query made on the new connection.
std::mutex connectMutex;

// The shared central connection: owned by OwnedCentral(), published to readers
// through `centralConnection`. Both written only by the agent thread. The owner
// is never destroyed: detached threads may still use the connection while the
// process exits.
std::unique_ptr<DBConnection>& OwnedCentral() {
  static auto* owner = new std::unique_ptr<DBConnection>;
  return *owner;
}
std::atomic<DBConnection*> centralConnection{nullptr};
std::atomic<uint64_t> centralSchemaVersion{0};

}  // namespace

void ConnectToVARO(std::unique_ptr<DBConnection>& target, bool withMutex) {
  std::lock_guard<std::mutex> lock(connectMutex);
  if (target) return;

  const DBSettings& settings = GetDBSettings();
  ConnectionParams params = BuildCentralConnectionParams(settings);
  if (params.Find("sslmode")) {
    // A client certificate needs both files; running without one of them is a
    // configuration error that ends the agent.
    if (settings.agent_ssl_key.empty()) {
      LogFatal(_("SSL configuration is missing agent_ssl_key"));
    }
    if (settings.agent_ssl_crt.empty()) {
      LogFatal(_("SSL configuration is missing agent_ssl_crt"));
    }
  }

  PGconnPtr conn = ConnectWithParams(params);
  if (!conn) {
    LogMessage(_("ConnectToVARO: PQconnectdbParams returned NULL!"), LOG_WARNING);
    return;
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    LogMessage(StrFormat(_("unable to connect to VARO database: %s"), PQerrorMessage(conn.get())),
               LOG_WARNING);
    return;  // conn closes the attempt
  }
  LogMessage(_("connected to VARO database"), LOG_DEBUG1);

  std::unique_ptr<DBConnection> connection =
      std::make_unique<DBConnectionToPostgreSQL>(std::move(conn));
  if (withMutex) connection = std::make_unique<DBConnectionWithMutex>(std::move(connection));
  // The version is read on the new connection itself, never on the shared one:
  // the main loop may be replacing the shared connection at this moment.
  connection->serverVersion = DetectServerVersion(*connection);
  target = std::move(connection);
}

ServerVersion DetectServerVersion(DBConnection& connection) {
  std::unique_ptr<ResultSet> result = connection.ExecuteQuery("SELECT version();");
  if (!result->IsOk()) {
    LogMessage(
        StrFormat(_("error fetching varo server version: %s"), result->GetErrorMessage().c_str()),
        LOG_WARNING);
    return ServerVersion{};
  }
  return ParseServerVersionText(result->GetValueByIndex(0, 0));
}

DBConnection* GetCentralConnection() { return centralConnection.load(std::memory_order_acquire); }

void SetCentralConnection(std::unique_ptr<DBConnection> connection) {
  // Readers see the new connection (or none) before the old one is destroyed.
  centralConnection.store(connection.get(), std::memory_order_release);
  OwnedCentral() = std::move(connection);
}

uint64_t GetCentralSchemaVersion() { return centralSchemaVersion.load(std::memory_order_acquire); }

void SetCentralSchemaVersion(uint64_t version) {
  centralSchemaVersion.store(version, std::memory_order_release);
}
