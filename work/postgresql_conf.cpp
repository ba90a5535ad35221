#include "work/postgresql_conf.h"

#include <algorithm>

bool SplitTaskArguments(std::string_view text, size_t count, std::vector<std::string>& values) {
  values.assign(count, std::string());
  std::vector<std::string_view> pieces;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    const size_t start = at;
    while (at < text.size() && text[at] != ' ') ++at;
    if (at > start) pieces.push_back(text.substr(start, at - start));
  }
  size_t next = 0;
  for (size_t i = 0; i < count && next < pieces.size(); ++i) {
    std::string value(pieces[next++]);
    if (value.front() == '"') {
      // A lone quote opens a value as well; it needs a closing one.
      while (value.size() < 2 || value.back() != '"') {
        if (next >= pieces.size()) return false;
        value += ' ';
        value += pieces[next++];
      }
      value = value.substr(1, value.size() - 2);
    }
    values[i] = std::move(value);
  }
  return true;
}

namespace {

// Characters the server's configuration reader takes in an unquoted word or
// number (letters, digits, and _ . : / + -); bytes of UTF-8 sequences count
// as letters there.
bool IsWordCharacter(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == ':' || c == '/' || c == '+' || c == '-' || u >= 0x80;
}

}  // namespace

std::string ConfigValueText(std::string_view value, ConfigValueForm form, std::string& error) {
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    error = "it holds a line break";
    return std::string();
  }
  if (form == ConfigValueForm::kQuoted) {
    std::string text = "'";
    for (char c : value) {
      if (c == '\'' || c == '\\') text += c;
      text += c;
    }
    text += '\'';
    return text;
  }
  if (value.empty()) {
    error = "it is empty";
    return std::string();
  }
  if (form == ConfigValueForm::kWord) {
    if (!std::all_of(value.begin(), value.end(), IsWordCharacter)) {
      error = "it is not a single word or number";
      return std::string();
    }
    return std::string(value);
  }
  if (!std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    error = "it is not a whole number";
    return std::string();
  }
  return std::string(value) + (form == ConfigValueForm::kMegabytes ? "MB" : "d");
}

std::vector<std::string> SplitConfigLines(std::string_view content) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    end = end == std::string_view::npos ? content.size() : end + 1;
    lines.emplace_back(content.substr(at, end - at));
    at = end;
  }
  return lines;
}

void SetConfigParameter(std::vector<std::string>& lines, const std::string& name,
                        const std::string& valueText) {
  size_t active = lines.size();
  size_t commented = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.find(name) == std::string_view::npos) continue;
    const size_t hashes = line.find_first_not_of('#');
    if (hashes == std::string_view::npos) continue;
    line.remove_prefix(hashes);
    std::string_view key = line.substr(0, line.find('='));
    while (!key.empty() &&
           (key.back() == ' ' || key.back() == '\t' || key.back() == '\n' || key.back() == '\r')) {
      key.remove_suffix(1);
    }
    if (key != name) continue;
    (hashes > 0 ? commented : active) = i;
  }
  std::string newLine = name + " = " + valueText + "\n";
  if (active < lines.size()) {
    lines[active] = std::move(newLine);
  } else if (commented < lines.size()) {
    lines[commented] = std::move(newLine);
  } else {
    // A last line without a line feed keeps its own line.
    if (!lines.empty() && !lines.back().empty() && lines.back().back() != '\n') {
      lines.back() += '\n';
    }
    lines.push_back(std::move(newLine));
  }
}
