// The system log as the destination of a service's log lines. Opened once on the
// main thread before other threads start; WriteSyslog may then be called from
// any thread.
#pragma once

#include <string>

// Opens the system log under `ident` (the service name), tagging lines with the
// process id, in the daemon facility.
void OpenSyslog(const std::string& ident);

// Writes one line at the agent's `level` (LOG_ERROR, LOG_WARNING, LOG_DEBUG1,
// LOG_DEBUG2 of platform/log.h): error -> err, warning -> warning, debug -> info.
void WriteSyslog(int level, const std::string& text);
