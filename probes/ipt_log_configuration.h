// The "log_configuration" probe: one row of a monitored server's logging
// settings, with log_silent_mode only for the server versions that have that
// setting (by the version code in varodata.server_info). One run, one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "probes/internal_probe.h"
#include "probes/setting_statements.h"

// Whether servers of version code `code` have silent_mode: codes 1 to 10901
// and 20001 to 20901.
bool IsSilentModeVersion(int32_t code);

// The columns and statements of the row, with or without log_silent_mode.
std::vector<SettingStatement> LogConfigurationStatements(bool silentMode);

// The statement that reads a server's version code on the central connection.
std::string ServerVersionCodeQuery(int32_t serverId);

class IPTLogConfiguration : public InternalProbe {
 public:
  IPTLogConfiguration(int32_t serverId, std::string databaseName)
      : serverId(serverId), databaseName(std::move(databaseName)) {}

  // Fails with the connection's error when the server cannot be reached, with
  // the query's error when the version code cannot be read, and with a
  // statement's error when one fails; the row otherwise.
  std::unique_ptr<ResultSet> CollectResults() override;

 private:
  int32_t serverId;
  std::string databaseName;
};

std::unique_ptr<InternalProbe> MakeLogConfigurationProbe(int32_t serverId,
                                                         const std::string& databaseName);
