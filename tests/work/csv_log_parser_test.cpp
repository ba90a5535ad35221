// The CSV log record reader with the records PostgreSQL's csvlog writes and
// with broken input.
#include "work/csv_log_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::string>;

struct Parsed {
  LogRows records;
  size_t consumed = 0;
  CsvStop stop = CsvStop::kEnd;
};

Parsed Parse(const std::string& text, size_t maxRecords = 1000, size_t cap = 1 << 20) {
  Parsed p;
  p.stop = ParseCsvRecords(text, maxRecords, cap, &p.records, &p.consumed);
  return p;
}

TEST(ParseCsvRecords, ReadsRecordsAndStopsBeforeUnfinishedOnes) {
  struct Case {
    std::string in;
    LogRows out;
    size_t consumed;
  } cases[] = {
      {"", {}, 0},
      {"a,b,c\n", {{"a", "b", "c"}}, 6},
      {"a,b\r\nc,d\n", {{"a", "b"}, {"c", "d"}}, 9},
      {",,\n", {{"", "", ""}}, 3},
      {"\"a,b\",c\n", {{"a,b", "c"}}, 8},
      {"\"say \"\"hi\"\"\",x\n", {{"say \"hi\"", "x"}}, 15},
      // A quoted field over three lines keeps its two line ends as written.
      {"1,\"first\nsecond\r\nthird\",3\n", {{"1", "first\nsecond\r\nthird", "3"}}, 26},
      // Backslashes are ordinary characters, also before a closing quote.
      {"\"C:\\dir\\\",x\\y\n", {{"C:\\dir\\", "x\\y"}}, 14},
      // A quote inside an unquoted field is kept.
      {"ab\"c,d\n", {{"ab\"c", "d"}}, 7},
      // Text after a closing quote is kept.
      {"\"ab\"cd,e\n", {{"abcd", "e"}}, 9},
      {"\"\",\"\"\n", {{"", ""}}, 6},
      // A CR inside quotes stays; one after the closing quote goes.
      {"\"a\r\"\n\"b\"\r\n", {{"a\r"}, {"b"}}, 10},
      // Empty lines are no records.
      {"\n\r\na\n\n", {{"a"}}, 6},
      // Unfinished records: no line end yet, a quote still open, a closing
      // quote that might be the first of two.
      {"a,b\nc,d", {{"a", "b"}}, 4},
      {"a\n\"open\nstill open", {{"a"}}, 2},
      {"a\n\"x\"", {{"a"}}, 2},
      {"a\n\"x\"\"", {{"a"}}, 2},
      {"a\n\"x\"\"\"\n", {{"a"}, {"x\""}}, 8},
      {"a\nb,\"", {{"a"}}, 2},
      // Bytes are kept as written, NUL and invalid UTF-8 included.
      {std::string("a\0b,\xff\n", 6), {{std::string("a\0b", 3), "\xff"}}, 6},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.in);
    EXPECT_EQ(p.records, c.out) << c.in;
    EXPECT_EQ(p.consumed, c.consumed) << c.in;
    EXPECT_EQ(p.stop, CsvStop::kEnd) << c.in;
  }
}

TEST(ParseCsvRecords, StopsAtTheBatchSize) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += std::to_string(i) + ",\"x\ny\"\n";
  size_t at = 0;
  std::vector<size_t> batches;
  for (;;) {
    LogRows records;
    size_t consumed = 0;
    const CsvStop stop =
        ParseCsvRecords(std::string_view(text).substr(at), 128, 1 << 20, &records, &consumed);
    if (records.empty()) break;
    batches.push_back(records.size());
    EXPECT_EQ(records.front()[0], std::to_string(at == 0 ? 0 : batches.size() == 2 ? 128 : 256));
    at += consumed;
    EXPECT_EQ(stop, at == text.size() ? CsvStop::kEnd : CsvStop::kFull);
  }
  EXPECT_EQ(batches, (std::vector<size_t>{128, 128, 44}));
  EXPECT_EQ(at, text.size());
}

TEST(ParseCsvRecords, CapsAnUnfinishedRecord) {
  const std::string complete = "a,b\n";
  const std::string open = "\"" + std::string(100, 'x');
  Parsed p = Parse(complete + open, 1000, 100);
  EXPECT_EQ(p.stop, CsvStop::kTooLong);
  EXPECT_EQ(p.records, (LogRows{{"a", "b"}}));
  EXPECT_EQ(p.consumed, complete.size());
  // Up to the cap it is only unfinished.
  p = Parse(complete + open, 1000, 101);
  EXPECT_EQ(p.stop, CsvStop::kEnd);
  // A complete record longer than the cap is still taken.
  p = Parse(open + "\"\n", 1000, 10);
  EXPECT_EQ(p.stop, CsvStop::kEnd);
  ASSERT_EQ(p.records.size(), 1u);
  EXPECT_EQ(p.records[0][0], std::string(100, 'x'));
}

}  // namespace
