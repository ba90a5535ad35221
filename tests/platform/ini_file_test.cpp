// The settings-file parsers: INI text, byte-order-mark decoding and UTF-8
// checks, fed tables of text.
#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

TEST(ParseIni, EntriesGroupsCommentsAndQuotes) {
  IniParseResult r = ParseIni(
      "top=1\n"
      "; comment\n"
      "# another\n"
      "\n"
      "[ VARO/agent ]\r\n"
      "  varo_host =  db.example  \r\n"
      "empty=\n"
      "quoted=\"  a \\\"b\\\" c:\\\\x  \"\n"
      "path=C:\\data\\x\n"
      "eq=a=b\n"
      "[other]   ; a comment after the header\n"
      "k=v");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.entries.size(), 7u);
  EXPECT_EQ(r.entries[0].group, "");
  EXPECT_EQ(r.entries[1].group, "VARO/agent");
  EXPECT_EQ(r.entries[1].name, "varo_host");
  EXPECT_EQ(r.entries[1].value, "db.example");
  EXPECT_EQ(r.entries[1].line, 6);
  EXPECT_EQ(r.entries[2].value, "");
  EXPECT_EQ(r.entries[3].value, "  a \"b\" c:\\x  ");
  EXPECT_EQ(r.entries[4].value, "C:\\data\\x");  // unquoted values stay as written
  EXPECT_EQ(r.entries[5].value, "a=b");
  EXPECT_EQ(r.entries[6].group, "other");
  EXPECT_EQ(r.entries[6].value, "v");
}

TEST(ParseIni, MalformedLinesNameTheirLine) {
  struct Case {
    const char* text;
    int line;
  };
  const Case cases[] = {
      {"[VARO/agent\nx=1\n", 1},
      {"[VARO/agent]\nvaro_port 5432\n", 2},
      {"[VARO/agent]\n\n = 3\n", 3},
      {"[VARO/agent] x=1\n", 1},
  };
  for (const Case& c : cases) {
    IniParseResult r = ParseIni(c.text);
    EXPECT_NE(r.error, "") << c.text;
    EXPECT_EQ(r.errorLine, c.line) << c.text;
  }
}

TEST(DecodeTextFile, ByteOrderMarks) {
  EXPECT_EQ(DecodeTextFile("\xEF\xBB\xBFk=v"), "k=v");
  EXPECT_EQ(DecodeTextFile(std::string("\xFF\xFEk\0=\0\xE9\0", 8)), "k=\xC3\xA9");
  EXPECT_EQ(DecodeTextFile(std::string("\xFE\xFF\0k\xD8\x3D\xDE\x00", 8)), "k\xF0\x9F\x98\x80");
  EXPECT_EQ(DecodeTextFile("plain"), "plain");
  // An unpaired surrogate or a lone last byte becomes text that is not UTF-8.
  EXPECT_FALSE(IsValidUtf8(DecodeTextFile(std::string("\xFF\xFE\x00\xD8k\0", 6))));
  EXPECT_FALSE(IsValidUtf8(DecodeTextFile(std::string("\xFF\xFEk\0x", 5))));
}

}  // namespace
