#include "work/array_literal.h"

namespace {

// Appends `raw` without its escaping backslashes.
void AppendUnescaped(std::string_view raw, std::string* out) {
  for (size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] == '\\') {
      if (k + 1 < raw.size()) out->push_back(raw[++k]);
      continue;
    }
    out->push_back(raw[k]);
  }
}

}  // namespace

std::vector<std::string> ParseArrayLiteral(std::string_view text) {
  std::vector<std::string> elements;
  const size_t open = text.find('{');
  if (open == std::string_view::npos || open + 1 >= text.size()) return elements;
  size_t i = open + 1;
  while (i < text.size()) {
    if (text[i] == '}') break;
    std::string element;
    if (text[i] == '"') {
      const size_t start = ++i;
      while (i < text.size() && text[i] != '"') {
        i += (text[i] == '\\' && i + 1 < text.size()) ? 2 : 1;
      }
      AppendUnescaped(text.substr(start, std::min(i, text.size()) - start), &element);
      i = text.find(',', std::min(i, text.size()));
      if (i == std::string_view::npos) i = text.size();
    } else {
      size_t end = text.find_first_of(",}", i);
      if (end == std::string_view::npos) end = text.size();
      AppendUnescaped(text.substr(i, end - i), &element);
      i = end;
    }
    elements.push_back(std::move(element));
    if (i < text.size() && text[i] == '}') break;
    ++i;
  }
  return elements;
}
