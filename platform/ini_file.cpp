#include "platform/ini_file.h"

#include <cstdint>

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr char kUndecodable = '\xFF';

std::string DecodeUtf16(std::string_view bytes, bool littleEndian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t i) -> uint32_t {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    return littleEndian ? (b0 | (b1 << 8)) : ((b0 << 8) | b1);
  };
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 < bytes.size()) {
        uint32_t low = unit(i + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
          i += 2;
          continue;
        }
      }
      out += kUndecodable;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      out += kUndecodable;
    } else {
      AppendUtf8(out, u);
    }
  }
  if (i < bytes.size()) out += kUndecodable;  // odd byte count
  return out;
}

std::string_view Trim(std::string_view text) {
  const char* blanks = " \t\r\n\f\v";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

std::string Unquote(std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
    return std::string(value);
  }
  std::string out;
  std::string_view inner = value.substr(1, value.size() - 2);
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() && (inner[i + 1] == '"' || inner[i + 1] == '\\')) {
      ++i;
    }
    out += inner[i];
  }
  return out;
}

}  // namespace

std::string DecodeTextFile(std::string_view bytes) {
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return std::string(bytes.substr(3));
  }
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE") {
    return DecodeUtf16(bytes.substr(2), true);
  }
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFE\xFF") {
    return DecodeUtf16(bytes.substr(2), false);
  }
  return std::string(bytes);
}

IniParseResult ParseIni(std::string_view text) {
  IniParseResult result;
  std::string group;
  int lineNumber = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNumber;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos) {
        result.error = "group header without closing bracket";
        result.errorLine = lineNumber;
        return result;
      }
      // A comment may follow the header on its line; anything else may not.
      std::string_view rest = Trim(line.substr(close + 1));
      if (!rest.empty() && rest.front() != ';' && rest.front() != '#') {
        result.error = "text after the group header";
        result.errorLine = lineNumber;
        return result;
      }
      group = std::string(Trim(line.substr(1, close - 1)));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      result.error = "line is neither a group header nor name=value";
      result.errorLine = lineNumber;
      return result;
    }
    std::string_view name = Trim(line.substr(0, equals));
    if (name.empty()) {
      result.error = "entry without a name";
      result.errorLine = lineNumber;
      return result;
    }
    result.entries.push_back(
        IniEntry{group, std::string(name), Unquote(Trim(line.substr(equals + 1))), lineNumber});
  }
  return result;
}
