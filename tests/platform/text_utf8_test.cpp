// Turning arbitrary bytes (script output) into valid UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace {

TEST(ToValidUtf8, ReplacesOnlyWhatIsNotUtf8) {
  const std::string kBad = "\xEF\xBF\xBD";
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain\ttext\r\n", "plain\ttext\r\n"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + kBad + "b"},
      {"\xC3", kBad},                              // truncated at the end
      {"\xC3(", kBad + "("},                       // bad continuation
      {"\xC0\xAF", kBad + kBad},                   // overlong
      {"\xED\xA0\x80", kBad + kBad + kBad},        // surrogate
      {std::string("a\0b", 3), "a" + kBad + "b"},  // NUL cannot be stored
      {"\xE2\x82", kBad + kBad},
  };
  for (const Case& c : cases) {
    std::string got = ToValidUtf8(c.in);
    EXPECT_EQ(got, c.out) << testing::PrintToString(c.in);
    EXPECT_TRUE(IsValidUtf8(got) || got.empty()) << testing::PrintToString(c.in);
  }
}

}  // namespace
