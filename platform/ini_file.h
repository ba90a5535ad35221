// Parsers for the agent's settings files: decoding a text file by its
// byte-order mark, and splitting INI text into its entries. Pure functions over
// text, safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Turns the bytes of a text file into UTF-8: a UTF-8 byte-order mark is
// dropped, UTF-16 (little or big endian, by its byte-order mark) is converted,
// anything else is taken as UTF-8 as it stands. Characters that cannot be
// decoded (an unpaired surrogate, a truncated last unit) become the byte 0xFF,
// which is never valid UTF-8, so whoever uses that text sees it as unreadable.
std::string DecodeTextFile(std::string_view bytes);

struct IniEntry {
  std::string group;  // text between the brackets of the last header, trimmed
  std::string name;   // trimmed
  std::string value;  // trimmed; surrounding double quotes removed
  int line = 0;       // 1-based
};

struct IniParseResult {
  std::vector<IniEntry> entries;  // every entry of every group, in file order
  std::string error;              // empty when the whole text was understood
  int errorLine = 0;
};

// Splits INI text: "[group]" headers (optionally followed by a comment),
// "name=value" entries, blank lines and comment lines beginning with ';' or
// '#'. Lines may end in LF or CRLF. A line that is none of these, a header
// without its closing bracket or with other text after it, or an entry without
// a name stops the parse with an error naming the line. In a value
// enclosed in double quotes, \" and \\ stand for " and \; other values are
// kept as written.
IniParseResult ParseIni(std::string_view text);
