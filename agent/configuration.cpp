#include "agent/configuration.h"

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

#include <strings.h>

#include "agent/usage.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/registry_file.h"
#include "platform/settings.h"
#include "platform/text.h"

namespace {

constexpr const char* kConfigurationGroup = "VARO/agent";

bool EqualsNoCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

// A base-10 number filling the whole text, within the signed 32-bit range (the
// width of a long where these settings were first defined).
std::optional<int32_t> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || value < INT32_MIN || value > INT32_MAX) {
    return std::nullopt;
  }
  // strtoll skips leading blanks; a number with blanks around it is not a number.
  if (std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  return static_cast<int32_t>(value);
}

// atoi of an option value, without atoi's undefined behaviour on overflow.
int32_t OptionNumber(const std::string& text) {
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value < INT32_MIN) return INT32_MIN;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
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

int ParseLogLevel(const std::string& word) {
  if (EqualsNoCase(word, "error")) return 0;
  if (EqualsNoCase(word, "warning")) return 1;
  if (EqualsNoCase(word, "debug1")) return 2;
  if (EqualsNoCase(word, "debug2")) return 3;
  return -1;
}

std::string ApplySetting(const std::string& name, const std::string& value) {
  Settings& s = GetSettings();
  if (EqualsNoCase(name, "varo_host")) {
    s.varo_host = value;
  } else if (EqualsNoCase(name, "varo_port")) {
    std::optional<int32_t> port = ParseNumber(value);
    if (!port || *port < 0 || *port > 65535) {
      return _("varo_port must be an integer between 0 and 65535");
    }
    s.varo_port = static_cast<uint16_t>(*port);
  } else if (EqualsNoCase(name, "agent_id")) {
    std::optional<int32_t> id = ParseNumber(value);
    if (!id || *id < 0) return _("agent_id must be an integer between 0 and 2147483647");
    s.agent_id = *id;
  } else if (EqualsNoCase(name, "agent_ssl_key")) {
    s.agent_ssl_key = value;
  } else if (EqualsNoCase(name, "agent_ssl_crt")) {
    s.agent_ssl_crt = value;
  } else if (EqualsNoCase(name, "agent_flag_dir")) {
    s.agent_flag_dir = value;
  } else if (EqualsNoCase(name, "log_level")) {
    int level = ParseLogLevel(value);
    if (level >= 0) s.log_level = static_cast<LogLevel>(level);
  } else if (EqualsNoCase(name, "long_wait")) {
    std::optional<int32_t> wait = ParseNumber(value);
    if (wait && *wait >= 10) s.long_wait = *wait;
  } else if (EqualsNoCase(name, "short_wait")) {
    std::optional<int32_t> wait = ParseNumber(value);
    if (wait && *wait > 0) s.short_wait = *wait;
  } else if (EqualsNoCase(name, "alert_threads")) {
    std::optional<int32_t> count = ParseNumber(value);
    if (count) s.alert_threads = *count;
  } else if (EqualsNoCase(name, "enable_smtp")) {
    s.enable_smtp = EqualsNoCase(value, "true");
  } else if (EqualsNoCase(name, "enable_snmp")) {
    s.enable_snmp = EqualsNoCase(value, "true");
  } else if (EqualsNoCase(name, "connect_timeout")) {
    std::optional<int32_t> timeout = ParseNumber(value);
    if (timeout && *timeout >= 0) s.connect_timeout = *timeout;
  } else {
    return StrFormat(_("invalid configuration parameter: %s"), name.c_str());
  }
  return std::string();
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

  // The host, port and agent id must be present: a missing or unreadable value
  // is an error, as the registry layer reports it.
  auto required = [&](const char* name) -> std::optional<std::string> {
    std::optional<std::string> value = key.QueryValue(name);
    if (!value) {
      LogMessage(StrFormat(_("unable to read registry value %s from %s"), name,
                           key.path().c_str()),
                 LOG_ERROR);
    }
    return value;
  };
  auto requiredNumber = [&](const char* name) -> std::optional<int32_t> {
    std::optional<std::string> text = required(name);
    if (!text) return std::nullopt;
    std::optional<int32_t> number = ParseNumber(*text);
    if (!number) {
      LogMessage(StrFormat(_("registry value %s in %s is not a number: %s"), name,
                           key.path().c_str(), text->c_str()),
                 LOG_ERROR);
    }
    return number;
  };
  if (std::optional<std::string> host = required("VARO_HOST")) s.varo_host = *host;
  if (std::optional<int32_t> port = requiredNumber("VARO_PORT")) {
    if (*port >= 1 && *port <= 65534) s.varo_port = static_cast<uint16_t>(*port);
  }
  if (std::optional<int32_t> id = requiredNumber("AgentID")) {
    if (*id >= 1 && *id <= 2147483646) s.agent_id = *id;
  }

  // The rest are optional: a missing value, or one that fails its test, leaves
  // the setting as it is without a message.
  auto number = [&](const char* name) -> std::optional<int32_t> {
    std::optional<std::string> text = key.QueryValue(name);
    return text ? ParseNumber(*text) : std::nullopt;
  };
  if (auto v = key.QueryValue("AgentCrtPath")) s.agent_ssl_crt = *v;
  if (auto v = key.QueryValue("AgentKeyPath")) s.agent_ssl_key = *v;
  if (auto v = key.QueryValue("AgentFlagDir")) s.agent_flag_dir = *v;
  if (auto v = key.QueryValue("LogLevel")) {
    int level = ParseLogLevel(*v);
    if (level >= 0) s.log_level = static_cast<LogLevel>(level);
  }
  if (auto v = number("ShortWait"); v && *v > 0) s.short_wait = *v;
  if (auto v = number("LongWait"); v && *v >= 10) s.long_wait = *v;
  if (auto v = number("AlertThreads"); v && *v > 0) s.alert_threads = *v;
  if (auto v = key.QueryValue("EnableSMTP"); v && EqualsNoCase(*v, "true")) s.enable_smtp = true;
  if (auto v = key.QueryValue("EnableSNMP"); v && EqualsNoCase(*v, "true")) s.enable_snmp = true;
  if (auto v = number("ConnectTimeout"); v && *v >= 0) s.connect_timeout = *v;
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
      case 'a':
        s.alert_threads = OptionNumber(TakeOptionValue(args, i));
        break;
      case 'c':
        configurationFile = TakeOptionValue(args, i);
        break;
      case 'l': {
        int level = ParseLogLevel(TakeOptionValue(args, i));
        if (level < 0) {
          PrintUsage(programPath);
          EndProcess(1);
        }
        s.log_level = static_cast<LogLevel>(level);
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
      case 'r': {
        int32_t wait = OptionNumber(TakeOptionValue(args, i));
        if (wait > 9) s.long_wait = wait;
        break;
      }
      case 't': {
        int32_t wait = OptionNumber(TakeOptionValue(args, i));
        if (wait > 0) s.short_wait = wait;
        break;
      }
      default:
        PrintUsage(programPath);
        EndProcess(1);
    }
  }
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
