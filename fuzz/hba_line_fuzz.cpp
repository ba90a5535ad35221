// Feeds arbitrary text to the pg_hba.conf reader and checks what holds for
// any input: every entry has at least six fields, its line numbers rise and
// stay within the number of line ends, no field is empty unless it was
// inserted or filled up, and no field holds a line end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "probes/hba_line.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  int64_t lineEnds = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++lineEnds;
    }
  }
  int64_t last = 0;
  for (const HbaEntry& entry : ParseHbaFile(text)) {
    Check(entry.lineNumber > last);
    Check(entry.lineNumber <= lineEnds + 1);
    last = entry.lineNumber;
    Check(entry.fields.size() >= 6);
    Check(!entry.fields[0].empty());
    for (const std::string& field : entry.fields) {
      Check(field.find_first_of("\r\n") == std::string::npos);
    }
  }

  // One line alone: the same fields as inside a file.
  const std::string_view line = text.substr(0, text.find_first_of("\r\n"));
  const std::vector<std::string> fields = SplitHbaLine(line);
  if (!fields.empty()) {
    const std::vector<HbaEntry> entries = ParseHbaFile(line);
    Check(entries.size() == 1 && entries[0].fields == fields);
  }
  return 0;
}
