#include "work/configuration_tasks.h"

#include <cctype>
#include <vector>

#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/protected_file.h"
#include "platform/text.h"
#include "probes/ipt_log_configuration.h"
#include "work/postgresql_conf.h"

namespace {

// When a setting of the table is written.
enum class Condition {
  kAlways,
  kSyslog,      // value 6 (the syslog facility) is not "none"
  kSilentMode,  // the syslog condition, and a version code with silent_mode
};

// One setting: the argument position of its value, its name in the file, its
// written form and when it is written. Written in table order.
struct SettingRule {
  size_t position;
  const char* name;
  ConfigValueForm form;
  Condition condition;
};

constexpr size_t kLogValueCount = 30;
constexpr size_t kLogSyslogFacility = 6;
constexpr size_t kLogVersionCode = 29;

constexpr SettingRule kLogRules[] = {
    {1, "log_destination", ConfigValueForm::kQuoted, Condition::kAlways},
    {2, "logging_collector", ConfigValueForm::kWord, Condition::kAlways},
    {3, "silent_mode", ConfigValueForm::kWord, Condition::kSilentMode},
    {4, "log_directory", ConfigValueForm::kQuoted, Condition::kAlways},
    {5, "log_filename", ConfigValueForm::kQuoted, Condition::kAlways},
    {6, "syslog_facility", ConfigValueForm::kQuoted, Condition::kSyslog},
    {7, "syslog_ident", ConfigValueForm::kQuoted, Condition::kSyslog},
    {8, "log_rotation_size", ConfigValueForm::kMegabytes, Condition::kAlways},
    {9, "log_rotation_age", ConfigValueForm::kDays, Condition::kAlways},
    {10, "log_truncate_on_rotation", ConfigValueForm::kWord, Condition::kAlways},
    {11, "client_min_messages", ConfigValueForm::kWord, Condition::kAlways},
    {12, "log_min_messages", ConfigValueForm::kWord, Condition::kAlways},
    {13, "log_min_error_statement", ConfigValueForm::kWord, Condition::kAlways},
    {14, "log_min_duration_statement", ConfigValueForm::kWord, Condition::kAlways},
    {15, "debug_print_parse", ConfigValueForm::kWord, Condition::kAlways},
    {16, "debug_print_rewritten", ConfigValueForm::kWord, Condition::kAlways},
    {17, "debug_print_plan", ConfigValueForm::kWord, Condition::kAlways},
    {18, "debug_pretty_print", ConfigValueForm::kWord, Condition::kAlways},
    {19, "log_checkpoints", ConfigValueForm::kWord, Condition::kAlways},
    {20, "log_connections", ConfigValueForm::kWord, Condition::kAlways},
    {21, "log_disconnections", ConfigValueForm::kWord, Condition::kAlways},
    {22, "log_duration", ConfigValueForm::kWord, Condition::kAlways},
    {23, "log_hostname", ConfigValueForm::kWord, Condition::kAlways},
    {24, "log_lock_waits", ConfigValueForm::kWord, Condition::kAlways},
    {25, "log_error_verbosity", ConfigValueForm::kWord, Condition::kAlways},
    {26, "log_line_prefix", ConfigValueForm::kQuoted, Condition::kAlways},
    {27, "log_statement", ConfigValueForm::kQuoted, Condition::kAlways},
};

constexpr size_t kAuditValueCount = 10;

constexpr SettingRule kAuditRules[] = {
    {1, "azu_audit", ConfigValueForm::kQuoted, Condition::kAlways},
    {2, "azu_audit_directory", ConfigValueForm::kQuoted, Condition::kAlways},
    {3, "azu_audit_filename", ConfigValueForm::kQuoted, Condition::kAlways},
    {4, "azu_audit_rotation_day", ConfigValueForm::kQuoted, Condition::kAlways},
    {5, "azu_audit_rotation_size", ConfigValueForm::kWord, Condition::kAlways},
    {6, "azu_audit_rotation_seconds", ConfigValueForm::kWord, Condition::kAlways},
    {7, "azu_audit_connect", ConfigValueForm::kQuoted, Condition::kAlways},
    {8, "azu_audit_disconnect", ConfigValueForm::kQuoted, Condition::kAlways},
    {9, "azu_audit_statement", ConfigValueForm::kQuoted, Condition::kAlways},
};

bool IsNone(const std::string& value) {
  if (value.size() != 4) return false;
  std::string lower;
  for (char c : value) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "none";
}

template <size_t N>
ConfigurationTaskResult UpdateConfiguration(const SettingRule (&rules)[N],
                                            const char* invalidParameters, bool syslog,
                                            bool silentMode,
                                            const std::vector<std::string>& values) {
  ConfigurationTaskResult result;
  auto failed = [&](std::string message) {
    result.ok = false;
    result.message = std::move(message);
    return result;
  };

  // Every value is checked before the file is touched: one that the server
  // could not read back would stop it at its next start.
  std::vector<std::pair<const char*, std::string>> settings;
  for (const SettingRule& rule : rules) {
    if (rule.condition == Condition::kSyslog && !syslog) continue;
    if (rule.condition == Condition::kSilentMode && !(syslog && silentMode)) continue;
    std::string why;
    std::string text = ConfigValueText(values[rule.position], rule.form, why);
    if (!why.empty()) {
      return failed(StrFormat(_("%s: invalid value for %s: %s; the file was not changed"),
                              invalidParameters, rule.name, why.c_str()));
    }
    settings.emplace_back(rule.name, std::move(text));
  }

  // The data directory's postgresql.conf, with the path kept as given.
  std::string path = values[0];
  if (path.empty() || path[0] != '/') {
    LogMessage(StrFormat(_("cannot edit the postgresql.conf of data directory '%s': not an "
                           "absolute path; nothing is changed"),
                         path.c_str()),
               LOG_WARNING);
    return failed(
        StrFormat(_("failed to open file '%s' for reading"), (path + "/postgresql.conf").c_str()));
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  path += "/postgresql.conf";

  ProtectedFile file;
  std::string cause;
  if (!file.Open(path, kMaxConfigFileBytes, cause)) {
    LogMessage(
        StrFormat(_("cannot edit %s: %s; the file is left unchanged"), path.c_str(), cause.c_str()),
        LOG_WARNING);
    return failed(StrFormat(_("failed to open file '%s' for reading"), path.c_str()));
  }
  std::vector<std::string> lines = SplitConfigLines(file.content());
  if (lines.empty()) {
    return failed(StrFormat(_("failed to read contents of file '%s'"), path.c_str()));
  }
  for (const auto& [name, text] : settings) SetConfigParameter(lines, name, text);
  std::string content;
  for (const std::string& line : lines) content += line;
  if (!file.Replace(content, cause)) {
    LogMessage(StrFormat(_("cannot rewrite %s: %s; the file is left unchanged"), path.c_str(),
                         cause.c_str()),
               LOG_WARNING);
    return failed(StrFormat(_("failed to modify file '%s'"), path.c_str()));
  }
  return result;
}

}  // namespace

ConfigurationTaskResult UpdateLogConfiguration(std::string_view arguments) {
  std::vector<std::string> values;
  if (!SplitTaskArguments(arguments, kLogValueCount, values)) {
    return {false, _("Invalid parameters to log configuration job")};
  }
  const bool syslog = !IsNone(values[kLogSyslogFacility]);
  const int32_t code =
      ParseDecimal<int32_t>(values[kLogVersionCode], DecimalForm::kSigned).value_or(0);
  return UpdateConfiguration(kLogRules, _("Invalid parameters to log configuration job"), syslog,
                             IsSilentModeVersion(code), values);
}

ConfigurationTaskResult UpdateAuditConfiguration(std::string_view arguments) {
  std::vector<std::string> values;
  if (!SplitTaskArguments(arguments, kAuditValueCount, values)) {
    return {false, _("Invalid parameters to audit configuration job")};
  }
  return UpdateConfiguration(kAuditRules, _("Invalid parameters to audit configuration job"), true,
                             false, values);
}
