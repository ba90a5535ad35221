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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Letters as the server's configuration reader counts them: ASCII letters,
// the underscore and every byte of a UTF-8 sequence.
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Skips the characters of `text` from `at` that satisfy `test`.
template <typename Test>
size_t SkipWhile(std::string_view text, size_t at, Test test) {
  while (at < text.size() && test(text[at])) ++at;
  return at;
}

// An integer with an optional sign, decimal or 0x hexadecimal, and unit
// letters after it (250ms, 10MB, -1).
bool IsInteger(std::string_view v) {
  size_t at = !v.empty() && (v[0] == '+' || v[0] == '-') ? 1 : 0;
  size_t digits;
  if (v.size() > at + 2 && v[at] == '0' && v[at + 1] == 'x' && IsHexDigit(v[at + 2])) {
    digits = SkipWhile(v, at + 2, IsHexDigit);
  } else {
    digits = SkipWhile(v, at, IsDigit);
    if (digits == at) return false;
  }
  const auto unitLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  return SkipWhile(v, digits, unitLetter) == v.size();
}

// A number with a decimal point and an optional exponent (0.5, .5, 1.5e3).
bool IsReal(std::string_view v) {
  size_t at = !v.empty() && (v[0] == '+' || v[0] == '-') ? 1 : 0;
  at = SkipWhile(v, at, IsDigit);
  if (at >= v.size() || v[at] != '.') return false;
  at = SkipWhile(v, at + 1, IsDigit);
  if (at < v.size() && (v[at] == 'e' || v[at] == 'E')) {
    ++at;
    if (at < v.size() && (v[at] == '+' || v[at] == '-')) ++at;
    const size_t digits = SkipWhile(v, at, IsDigit);
    if (digits == at) return false;
    at = digits;
  }
  return at == v.size();
}

// A word: a letter, then letters, digits and - . _ : / (pg_log, en_US.UTF-8).
// Two names joined by one dot (a.b) the server reads as a qualified setting
// name, which it does not take as a value.
bool IsUnquotedWord(std::string_view v) {
  if (v.empty() || !IsLetter(v[0])) return false;
  const auto wordCharacter = [](char c) {
    return IsLetter(c) || IsDigit(c) || c == '-' || c == '.' || c == ':' || c == '/';
  };
  if (SkipWhile(v, 0, wordCharacter) != v.size()) return false;
  const auto nameCharacter = [](char c) { return IsLetter(c) || IsDigit(c); };
  const size_t first = SkipWhile(v, 0, nameCharacter);
  const bool qualifiedName = first < v.size() && v[first] == '.' && first + 1 < v.size() &&
                             IsLetter(v[first + 1]) &&
                             SkipWhile(v, first + 1, nameCharacter) == v.size();
  return !qualifiedName;
}

// True when the server's configuration reader takes `value`, written bare,
// as one value: an integer, a real number or a word. Anything else (a lone
// sign, 1e5, on+, a path beginning with /) would stop the server at its next
// start with a syntax error.
bool IsBareValue(std::string_view value) {
  return IsInteger(value) || IsReal(value) || IsUnquotedWord(value);
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
    if (!IsBareValue(value)) {
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
