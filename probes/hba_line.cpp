#include "probes/hba_line.h"

namespace {

// White space as the C library counts it in the "C" locale; bytes of UTF-8
// sequences are never white space, so names in other scripts stay whole.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> SplitHbaLine(std::string_view line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at >= line.size() || line[at] == '#') break;
    const size_t start = at;
    if (line[at] == '"') {
      // Through the closing quote; a doubled quote inside belongs to the field.
      ++at;
      for (;;) {
        if (at >= line.size()) break;
        if (line[at] == '"') {
          if (at + 1 < line.size() && line[at + 1] == '"') {
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        ++at;
      }
    } else {
      while (at < line.size() && !IsBlank(line[at]) && line[at] != '#') ++at;
    }
    fields.emplace_back(line.substr(start, at - start));
  }
  if (fields.empty()) return fields;
  // A local line has no address: its fourth field is the method.
  if (fields.size() == 4 && EqualsIgnoringCase(fields[0], "local")) {
    fields.insert(fields.begin() + 3, std::string());
  }
  while (fields.size() < 6) fields.emplace_back();
  return fields;
}

std::vector<HbaEntry> ParseHbaFile(std::string_view content) {
  std::vector<HbaEntry> entries;
  int64_t lineNumber = 0;
  size_t at = 0;
  while (at < content.size()) {
    size_t end = at;
    while (end < content.size() && content[end] != '\n' && content[end] != '\r') ++end;
    ++lineNumber;
    std::vector<std::string> fields = SplitHbaLine(content.substr(at, end - at));
    if (!fields.empty()) entries.push_back(HbaEntry{lineNumber, std::move(fields)});
    if (end < content.size() && content[end] == '\r' && end + 1 < content.size() &&
        content[end + 1] == '\n') {
      ++end;
    }
    at = end + 1;
  }
  return entries;
}
