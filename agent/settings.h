// The agent's process-wide settings. Written only on the main thread before the
// agent thread starts (command line, configuration file or registry file, -o
// options); read-only afterwards, so any thread may read them without a lock.
#pragma once

#include <cstdint>
#include <string>

#include "db/db_settings.h"
#include "platform/log.h"

// The settings the database layer needs are its DBSettings part (central host,
// port, agent id, certificate files, connect timeout); PublishSettings hands
// them over.
struct Settings : DBSettings {
  std::string agent_flag_dir;      // takeover flag directory
  LogLevel log_level = LOG_ERROR;  // messages up to this level are written
  int32_t long_wait = 30;          // retry period, seconds
  int32_t short_wait = 10;         // poll interval, seconds
  int32_t alert_threads = 0;
  bool enable_smtp = false;
  bool enable_snmp = false;
};

// The one settings instance of the process.
Settings& GetSettings();

// Hands the settings to the layers that keep their own copy: the log level to
// the log module (SetLogLevel) and the DBSettings part to the database layer
// (GetDBSettings). Called whenever settings were stored, on the main thread
// before other threads start (tests: while no thread reads them).
void PublishSettings();
