// Loading the agent's settings (agent/settings.h) from the command line
// options, the configuration file or the registry file, and -o options. Runs on
// the main thread only, before the agent thread starts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/log.h"

// Parses the agent options (the arguments after the verb and service name) and
// loads the settings: options first, then the configuration file (-c) or else
// the registry file, then every -o in order. A bad option letter, a non-option
// argument or a bad -l value prints the usage text and ends the process with
// exit code 1; setting errors are logged at LOG_ERROR.
void ParseOptions(const std::vector<std::string>& args, const std::string& programPath);

// Validates and stores one setting given by name (case-insensitive). Returns an
// error text, or an empty text when the pair was accepted or silently ignored.
std::string ApplySetting(const std::string& name, const std::string& value);

// One setting's names: its configuration file key (and -o name) and its value
// name in the registry file.
struct SettingNames {
  std::string name;
  std::string registryName;
};

// Every setting the agent knows, in a fixed order.
std::vector<SettingNames> ListSettings();

// Loads the [VARO/agent] group of an INI configuration file (UTF-8, or UTF-16
// with a byte-order mark). A missing file is a warning; an unreadable entry ends
// the process with exit code 1; a rejected entry is logged at LOG_ERROR.
void LoadConfigurationFile(const std::string& path);

// Loads the settings from the registry file (see platform/registry_file.h).
void LoadRegistrySettings();

// The log level named by `word` ("error", "warning", "debug1", "debug2", any
// case), or nothing for any other word.
std::optional<LogLevel> ParseLogLevel(const std::string& word);
