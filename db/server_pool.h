// Connections to the monitored servers bound to this agent: a 90-second cache of
// varo.agent_server_binding and a pool of open connections handed out to one
// thread at a time. The agent id and the connect timeout come from
// GetDBSettings(). Thread-safe; lock order: pool mutex, then the central
// connection's mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/db_connection_to_postgresql.h"

// Appends the server id and database of every binding of this agent. False (and
// the reason in *errorText when given) when the bindings cannot be read.
bool ListServerBindings(std::vector<int32_t>& serverIds, std::vector<std::string>& databases,
                        std::string* errorText = nullptr);

// True when the binding of `serverId` names a local socket directory or no host.
bool IsLocalServer(int32_t serverId);

// A pooled connection handed out to one thread: it gives the connection back
// to the pool when it goes out of scope (or at Release), on every path. Empty
// when the allocation failed. Move-only; used by the thread that holds it.
class ServerConnectionLease {
 public:
  ServerConnectionLease() = default;
  ~ServerConnectionLease() { Release(); }
  ServerConnectionLease(ServerConnectionLease&& other) noexcept;
  ServerConnectionLease& operator=(ServerConnectionLease&& other) noexcept;
  ServerConnectionLease(const ServerConnectionLease&) = delete;
  ServerConnectionLease& operator=(const ServerConnectionLease&) = delete;

  explicit operator bool() const { return connection_ != nullptr; }
  DBConnectionToPostgreSQL* get() const { return connection_; }
  DBConnectionToPostgreSQL* operator->() const { return connection_; }
  DBConnectionToPostgreSQL& operator*() const { return *connection_; }

  // Gives the connection back for reuse now; the lease is empty afterwards. A
  // connection that is broken or inside a transaction is closed instead.
  void Release();
  // Closes the connection (it is never handed out again); the lease is empty
  // afterwards. For a connection whose server stopped answering.
  void Discard();

 private:
  friend ServerConnectionLease AllocateServerConnection(int32_t, const std::string&, std::string&);
  explicit ServerConnectionLease(DBConnectionToPostgreSQL* connection) : connection_(connection) {}

  DBConnectionToPostgreSQL* connection_ = nullptr;  // owned by the pool's in-use list
};

// A connection to `serverId` on `databaseName` (the binding's database when
// empty), reused from the idle list when a live one is open there; an empty
// lease with the reason in errorText on failure. An idle connection whose link
// is broken, whose server sent something unasked (a termination notice), or
// that is inside a transaction is closed rather than handed out.
ServerConnectionLease AllocateServerConnection(int32_t serverId, const std::string& databaseName,
                                               std::string& errorText);

// Closes every idle connection. Connections in use are not touched.
void ReapIdleServerConnections();
