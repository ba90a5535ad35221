// Text helpers: the UTF-8 check and formatting.
#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

TEST(IsValidUtf8, AcceptsUtf8Only) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"ascii", true},
      {"h\xC3\xB6st", true},
      {"\xF0\x9F\x98\x80", true},
      {"h\xF6st", false},           // Latin-1
      {"\xC3", false},              // truncated
      {"\xC0\xAF", false},          // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
      {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.text), c.valid) << c.text;
}

TEST(StrFormat, FormatsTranslatedLiterals) {
  EXPECT_EQ(StrFormat(_("key column %s not found among columns of result set"), "k"),
            "key column k not found among columns of result set");
  EXPECT_EQ(StrFormat("%zu of %d", size_t{3}, -4), "3 of -4");
  EXPECT_EQ(StrFormat("%s", ""), "");
  const std::string longText(5000, 'x');
  EXPECT_EQ(StrFormat("<%s>", longText.c_str()), "<" + longText + ">");
}

}  // namespace
