// Feeds arbitrary text to the array-literal reader, and checks that any list
// written the way PostgreSQL writes a quoted text array reads back unchanged:
// the input is split at NUL bytes into elements, which are quoted with their
// double quotes and backslashes escaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "work/array_literal.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> read = ParseArrayLiteral(text);
  size_t commas = 0;
  for (char c : text) commas += c == ',';
  Check(read.size() <= commas + 1);

  std::vector<std::string> elements(1);
  for (char c : text) {
    if (c == '\0') {
      elements.emplace_back();
    } else {
      elements.back().push_back(c);
    }
  }
  std::string literal = "{";
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) literal += ',';
    literal += '"';
    for (char c : elements[i]) {
      if (c == '"' || c == '\\') literal += '\\';
      literal += c;
    }
    literal += '"';
  }
  literal += '}';
  Check(ParseArrayLiteral(literal) == elements);
  return 0;
}
