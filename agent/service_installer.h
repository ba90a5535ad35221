// Installing and removing the agent's own service as a systemd unit. Main thread
// only (INSTALL and REMOVE run nothing else).
#pragma once

#include <string>
#include <vector>

// What INSTALL took from its command line.
struct ServiceInstallRequest {
  std::string serviceName;
  std::string displayName;  // default "Corvane - " + service name
  std::string account = ".\\Administrator";
  bool accountGiven = false;              // -u was given
  std::string password;                   // accepted, not stored
  std::vector<std::string> runArguments;  // "RUN", service name, then every other argument
};

// Builds the request from the arguments after "INSTALL <serviceName>": -d, -u
// and -p are taken out (value as for the agent options); every other argument
// is appended to the run command line in order. A missing value is logged at
// LOG_ERROR.
ServiceInstallRequest ParseInstallArguments(const std::string& serviceName,
                                            const std::vector<std::string>& args);

// True when `name` can name a unit: letters, digits and ":_.@-", at most 200
// characters, not "." or "..", not starting with "-" (systemctl would take it
// for an option) and not ending with "@" (a template).
bool IsValidServiceName(const std::string& name);

// One word of an ExecStart= line, written so that systemd reads it back
// unchanged: words of plain characters stay as they are; any other word is put
// in double quotes with \, " and control characters escaped, and % and $
// doubled so that systemd neither expands specifiers nor variables in it.
std::string QuoteExecWord(const std::string& word);

// The text of the unit file for `request` started from `programPath`.
std::string BuildUnitFile(const ServiceInstallRequest& request, const std::string& programPath);

// The directory of unit files: $VARO_SYSTEMD_DIR, else /etc/systemd/system.
std::string UnitDirectory();

// Writes the unit file and, when systemd runs this host and the default unit
// directory is used, reloads systemd and enables the unit. Failure to write the
// unit is logged at LOG_ERROR. A failed reload or enable leaves the unit
// written and is printed as a warning whatever the log level. Returns whether
// the unit file was written.
bool InstallService(const ServiceInstallRequest& request, const std::string& programPath);

// Stops the service when systemd runs it (waiting up to 5 status queries one
// second apart), disables it, deletes its unit file and reloads systemd;
// without systemd the file is deleted at once. Only "inactive" or "failed"
// from systemctl is-active counts as stopped. Every failure (not stopped,
// state unknown, disable, delete or reload failed) is logged at LOG_ERROR.
// Returns whether the unit is gone.
bool RemoveService(const std::string& serviceName);
