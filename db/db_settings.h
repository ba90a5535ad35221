// What the database layer needs of the agent's settings: where the central
// database is and who the agent is there, and how long a connect to a monitored
// server may wait. The agent fills it from its own settings; written only on the
// main thread before other threads start (and by tests while no thread reads
// it), read-only afterwards, so any thread may read it without a lock.
#pragma once

#include <cstdint>
#include <string>

struct DBSettings {
  std::string varo_host;        // central database host
  uint16_t varo_port = 5634;    // central database port
  int32_t agent_id = -1;        // -1: not set
  std::string agent_ssl_key;    // client key file
  std::string agent_ssl_crt;    // client certificate file
  int32_t connect_timeout = 0;  // seconds, for monitored servers; 0: the default bound
};

// The one instance the database layer reads (central connection, server pool).
DBSettings& GetDBSettings();
