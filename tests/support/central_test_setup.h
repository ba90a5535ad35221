// Test set-up shared by the central-connection and pool tests: agent 12 in the
// cluster's central database and monitored servers bound to it, both made by
// scripts/central-db.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/central_connection.h"
#include "db/db_settings.h"
#include "db/server_binding_cache.h"
#include "db/server_pool.h"
#include "support/pg_cluster.h"

namespace central_test {

constexpr int32_t kAgentId = 12;

// Creates role agent12 and its agent row; idempotent.
inline void EnsureAgent12() {
  std::string out;
  ASSERT_EQ(PgCluster::Get().RunCentralDb({"--agent", std::to_string(kAgentId)}, &out), 0) << out;
}

// Binds monitored server `serverId` (host, port, user, database, optional clear
// password, stored encrypted by varo-passwd) to agent 12.
inline void BindServer(int32_t serverId, const std::string& host, int port, const std::string& user,
                       const std::string& database, const std::string& password = "") {
  std::vector<std::string> args = {"--bind", std::to_string(kAgentId), std::to_string(serverId),
                                   host,     std::to_string(port),     user,
                                   database};
  if (!password.empty()) args.push_back(password);
  std::string out;
  ASSERT_EQ(PgCluster::Get().RunCentralDb(args, &out), 0) << out;
}

// Points the settings at the cluster as agent 12.
inline void UseClusterSettings() {
  DBSettings& settings = GetDBSettings();
  settings.varo_host = PgCluster::Get().socketDir();
  settings.varo_port = static_cast<uint16_t>(PgCluster::Get().port());
  settings.agent_id = kAgentId;
  settings.agent_ssl_key.clear();
  settings.agent_ssl_crt.clear();
  settings.connect_timeout = 0;
}

// Connects the shared central connection as agent 12 (after UseClusterSettings)
// and returns its backend pid; an empty text when the connect failed.
inline std::string ConnectCentral() {
  std::unique_ptr<DBConnection> connection;
  ConnectToVARO(connection, true);
  if (!connection) return std::string();
  SetCentralConnection(std::move(connection));
  SetCentralSchemaVersion(201210091);
  ClearServerBindingCache();
  std::unique_ptr<ResultSet> pid = GetCentralConnection()->ExecuteQuery("SELECT pg_backend_pid()");
  return pid->IsOk() ? pid->GetValueByIndex(0, 0) : std::string();
}

// The usual set-up of a test that works as agent 12 on server `serverId`, the
// test cluster's database "monitored": registers the agent, points the
// settings at the cluster, binds the server and connects. Returns the central
// backend pid; an empty text when the connect failed.
inline std::string ConnectAgent12WithServer(int32_t serverId) {
  EnsureAgent12();
  UseClusterSettings();
  BindServer(serverId, PgCluster::Get().socketDir(), PgCluster::Get().port(), "postgres",
             "monitored");
  return ConnectCentral();
}

// Closes what ConnectCentral and the pool opened (once no thread uses them).
inline void DisconnectCentral() {
  ReapIdleServerConnections();
  ClearServerBindingCache();
  SetCentralConnection(nullptr);
  SetCentralSchemaVersion(0);
}

}  // namespace central_test
