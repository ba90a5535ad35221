#include "platform/registry_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/ini_file.h"
#include "platform/text.h"

namespace {
std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}
}  // namespace

std::string RegistryFile::DefaultPath() {
  const char* path = std::getenv("VARO_REGISTRY_FILE");
  if (path != nullptr && *path != '\0') return path;
  return "/etc/varo/agent.reg";
}

RegistryFile::RegistryFile(const std::string& path) : path_(path) {
  // A directory opens like a file and reads as no text at all.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    state_ = State::kUnreadable;
    error_ = std::strerror(EISDIR);
    return;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      state_ = State::kMissing;
      return;
    }
    state_ = State::kUnreadable;
    error_ = std::strerror(error);
    return;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) {
    state_ = State::kUnreadable;
    error_ = std::strerror(errno);
    return;
  }
  RegistryParseResult parsed = ParseRegistryText(DecodeTextFile(bytes.str()));
  if (!parsed.error.empty()) {
    state_ = State::kUnreadable;
    error_ = std::move(parsed.error);
    return;
  }
  values_ = std::move(parsed.values);
  state_ = State::kOpen;
}

RegistryParseResult ParseRegistryText(std::string_view text) {
  RegistryParseResult result;
  size_t pos = 0;
  int lineNumber = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#' || line[first] == ';') continue;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == first) {
      result.error = StrFormat("line %d is not Name=value", lineNumber);
      result.values.clear();
      return result;
    }
    std::string name(line.substr(first, equals - first));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    result.values[Lower(name)] = std::string(line.substr(equals + 1));
  }
  return result;
}

std::optional<std::string> RegistryFile::QueryValue(const std::string& name) const {
  auto it = values_.find(Lower(name));
  if (it == values_.end() || !IsValidUtf8(it->second)) return std::nullopt;
  return it->second;
}
