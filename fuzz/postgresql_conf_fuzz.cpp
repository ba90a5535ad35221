// Feeds arbitrary text to the postgresql.conf editing of the configuration
// tasks. The input's first line is a job step's argument text, the rest a
// configuration file. Checks: the argument split never fails on text without
// double quotes; a value that is written is one line; after setting a value
// the file holds exactly one new active line for it, at most one line fewer
// or more than before, and every other line is unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "work/postgresql_conf.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('\n');
  const std::string_view arguments = text.substr(0, split);
  const std::string_view file = split == std::string_view::npos ? "" : text.substr(split + 1);

  std::vector<std::string> values;
  const bool ok = SplitTaskArguments(arguments, 4, values);
  Check(values.size() == 4);
  if (arguments.find('"') == std::string_view::npos) Check(ok);
  if (!ok) return 0;

  const ConfigValueForm forms[] = {ConfigValueForm::kQuoted, ConfigValueForm::kWord,
                                   ConfigValueForm::kMegabytes, ConfigValueForm::kDays};
  std::string written;
  for (size_t i = 0; i < 4; ++i) {
    std::string error;
    const std::string valueText = ConfigValueText(values[i], forms[i], error);
    Check(valueText.empty() != error.empty());
    Check(valueText.find_first_of("\r\n") == std::string::npos);
    if (i == 0 && error.empty()) written = valueText;
  }
  if (written.empty()) return 0;

  // A name made of the first value's letters, so it may occur in the file.
  std::string name = "log_";
  for (char c : values[1]) {
    if ((c >= 'a' && c <= 'z') || c == '_') name += c;
  }
  const std::vector<std::string> before = SplitConfigLines(file);
  std::vector<std::string> after = before;
  SetConfigParameter(after, name, written);
  const std::string line = name + " = " + written + "\n";
  Check(after.size() == before.size() || after.size() == before.size() + 1);
  size_t changed = 0;
  size_t matching = 0;
  for (size_t i = 0; i < after.size(); ++i) {
    if (after[i] == line) ++matching;
    if (i >= before.size() || after[i] != before[i]) ++changed;
  }
  Check(matching >= 1);
  // Only the set line differs, and a last line that got its line end.
  Check(changed <= 2);
  std::string joinedBefore;
  for (const std::string& l : before) joinedBefore += l;
  Check(joinedBefore == file);
  return 0;
}
