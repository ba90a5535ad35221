// The agent's process-wide settings. Written only on the main thread before the
// agent thread starts (command line, configuration file or registry file, -o
// options); read-only afterwards, so any thread may read them without a lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/log.h"

struct Settings {
  std::string varo_host;           // central database host
  uint16_t varo_port = 5634;       // central database port
  int32_t agent_id = -1;           // -1: not set
  std::string agent_ssl_key;       // client key file
  std::string agent_ssl_crt;       // client certificate file
  std::string agent_flag_dir;      // takeover flag directory
  LogLevel log_level = LOG_ERROR;  // messages up to this level are written
  int32_t long_wait = 30;          // retry period, seconds
  int32_t short_wait = 10;         // poll interval, seconds
  int32_t alert_threads = 0;
  bool enable_smtp = false;
  bool enable_snmp = false;
  int32_t connect_timeout = 0;     // seconds, for monitored servers; 0: none
};

// The one settings instance of the process.
Settings& GetSettings();
