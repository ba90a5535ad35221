// The internal tasks "log_configuration" and "audit_configuration": they
// rewrite the logging or azu_audit settings in a monitored server's
// postgresql.conf (in its data directory, the first argument) from the job
// step's arguments. The file is only edited; a later step (server_restart)
// applies it. Run on a job's worker thread; nothing guards the file against
// two jobs editing it at once beyond the check that it was not replaced.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Outcome of a configuration task: ok, or the error text for the step.
struct ConfigurationTaskResult {
  bool ok = true;
  std::string message;
};

// Arguments: the data directory, then 29 values (see the settings table in
// the source); value 29 is the server's version code, which decides whether
// silent_mode is written.
ConfigurationTaskResult UpdateLogConfiguration(std::string_view arguments);
// Arguments: the data directory, then 9 azu_audit values.
ConfigurationTaskResult UpdateAuditConfiguration(std::string_view arguments);

// Largest postgresql.conf the tasks edit.
inline constexpr size_t kMaxConfigFileBytes = 16u << 20;
