// The pg_hba.conf reader: lines to fields, files to numbered entries.
#include "probes/hba_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::string>;

TEST(SplitHbaLine, SplitsEntryLinesIntoSixOrMoreFields) {
  struct Case {
    std::string line;
    Fields fields;
  };
  const Case cases[] = {
      // Blank and comment lines have no fields.
      {"", {}},
      {"   \t ", {}},
      {"# TYPE  DATABASE  USER  ADDRESS  METHOD", {}},
      {"   # indented comment", {}},
      // A local line of four fields gets the missing address; any case.
      {"local all all trust", {"local", "all", "all", "", "trust", ""}},
      {"LOCAL all all trust", {"LOCAL", "all", "all", "", "trust", ""}},
      {"Local\tall\tall\tpeer", {"Local", "all", "all", "", "peer", ""}},
      // Five fields: nothing inserted, the method lands in the address column.
      {"local all all md5 extra", {"local", "all", "all", "md5", "extra", ""}},
      // A host line with a comment after it.
      {"host all all 127.0.0.1/32 md5 # comment",
       {"host", "all", "all", "127.0.0.1/32", "md5", ""}},
      {"host all all 127.0.0.1/32 md5#comment", {"host", "all", "all", "127.0.0.1/32", "md5", ""}},
      {"hostssl db u 10.0.0.0/8 cert clientcert=verify-full",
       {"hostssl", "db", "u", "10.0.0.0/8", "cert", "clientcert=verify-full"}},
      // More than six fields are all kept.
      {"host a b c d e f g", {"host", "a", "b", "c", "d", "e", "f", "g"}},
      // Quoted fields keep their quotes, blanks, # and doubled quotes.
      {"host \"my db\" all ::1/128 trust", {"host", "\"my db\"", "all", "::1/128", "trust", ""}},
      {"host \"a#b\" \"x\"\"y\" ::1/128 trust",
       {"host", "\"a#b\"", "\"x\"\"y\"", "::1/128", "trust", ""}},
      {"host \"\" all", {"host", "\"\"", "all", "", "", ""}},
      // An unclosed quote runs to the end of the line.
      {"host \"open all trust", {"host", "\"open all trust", "", "", "", ""}},
      // A field may start right after a closing quote.
      {"host \"a\"b c", {"host", "\"a\"", "b", "c", "", ""}},
      // A local line of four fields where one is quoted still gets its address.
      {"local \"db\" all trust", {"local", "\"db\"", "all", "", "trust", ""}},
      // Fewer than four fields are filled up; a line of one field too.
      {"local all", {"local", "all", "", "", "", ""}},
      {"include_dir conf.d", {"include_dir", "conf.d", "", "", "", ""}},
      // Bytes of other scripts are no white space.
      {"host \xc3\xa9t\xc3\xa9 all ::1/128 trust",
       {"host", "\xc3\xa9t\xc3\xa9", "all", "::1/128", "trust", ""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitHbaLine(c.line), c.fields) << "line: " << c.line;
  }
}

TEST(ParseHbaFile, NumbersEveryLineAndKeepsOnlyEntries) {
  struct Case {
    std::string content;
    std::vector<int64_t> numbers;
    std::vector<std::string> methods;  // fields[4] of each entry
  };
  const Case cases[] = {
      {"", {}, {}},
      {"# only a comment\n\n", {}, {}},
      // A comment first and an entry second: line number 2.
      {"# comment\nlocal all all trust\n", {2}, {"trust"}},
      // Blank lines count; the last line needs no line end.
      {"\n\nhost all all 0.0.0.0/0 md5\n\nlocal all all peer", {3, 5}, {"md5", "peer"}},
      // CR LF is one line end, a lone CR is one too.
      {"# c\r\nlocal all all trust\r\n\r\nlocal all all peer\rlocal all all md5",
       {2, 4, 5},
       {"trust", "peer", "md5"}},
  };
  for (const Case& c : cases) {
    const std::vector<HbaEntry> entries = ParseHbaFile(c.content);
    std::vector<int64_t> numbers;
    std::vector<std::string> methods;
    for (const HbaEntry& e : entries) {
      numbers.push_back(e.lineNumber);
      ASSERT_GE(e.fields.size(), 6u);
      methods.push_back(e.fields[4]);
    }
    EXPECT_EQ(numbers, c.numbers) << "content: " << c.content;
    EXPECT_EQ(methods, c.methods) << "content: " << c.content;
  }
}

}  // namespace
