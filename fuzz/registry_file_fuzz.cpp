// Feeds arbitrary bytes to the registry-file reader: byte-order-mark decoding,
// then the Name=value parser. Names come back in lower case without blanks at
// the ends, no value spans a line, and an error leaves no values behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ini_file.h"
#include "platform/registry_file.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const RegistryParseResult result = ParseRegistryText(DecodeTextFile(bytes));
  if (!result.error.empty()) Check(result.values.empty());
  for (const auto& [name, value] : result.values) {
    Check(!name.empty());
    Check(name.back() != ' ' && name.back() != '\t');
    Check(name.front() != ' ' && name.front() != '\t');
    for (char c : name) Check(!(c >= 'A' && c <= 'Z') && c != '\n' && c != '=');
    Check(value.find('\n') == std::string::npos);
  }
  return 0;
}
