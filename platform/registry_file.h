// The agent's registry key on this platform: a file of Name=value lines
// (/etc/varo/agent.reg, or the file named by $VARO_REGISTRY_FILE). Read once on
// the main thread while the settings are loaded; not for concurrent use.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

struct RegistryParseResult {
  std::map<std::string, std::string> values;  // keyed by lower-case name
  std::string error;                          // empty when every line was understood
};

// Splits the decoded text of a registry file into its values, as RegistryFile
// reads them (see there). A malformed line makes `error` name it and leaves no
// values. Pure; safe on any thread.
RegistryParseResult ParseRegistryText(std::string_view text);

class RegistryFile {
 public:
  enum class State {
    kMissing,     // no file: the key does not exist
    kUnreadable,  // the file exists but cannot be read or understood; see error()
    kOpen,
  };

  // The path of the file: $VARO_REGISTRY_FILE when set, else /etc/varo/agent.reg.
  static std::string DefaultPath();

  // Reads the whole file. Blank lines and lines beginning with '#' or ';' are
  // skipped; every other line must be Name=value. Names are compared without
  // regard to case, as registry value names are; a later line for the same name
  // replaces an earlier one. Values are kept as written (only the line end is
  // removed).
  explicit RegistryFile(const std::string& path);

  State state() const { return state_; }
  const std::string& path() const { return path_; }
  // Why the file is unreadable (with the line number for a malformed line).
  const std::string& error() const { return error_; }

  // The value stored under `name`, or nothing when there is no such line or the
  // value is not valid UTF-8 (a value that cannot be read).
  std::optional<std::string> QueryValue(const std::string& name) const;

 private:
  std::string path_;
  State state_ = State::kMissing;
  std::string error_;
  std::map<std::string, std::string> values_;  // keyed by lower-case name
};
