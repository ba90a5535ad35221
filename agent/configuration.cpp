#include "agent/configuration.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "agent/settings.h"
#include "agent/usage.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/registry_file.h"
#include "platform/text.h"

namespace {

constexpr const char* kConfigurationGroup = "VARO/agent";

bool EqualsNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// One setting as every source of settings knows it.
enum class SettingParser {
  kText,      // any text, stored as given
  kNumber,    // a base-10 number in the signed 32-bit range
  kLogLevel,  // "error", "warning", "debug1", "debug2" in any case
  kFlag,      // "true" in any case turns it on
};

struct NumberRange {
  int64_t min;
  int64_t max;
  bool Contains(int64_t value) const { return value >= min && value <= max; }
};

constexpr NumberRange kAnyNumber{INT32_MIN, INT32_MAX};

// Where a setting lives in Settings; the parser says which member is used.
struct SettingField {
  std::string Settings::*text = nullptr;
  int32_t Settings::*number = nullptr;
  uint16_t Settings::*port = nullptr;
  LogLevel Settings::*level = nullptr;
  bool Settings::*flag = nullptr;
};

struct SettingDefinition {
  const char* name;          // key in the configuration file and -o name (any case)
  const char* registryName;  // value name in the registry file
  char option;               // agent option that sets it as a number, or 0
  SettingParser parser;
  SettingField field;
  // Numbers accepted from the file, -o and the option letter. A rejected value
  // from the file or -o is an error with `rangeError` (translated when
  // reported) when it is set, and otherwise ignored.
  NumberRange range;
  const char* rangeError;
  // Numbers accepted from the registry; others leave the setting as it is.
  NumberRange registryRange;
  // The registry must hold it: a missing (or, for a number, non-numeric) value
  // is an error. Optional values are skipped without a word.
  bool registryRequired;
};

// Every setting, once. The registry reads the required ones first, in this order.
const SettingDefinition kSettings[] = {
    {"varo_host",
     "VARO_HOST",
     0,
     SettingParser::kText,
     {.text = &Settings::varo_host},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     true},
    {"varo_port",
     "VARO_PORT",
     0,
     SettingParser::kNumber,
     {.port = &Settings::varo_port},
     {0, 65535},
     "varo_port must be an integer between 0 and 65535",
     {1, 65534},
     true},
    {"agent_id",
     "AgentID",
     0,
     SettingParser::kNumber,
     {.number = &Settings::agent_id},
     {0, INT32_MAX},
     "agent_id must be an integer between 0 and 2147483647",
     {1, INT32_MAX - 1},
     true},
    {"agent_ssl_key",
     "AgentKeyPath",
     0,
     SettingParser::kText,
     {.text = &Settings::agent_ssl_key},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     false},
    {"agent_ssl_crt",
     "AgentCrtPath",
     0,
     SettingParser::kText,
     {.text = &Settings::agent_ssl_crt},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     false},
    {"agent_flag_dir",
     "AgentFlagDir",
     0,
     SettingParser::kText,
     {.text = &Settings::agent_flag_dir},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     false},
    {"log_level",
     "LogLevel",
     0,
     SettingParser::kLogLevel,
     {.level = &Settings::log_level},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     false},
    {"long_wait",
     "LongWait",
     'r',
     SettingParser::kNumber,
     {.number = &Settings::long_wait},
     {10, INT32_MAX},
     nullptr,
     {10, INT32_MAX},
     false},
    {"short_wait",
     "ShortWait",
     't',
     SettingParser::kNumber,
     {.number = &Settings::short_wait},
     {1, INT32_MAX},
     nullptr,
     {1, INT32_MAX},
     false},
    {"alert_threads",
     "AlertThreads",
     'a',
     SettingParser::kNumber,
     {.number = &Settings::alert_threads},
     kAnyNumber,
     nullptr,
     {1, INT32_MAX},
     false},
    {"enable_smtp",
     "EnableSMTP",
     0,
     SettingParser::kFlag,
     {.flag = &Settings::enable_smtp},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     false},
    {"enable_snmp",
     "EnableSNMP",
     0,
     SettingParser::kFlag,
     {.flag = &Settings::enable_snmp},
     kAnyNumber,
     nullptr,
     kAnyNumber,
     false},
    {"connect_timeout",
     "ConnectTimeout",
     0,
     SettingParser::kNumber,
     {.number = &Settings::connect_timeout},
     {0, INT32_MAX},
     nullptr,
     {0, INT32_MAX},
     false},
};

void StoreNumber(const SettingDefinition& definition, int64_t value) {
  Settings& s = GetSettings();
  if (definition.field.port != nullptr) {
    s.*definition.field.port = static_cast<uint16_t>(value);
  } else {
    s.*definition.field.number = static_cast<int32_t>(value);
  }
}

// A setting's number as the file, -o and the registry give it: the whole text
// is a base-10 number in the signed 32-bit range (the width of a long where
// these settings were first defined).
std::optional<int32_t> SettingNumber(const std::string& text) {
  return ParseDecimal<int32_t>(text, DecimalForm::kSigned);
}

// An option's number, read as atoi reads it (out-of-range values saturate).
int32_t OptionNumber(const std::string& text) {
  return *ParseDecimal<int32_t>(text, DecimalForm::kLeading);
}

// The value of option args[i]: the rest of the argument when it is longer than
// two characters, else the next argument, which is consumed.
std::string TakeOptionValue(const std::vector<std::string>& args, size_t& i) {
  if (args[i].size() > 2) return args[i].substr(2);
  if (i + 1 >= args.size()) {
    LogMessage(_("Invalid command line argument"), LOG_ERROR);
    return std::string();
  }
  ++i;
  return args[i];
}

void LoadConfigurationGroup(const std::vector<IniEntry>& entries) {
  for (const IniEntry& entry : entries) {
    if (entry.group != kConfigurationGroup) continue;
    if (!IsValidUtf8(entry.name) || !IsValidUtf8(entry.value)) {
      LogMessage(StrFormat(_("unable to read configuration entry for %s"), entry.name.c_str()),
                 LOG_ERROR);
      EndProcess(1);
    }
    std::string error = ApplySetting(entry.name, entry.value);
    if (!error.empty()) LogMessage(error, LOG_ERROR);
  }
}

}  // namespace

