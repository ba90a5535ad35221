// Feeds arbitrary bytes to the settings-file reader: byte-order-mark decoding,
// then the INI parser. Checks what every parse must give: entries in line order
// with trimmed, non-empty names, groups without a closing bracket, and an error
// that names a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ini_file.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const IniParseResult result = ParseIni(DecodeTextFile(bytes));
  if (!result.error.empty()) Check(result.errorLine >= 1);
  int lastLine = 0;
  for (const IniEntry& entry : result.entries) {
    Check(entry.line > lastLine);
    if (!result.error.empty()) Check(entry.line < result.errorLine);
    lastLine = entry.line;
    Check(!entry.name.empty());
    Check(!IsBlank(entry.name.front()) && !IsBlank(entry.name.back()));
    Check(entry.name.find('=') == std::string::npos);
    Check(entry.name.find('\n') == std::string::npos);
    Check(entry.value.find('\n') == std::string::npos);
    Check(entry.group.find(']') == std::string::npos);
    Check(entry.group.find('\n') == std::string::npos);
  }
  return 0;
}
