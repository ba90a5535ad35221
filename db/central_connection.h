// Connections to the central database: ConnectToVARO for the shared central
// connection (main loop) and the private ones of alert threads and spoolers,
// and the process-wide shared central connection with the schema version that
// the main loop read from it. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/db_connection.h"
#include "db/server_version.h"

// Connects to database "varo" as "agent<id>" with the host, port and
// certificate files of GetDBSettings(). Does nothing when `target` already
// holds a connection; on failure logs a warning and leaves `target` empty. With
// `withMutex` the new connection is wrapped in a DBConnectionWithMutex.
// Serialised by one mutex.
void ConnectToVARO(std::unique_ptr<DBConnection>& target, bool withMutex);

// Reads the server version of `connection` with SELECT version(); zeros (and a
// warning) when the query fails.
ServerVersion DetectServerVersion(DBConnection& connection);

// The shared central connection, or null while the agent is not connected.
DBConnection* GetCentralConnection();
// Agent thread only: replaces and deletes the shared central connection. The
// caller makes sure no worker or heartbeat thread still uses the old one.
void SetCentralConnection(std::unique_ptr<DBConnection> connection);

// The central schema version read by the main loop (0 when missing).
uint64_t GetCentralSchemaVersion();
void SetCentralSchemaVersion(uint64_t version);
