// Feeds arbitrary bytes to the text decoding of settings files and to the UTF-8
// check. The check is compared with the table of well-formed UTF-8 byte
// sequences of the Unicode standard; decoding UTF-16 gives UTF-8 apart from the
// marks of undecodable units; and valid text survives a trip through UTF-16.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ini_file.h"
#include "platform/text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Well-formed UTF-8 by the byte ranges of the Unicode standard (table 3-7),
// without NUL, written independently of IsValidUtf8.
bool ReferenceUtf8(std::string_view text) {
  auto in = [](unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  size_t i = 0;
  while (i < text.size()) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const size_t left = text.size() - i;
    if (b(0) == 0) return false;
    if (b(0) <= 0x7F) {
      i += 1;
    } else if (in(b(0), 0xC2, 0xDF)) {
      if (left < 2 || !in(b(1), 0x80, 0xBF)) return false;
      i += 2;
    } else if (in(b(0), 0xE0, 0xEF)) {
      const unsigned lo = b(0) == 0xE0 ? 0xA0 : 0x80;
      const unsigned hi = b(0) == 0xED ? 0x9F : 0xBF;
      if (left < 3 || !in(b(1), lo, hi) || !in(b(2), 0x80, 0xBF)) return false;
      i += 3;
    } else if (in(b(0), 0xF0, 0xF4)) {
      const unsigned lo = b(0) == 0xF0 ? 0x90 : 0x80;
      const unsigned hi = b(0) == 0xF4 ? 0x8F : 0xBF;
      if (left < 4 || !in(b(1), lo, hi) || !in(b(2), 0x80, 0xBF) || !in(b(3), 0x80, 0xBF)) {
        return false;
      }
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

// UTF-16 little endian with its byte-order mark, from valid UTF-8.
std::string EncodeUtf16le(std::string_view text) {
  std::string out = "\xFF\xFE";
  auto unit = [&](uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += static_cast<size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool valid = IsValidUtf8(bytes);
  Check(valid == ReferenceUtf8(bytes));

  const std::string decoded = DecodeTextFile(bytes);
  const bool utf16 = bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF";
  if (utf16) {
    // Apart from the 0xFF marks of undecodable units and decoded NUL
    // characters, UTF-16 always becomes well-formed UTF-8.
    std::string rest;
    for (char c : decoded) {
      if (c != '\xFF' && c != '\0') rest += c;
    }
    Check(ReferenceUtf8(rest));
  } else if (bytes.substr(0, 3) != "\xEF\xBB\xBF") {
    Check(decoded == bytes);
  }

  if (valid && bytes.substr(0, 3) != "\xEF\xBB\xBF") {
    Check(DecodeTextFile(EncodeUtf16le(bytes)) == bytes);
  }
  return 0;
}