std::optional<LogLevel> ParseLogLevel(const std::string& word) {
  if (EqualsNoCase(word, "error")) return LOG_ERROR;
  if (EqualsNoCase(word, "warning")) return LOG_WARNING;
  if (EqualsNoCase(word, "debug1")) return LOG_DEBUG1;
  if (EqualsNoCase(word, "debug2")) return LOG_DEBUG2;
  return std::nullopt;
}

std::vector<SettingNames> ListSettings() {
  std::vector<SettingNames> names;
  for (const SettingDefinition& d : kSettings) names.push_back({d.name, d.registryName});
  return names;
}

std::string ApplySetting(const std::string& name, const std::string& value) {
  Settings& s = GetSettings();
  for (const SettingDefinition& d : kSettings) {
    if (!EqualsNoCase(name, d.name)) continue;
    switch (d.parser) {
      case SettingParser::kText:
        s.*d.field.text = value;
        break;
      case SettingParser::kNumber: {
        std::optional<int32_t> number = SettingNumber(value);
        if (number && d.range.Contains(*number)) {
          StoreNumber(d, *number);
        } else if (d.rangeError != nullptr) {
          return _(d.rangeError);
        }
        break;
      }
      case SettingParser::kLogLevel: {
        std::optional<LogLevel> level = ParseLogLevel(value);
        if (level) s.*d.field.level = *level;
        break;
      }
      case SettingParser::kFlag:
        s.*d.field.flag = EqualsNoCase(value, "true");
        break;
    }
    PublishSettings();
    return std::string();
  }
  return StrFormat(_("invalid configuration parameter: %s"), name.c_str());
}

void LoadConfigurationFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    LogMessage(StrFormat(_("unable to read configuration file %s"), path.c_str()), LOG_WARNING);
    return;
  }
  // A directory opens like a file and reads as no text at all; taking it as an
  // empty configuration would start the agent on defaults without a word.
  if (std::filesystem::is_directory(path, ec)) {
    LogMessage(StrFormat(_("unable to read configuration file %s: %s"), path.c_str(),
                         std::strerror(EISDIR)),
               LOG_ERROR);
    return;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) {
    LogMessage(StrFormat(_("unable to read configuration file %s: %s"), path.c_str(),
                         std::strerror(errno)),
               LOG_ERROR);
    return;
  }
  IniParseResult parsed = ParseIni(DecodeTextFile(bytes.str()));
  if (!parsed.error.empty()) {
    LogMessage(StrFormat(_("configuration file %s, line %d: %s"), path.c_str(), parsed.errorLine,
                         parsed.error.c_str()),
               LOG_ERROR);
    return;
  }
  LoadConfigurationGroup(parsed.entries);
}

