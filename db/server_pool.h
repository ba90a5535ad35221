// Connections to the monitored servers bound to this agent: a 90-second cache of
// varo.agent_server_binding and a pool of open connections handed out to one
// thread at a time. Thread-safe; lock order: pool mutex, then the central
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

// A connection to `serverId` on `databaseName` (the binding's database when
// empty), reused from the idle list when one is open; null with the reason in
// errorText on failure. The caller uses it on one thread and gives it back with
// ReleaseServerConnection; it never deletes it.
DBConnectionToPostgreSQL* AllocateServerConnection(int32_t serverId,
                                                   const std::string& databaseName,
                                                   std::string& errorText);

// Gives a connection back for reuse. Unknown or already released pointers are ignored.
void ReleaseServerConnection(DBConnectionToPostgreSQL* connection);

// Closes every idle connection. Connections in use are not touched.
void ReapIdleServerConnections();
