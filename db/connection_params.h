// The libpq keyword/value lists of the agent's two kinds of connection: the
// central database and a monitored server. Pure functions over their inputs, so
// the lists can be checked without a server. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/db_settings.h"
#include "db/pg_handles.h"

// Keywords and values in the order they are handed to PQconnectdbParams.
struct ConnectionParams {
  std::vector<std::string> keywords;
  std::vector<std::string> values;

  void Add(const std::string& keyword, const std::string& value) {
    keywords.push_back(keyword);
    values.push_back(value);
  }
  // The value of `keyword`, or null when it is not in the list.
  const std::string* Find(const std::string& keyword) const;
};

// Application names the servers see in pg_stat_activity.
inline constexpr const char* kCentralApplicationName = "Corvane - Agent Control";
inline constexpr const char* kMonitoringApplicationName = "Corvane - Agent Monitoring";
// Every connection asks the server for UTF-8.
inline constexpr const char* kClientEncodingOptions = "-c client_encoding=utf8";

// Bounds on waits for another server. A monitored server that accepts the TCP
// connection and never answers must not hold a heartbeat thread (and with it
// the main loop's drain) for ever, and a link that died silently must be
// noticed by every thread blocked on it.
// Connect timeout for monitored servers when the connect_timeout setting is 0.
inline constexpr int kDefaultServerConnectTimeoutSeconds = 10;
// TCP keepalives on every connection: probes start after 30 idle seconds, one
// every 10 seconds, and 3 unanswered ones drop the link (about a minute).
inline constexpr int kKeepalivesIdleSeconds = 30;
inline constexpr int kKeepalivesIntervalSeconds = 10;
inline constexpr int kKeepalivesCount = 3;
// Sent data that stays unacknowledged this long drops the link.
inline constexpr int kTcpUserTimeoutMs = 60000;

// The central connection of agent `settings.agent_id` to database "varo" on
// `settings.varo_host` and `settings.varo_port`. SSL
// keywords are present only when a client key or certificate is configured.
// The keepalive keywords (AppendDeadLinkParams) come last.
ConnectionParams BuildCentralConnectionParams(const DBSettings& settings);

// One row of varo.agent_server_binding, as far as a connection needs it.
struct ServerBinding {
  std::string server;  // host name, address or socket directory
  std::string port;
  std::string username;
  std::string sslmode;  // empty: "prefer"
};

// A connection to a monitored server on `databaseName`. `password` is passed
// only when not empty; connect_timeout is `connectTimeout` when that is 1 or
// more, kDefaultServerConnectTimeoutSeconds otherwise. The keepalive keywords
// (AppendDeadLinkParams) come last.
ConnectionParams BuildServerConnectionParams(const ServerBinding& binding,
                                             const std::string& databaseName,
                                             const std::string& password, int32_t connectTimeout);

// Appends keepalives, keepalives_idle, keepalives_interval, keepalives_count and
// tcp_user_timeout (libpq applies them to TCP connections only).
void AppendDeadLinkParams(ConnectionParams& params);

// PQconnectdbParams over `params` (expand_dbname 0). Null only when libpq could
// not allocate a connection object; the caller checks the status.
PGconnPtr ConnectWithParams(const ConnectionParams& params);