void LoadRegistrySettings() {
  RegistryFile key(RegistryFile::DefaultPath());
  if (key.state() == RegistryFile::State::kMissing) {
    LogMessage(_("unable to read the resgistry keys"), LOG_DEBUG2);
    return;
  }
  if (key.state() == RegistryFile::State::kUnreadable) {
    LogMessage(StrFormat(_("unable to read the registry file %s: %s"), key.path().c_str(),
                         key.error().c_str()),
               LOG_ERROR);
    return;
  }
  Settings& s = GetSettings();
  for (const SettingDefinition& d : kSettings) {
    std::optional<std::string> text = key.QueryValue(d.registryName);
    if (!text) {
      // A required value that is missing is an error, as the registry layer
      // reports it; an optional one is simply skipped.
      if (d.registryRequired) {
        LogMessage(StrFormat(_("unable to read registry value %s from %s"), d.registryName,
                             key.path().c_str()),
                   LOG_ERROR);
      }
      continue;
    }
    switch (d.parser) {
      case SettingParser::kText:
        s.*d.field.text = *text;
        break;
      case SettingParser::kNumber: {
        std::optional<int32_t> number = SettingNumber(*text);
        if (!number && d.registryRequired) {
          LogMessage(StrFormat(_("registry value %s in %s is not a number: %s"), d.registryName,
                               key.path().c_str(), text->c_str()),
                     LOG_ERROR);
        }
        // A value outside the registry's range leaves the setting as it is.
        if (number && d.registryRange.Contains(*number)) StoreNumber(d, *number);
        break;
      }
      case SettingParser::kLogLevel: {
        std::optional<LogLevel> level = ParseLogLevel(*text);
        if (level) s.*d.field.level = *level;
        break;
      }
      case SettingParser::kFlag:
        // Only "true" counts; anything else leaves the setting as it is.
        if (EqualsNoCase(*text, "true")) s.*d.field.flag = true;
        break;
    }
  }
  PublishSettings();
}

void ParseOptions(const std::vector<std::string>& args, const std::string& programPath) {
  Settings& s = GetSettings();
  std::optional<std::string> configurationFile;
  std::vector<std::string> overrides;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      PrintUsage(programPath);
      EndProcess(1);
    }
    switch (arg[1]) {
      case 'c':
        configurationFile = TakeOptionValue(args, i);
        break;
      case 'l': {
        std::optional<LogLevel> level = ParseLogLevel(TakeOptionValue(args, i));
        if (!level) {
          PrintUsage(programPath);
          EndProcess(1);
        }
        s.log_level = *level;
        break;
      }
      case 'm':
        s.enable_smtp = true;
        break;
      case 'n':
        s.enable_snmp = true;
        break;
      case 'o':
        overrides.push_back(TakeOptionValue(args, i));
        break;
      default: {
        // The number options (-a, -r, -t) set their setting when the value is
        // in its range and are ignored otherwise.
        const SettingDefinition* definition = nullptr;
        for (const SettingDefinition& d : kSettings) {
          if (d.option == arg[1]) definition = &d;
        }
        if (definition == nullptr) {
          PrintUsage(programPath);
          EndProcess(1);
        }
        int32_t number = OptionNumber(TakeOptionValue(args, i));
        if (definition->range.Contains(number)) StoreNumber(*definition, number);
        break;
      }
    }
  }
  // The log level of -l applies to what loading the file or registry logs.
  PublishSettings();
  if (configurationFile) {
    LoadConfigurationFile(*configurationFile);
  } else {
    LoadRegistrySettings();
  }
  for (const std::string& text : overrides) {
    size_t equals = text.find('=');
    std::string name = equals == std::string::npos ? text : text.substr(0, equals);
    std::string value = equals == std::string::npos ? text : text.substr(equals + 1);
    std::string error = ApplySetting(name, value);
    if (!error.empty()) LogMessage(error, LOG_ERROR);
  }
}
