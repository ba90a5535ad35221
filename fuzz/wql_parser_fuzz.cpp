// Feeds arbitrary bytes to the WQL parser; the sanitizers judge. A parsed query
// must also survive a second look: its detail text is empty exactly when it is valid.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "db/wql_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const WqlParseResult r = ParseWql(std::string_view(reinterpret_cast<const char*>(data), size));
  if (r.status.ok() != r.status.detail.empty()) __builtin_trap();
  return 0;
}
